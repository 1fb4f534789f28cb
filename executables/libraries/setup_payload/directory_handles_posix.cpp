// Directories held open on POSIX systems: descriptors, and the *at calls relative to them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "setup_payload/directory_handles.h"
#include "setup_payload/text_encoding.h"

namespace {

constexpr int directory_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int as_descriptor(DirectoryHandle directory) {
    return static_cast<int>(directory);
}

void close_keeping_errno(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
}

// A new directory, with mode 0700 exactly when it is private: the umask could only take bits
// away, and setting the mode afterwards would leave a moment in which it is wider.
bool make_directory_at(int at, const char* name, unsigned flags) {
    if ((flags & private_to_user) == 0)
        return mkdirat(at, name, 0777) == 0;
    const mode_t previous = umask(0);
    const bool made = mkdirat(at, name, 0700) == 0;
    umask(previous);
    return made;
}

// The launcher's own directory, nobody else's to enter, read or write.
bool is_private_directory(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 0777) == 0700;
}

// Opens a directory entry of `at`, never through a link; with private_to_user, only a private
// directory. -1 otherwise.
int open_at(int at, const char* name, unsigned flags) {
    const int fd = openat(at, name, directory_open_flags);
    if (fd < 0 || (flags & private_to_user) == 0 || is_private_directory(fd))
        return fd;
    close(fd);
    errno = EPERM;
    return -1;
}

// The attribute word of a directory entry, from the type that the listing gives, or where the
// file system gives none, from the entry itself: a link is looked at, never what it points to.
std::uint32_t entry_attributes(int directory, const dirent& entry) {
    unsigned char type = entry.d_type;
    if (type == DT_UNKNOWN) {
        struct stat status {};
        if (fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR)
        return attribute_directory;
    return type == DT_LNK ? 0x400 : 0x20;
}

}  // namespace

DirectoryHandle open_directory(const std::u16string& path, unsigned) {
    const int fd = open(to_path_bytes(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? no_directory : fd;
}

DirectoryHandle open_directory_at(DirectoryHandle parent, std::u16string_view name,
                                  unsigned flags) {
    if (name == u"." || name == u"..") {
        errno = EINVAL;
        return no_directory;
    }
    const std::string bytes = to_path_bytes(name);
    int fd = open_at(as_descriptor(parent), bytes.c_str(), flags);
    if (fd < 0 && errno == ENOENT && (flags & create_missing) != 0 &&
        (make_directory_at(as_descriptor(parent), bytes.c_str(), flags) || errno == EEXIST)) {
        fd = open_at(as_descriptor(parent), bytes.c_str(), flags);
    }
    return fd < 0 ? no_directory : fd;
}

DirectoryHandle open_directory_path_at(DirectoryHandle start, std::u16string_view relative,
                                       unsigned flags) {
    int current = fcntl(as_descriptor(start), F_DUPFD_CLOEXEC, 0);
    while (current >= 0 && !relative.empty()) {
        const std::size_t cut = std::min(relative.find(u'/'), relative.size());
        const std::u16string_view component = relative.substr(0, cut);
        relative.remove_prefix(std::min(cut + 1, relative.size()));
        if (component.empty())
            continue;
        const DirectoryHandle next = open_directory_at(current, component, flags);
        close_keeping_errno(current);
        current = next == no_directory ? -1 : as_descriptor(next);
    }
    return current < 0 ? no_directory : current;
}

void close_directory(DirectoryHandle directory) {
    if (directory != no_directory)
        close(as_descriptor(directory));
}

NewDirectoryStatus create_directory_at(DirectoryHandle parent, std::u16string_view name,
                                       unsigned flags, std::u16string_view,
                                       DirectoryHandle& created) {
    const std::string bytes = to_path_bytes(name);
    if (!make_directory_at(as_descriptor(parent), bytes.c_str(), flags))
        return errno == EEXIST ? NewDirectoryStatus::name_taken : NewDirectoryStatus::failed;
    // Opened by its name right after: a link or someone else's directory put in its place in
    // between is refused.
    const int fd = open_at(as_descriptor(parent), bytes.c_str(), flags);
    if (fd < 0)
        return NewDirectoryStatus::failed;
    created = fd;
    return NewDirectoryStatus::created;
}

NewFile create_file_at(DirectoryHandle parent, std::u16string_view name, bool) {
    const std::string bytes = to_path_bytes(name);
    const int directory = as_descriptor(parent);
    NewFile result;
    // Exclusive creation fails on any entry of that name, a dangling link included.
    const int fd = openat(directory, bytes.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat status {};
        const bool is_directory =
            fstatat(directory, bytes.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode);
        result.status =
            error == EEXIST && !is_directory ? NewFileStatus::name_taken : NewFileStatus::failed;
        errno = result.status == NewFileStatus::name_taken ? 0 : is_directory ? EISDIR : error;
        return result;
    }
    result.file = fdopen(fd, "wb");
    if (result.file == nullptr) {
        const int error = errno;
        close(fd);
        unlinkat(directory, bytes.c_str(), 0);
        errno = error;
        return result;
    }
    result.status = NewFileStatus::created;
    return result;
}

EntryType entry_type_at(DirectoryHandle parent, std::u16string_view name) {
    struct stat status {};
    if (fstatat(as_descriptor(parent), to_path_bytes(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
        0) {
        return errno == ENOENT ? EntryType::none : EntryType::other;
    }
    if (S_ISREG(status.st_mode))
        return EntryType::regular_file;
    if (S_ISDIR(status.st_mode))
        return EntryType::directory;
    return S_ISLNK(status.st_mode) ? EntryType::symbolic_link : EntryType::other;
}

std::vector<DirectoryEntry> list_directory_at(DirectoryHandle directory) {
    std::vector<DirectoryEntry> entries;
    // The directory opened once more through itself, for a listing position of its own.
    const int fd = openat(as_descriptor(directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {
        if (fd >= 0)
            close(fd);
        return entries;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            entries.push_back({from_path_bytes(name), entry_attributes(fd, *entry)});
    }
    closedir(listing);
    return entries;
}

bool delete_file_at(DirectoryHandle parent, std::u16string_view name) {
    return unlinkat(as_descriptor(parent), to_path_bytes(name).c_str(), 0) == 0;
}

bool directory_identity(DirectoryHandle directory, DirectoryIdentity& identity) {
    struct stat status {};
    if (fstat(as_descriptor(directory), &status) != 0)
        return false;
    identity = {static_cast<std::uint64_t>(status.st_dev),
                static_cast<std::uint64_t>(status.st_ino)};
    return true;
}

bool remove_directory_at(DirectoryHandle parent, std::u16string_view name,
                         const DirectoryIdentity& identity) {
    const std::string bytes = to_path_bytes(name);
    struct stat named {};
    if (fstatat(as_descriptor(parent), bytes.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        static_cast<std::uint64_t>(named.st_dev) != identity.volume ||
        static_cast<std::uint64_t>(named.st_ino) != identity.index) {
        return false;
    }
    return unlinkat(as_descriptor(parent), bytes.c_str(), AT_REMOVEDIR) == 0;
}

bool remove_held_directory_at(DirectoryHandle parent, std::u16string_view name, DirectoryHandle&,
                              const DirectoryIdentity& identity) {
    return remove_directory_at(parent, name, identity);
}
