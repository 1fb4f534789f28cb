// The extraction directory on POSIX systems: made and held through descriptors, everything below
// it reached from there with the *at calls, never through a link.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform.h"
#include "text_encoding.h"

namespace {

// The directory that holds the extraction directory, opened by its path once, when the
// extraction directory is made: later renames of anything on that path change nothing for the
// launcher. Then the extraction directory's name there, and the directory itself, open from its
// creation until it is let go.
int parent_directory = -1;
std::string private_name;
int private_root = -1;
// The directory below it that was asked for last, held open with its name relative to it: the
// files of one directory usually come one after another, and each is then made through the
// descriptor without opening the directories above it again.
int held_directory = -1;
std::string held_directory_name;

constexpr int directory_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A new directory with mode 0700 exactly: the umask could only take bits away, and setting the
// mode afterwards would leave a moment in which it is wider.
bool make_private_directory_at(int at, const char* name) {
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

// Opens a directory entry of `at` as a private directory, never through a link; -1 otherwise.
int open_private_directory_at(int at, const char* name) {
    const int fd = openat(at, name, directory_open_flags);
    if (fd < 0 || is_private_directory(fd))
        return fd;
    close(fd);
    errno = EPERM;
    return -1;
}

// Opens the directory `relative` below the private directory one component at a time, each
// relative to the one before, so that no component is reached through a link; with `create`,
// makes each one that is missing. -1 on failure.
int open_private_path(std::string_view relative, bool create) {
    if (private_root < 0) {
        errno = EBADF;
        return -1;
    }
    int current = fcntl(private_root, F_DUPFD_CLOEXEC, 0);
    while (current >= 0 && !relative.empty()) {
        const std::size_t cut = std::min(relative.find('/'), relative.size());
        const std::string component(relative.substr(0, cut));
        relative.remove_prefix(std::min(cut + 1, relative.size()));
        if (component.empty())
            continue;
        int next = -1;
        if (component == "." || component == "..") {
            errno = EINVAL;
        } else {
            next = open_private_directory_at(current, component.c_str());
            if (next < 0 && errno == ENOENT && create &&
                (make_private_directory_at(current, component.c_str()) || errno == EEXIST)) {
                next = open_private_directory_at(current, component.c_str());
            }
        }
        const int error = errno;
        close(current);
        errno = error;
        current = next;
    }
    return current;
}

void forget_held_directory() {
    if (held_directory >= 0)
        close(held_directory);
    held_directory = -1;
    held_directory_name.clear();
}

// open_private_path for the held directory: the descriptor stays open until another directory
// is asked for or the private directory is let go; the caller does not close it.
int held_private_path(std::string_view relative, bool create) {
    if (held_directory >= 0 && relative == held_directory_name)
        return held_directory;
    const int fd = open_private_path(relative, create);
    if (fd < 0)
        return -1;
    forget_held_directory();
    held_directory = fd;
    held_directory_name = relative;
    return fd;
}

void close_keeping_errno(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
}

int as_descriptor(DirectoryHandle directory) {
    return static_cast<int>(directory);
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

// Removes the empty directory `name` of `parent` while that name still names `directory`. What
// stands there instead (put there by whoever may rename entries of `parent`) stays.
bool remove_directory_named(int parent, const char* name, int directory) {
    struct stat held {};
    struct stat named {};
    if (fstat(directory, &held) != 0 || fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        return false;
    }
    return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

}  // namespace

NewDirectoryStatus create_private_directory(const std::u16string& path) {
    release_private_directory();
    const std::string bytes = to_path_bytes(path);
    const std::size_t cut = bytes.rfind('/');
    const std::string parent =
        cut == std::string::npos ? "." : bytes.substr(0, std::max<std::size_t>(cut, 1));
    const std::string name = cut == std::string::npos ? bytes : bytes.substr(cut + 1);
    // The directory above is taken as its path names it now, links included: it is the user's
    // choice of a temporary directory.
    const int at = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (at < 0)
        return NewDirectoryStatus::failed;
    if (!make_private_directory_at(at, name.c_str())) {
        const bool taken = errno == EEXIST;
        close_keeping_errno(at);
        return taken ? NewDirectoryStatus::name_taken : NewDirectoryStatus::failed;
    }
    // Opened by its name right after: a link or someone else's directory put in its place in
    // between is refused.
    const int root = open_private_directory_at(at, name.c_str());
    if (root < 0) {
        close_keeping_errno(at);
        return NewDirectoryStatus::failed;
    }
    parent_directory = at;
    private_name = name;
    private_root = root;
    return NewDirectoryStatus::created;
}

bool private_subdirectory(std::u16string_view relative) {
    return held_private_path(to_path_bytes(relative), true) >= 0;
}

NewFile create_private_file(std::u16string_view relative) {
    const std::string path = to_path_bytes(relative);
    const std::size_t last_separator = path.rfind('/');
    const std::size_t name_start = last_separator == std::string::npos ? 0 : last_separator + 1;
    NewFile result;
    const int directory = held_private_path(std::string_view(path).substr(0, name_start), false);
    if (directory < 0)
        return result;
    const char* name = path.c_str() + name_start;
    // Exclusive creation fails on any entry of that name, a dangling link included.
    const int fd =
        openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat status {};
        const bool is_directory =
            fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
        // A directory can't be opened for writing: that is the failure to report, as before.
        // A name that exists is no failure of the system's, and is reported without one.
        result.status =
            error == EEXIST && !is_directory ? NewFileStatus::name_taken : NewFileStatus::failed;
        errno = result.status == NewFileStatus::name_taken ? 0 : is_directory ? EISDIR : error;
        return result;
    }
    result.file = fdopen(fd, "wb");
    if (result.file == nullptr) {
        close(fd);
        return result;
    }
    result.status = NewFileStatus::created;
    return result;
}

DirectoryHandle private_directory() {
    return private_root < 0 ? no_directory : private_root;
}

void release_held_subdirectory() {
    forget_held_directory();
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

DirectoryHandle open_directory_at(DirectoryHandle parent, const std::u16string& name) {
    const int fd = openat(as_descriptor(parent), to_path_bytes(name).c_str(), directory_open_flags);
    return fd < 0 ? no_directory : fd;
}

void close_directory(DirectoryHandle directory) {
    if (directory != no_directory)
        close(as_descriptor(directory));
}

bool delete_file_at(DirectoryHandle parent, const std::u16string& name) {
    return unlinkat(as_descriptor(parent), to_path_bytes(name).c_str(), 0) == 0;
}

bool remove_directory_at(DirectoryHandle parent, const std::u16string& name,
                         DirectoryHandle directory) {
    return remove_directory_named(as_descriptor(parent), to_path_bytes(name).c_str(),
                                  as_descriptor(directory));
}

bool remove_private_directory() {
    if (private_root < 0)
        return true;
    forget_held_directory();
    return remove_directory_named(parent_directory, private_name.c_str(), private_root);
}

void release_private_directory() {
    forget_held_directory();
    for (int* fd : {&private_root, &parent_directory}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    private_name.clear();
}
