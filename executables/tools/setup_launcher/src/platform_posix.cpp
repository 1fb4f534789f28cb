#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "file_helpers.h"
#include "platform.h"
#include "wide_format.h"

extern char** environ;

namespace {

struct LocaleLanguage {
    std::string_view locale;  // language_TERRITORY, as in LANG
    std::uint16_t lcid;
};

constexpr LocaleLanguage locale_languages[] = {
    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"it_IT", 0x0410}, {"es_ES", 0x0C0A}, {"nl_NL", 0x0413}, {"pt_BR", 0x0416}, {"ja_JP", 0x0411},
};

// The locale that decides the language of messages, as the C library would choose it.
std::string_view messages_locale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0)
            return value;
    }
    return {};
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

std::uint16_t user_ui_language() {
    const std::string_view locale = messages_locale();
    for (const LocaleLanguage& entry : locale_languages) {
        if (locale.substr(0, entry.locale.size()) == entry.locale)
            return entry.lcid;
    }
    return 0x0409;
}

std::uint32_t last_error_code() {
    return 0;
}

const char16_t* system_error_text(std::uint32_t) {
    return nullptr;
}

void show_error_box(const std::u16string& message, const std::u16string& title) {
    const std::string text = to_utf8(title) + "\n" + to_utf8(message) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void exit_process(int code) {
    std::exit(code);
}

// ---- Files, directories and processes ----

char16_t native_separator() {
    return u'/';
}

std::FILE* open_file(const std::u16string& path, const char* mode) {
    return std::fopen(to_path_bytes(path).c_str(), mode);
}

std::u16string executable_path() {
    std::string buffer(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0)
        return {};
    buffer.resize(static_cast<std::size_t>(length));
    return from_path_bytes(buffer);
}

bool environment_variable(const char* name, std::u16string& value) {
    const char* text = std::getenv(name);
    if (text == nullptr)
        return false;
    value = from_path_bytes(text);
    return true;
}

TempPath system_temp_path() {
    TempPath result;
    const char* tmpdir = std::getenv("TMPDIR");
    result.path = tmpdir != nullptr && *tmpdir != 0 ? from_path_bytes(tmpdir) : u"/tmp";
    if (result.path.back() != u'/')
        result.path += u'/';
    return result;
}

bool path_exists(const std::u16string& path) {
    return access(to_path_bytes(path).c_str(), F_OK) == 0;
}

bool name_taken(const std::u16string& path) {
    struct stat status {};
    return lstat(to_path_bytes(path).c_str(), &status) == 0 || errno == EACCES;
}

bool can_open_for_reading(const std::u16string& path) {
    // Non-blocking, so that a FIFO without a writer doesn't hold the test up.
    const int fd = open(to_path_bytes(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    const bool is_file = fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode);
    close(fd);
    return is_file;
}

bool is_directory(const std::u16string& prefix) {
    DIR* directory = opendir(prefix.empty() ? "." : to_path_bytes(prefix).c_str());
    if (directory == nullptr)
        return false;
    closedir(directory);
    return true;
}

bool delete_file(const std::u16string& path) {
    return unlink(to_path_bytes(path).c_str()) == 0;
}

bool remove_directory(const std::u16string& path) {
    return rmdir(to_path_bytes(path).c_str()) == 0;
}

void sleep_milliseconds(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::vector<DirectoryEntry> list_directory(const std::u16string& directory_with_separator) {
    std::vector<DirectoryEntry> entries;
    // The directory itself is not followed either when it is a link: it is opened as named,
    // without its closing separator, which would make the system follow it.
    std::string directory_name = to_path_bytes(directory_with_separator);
    while (directory_name.size() > 1 && directory_name.back() == '/')
        directory_name.pop_back();
    const int fd = open(directory_name.empty() ? "." : directory_name.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (directory == nullptr) {
        if (fd >= 0)
            close(fd);
        return entries;
    }
    while (const dirent* entry = readdir(directory))
        entries.push_back({from_path_bytes(entry->d_name), entry_attributes(fd, *entry)});
    closedir(directory);
    return entries;
}

// ---- The private extraction directory ----

namespace {

// The extraction directory, open from its creation until it is let go, and its name.
int private_root = -1;
std::string private_root_name;
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

}  // namespace

NewDirectoryStatus create_private_directory(const std::u16string& path) {
    release_private_directory();
    const std::string name = to_path_bytes(path);
    if (!make_private_directory_at(AT_FDCWD, name.c_str()))
        return errno == EEXIST ? NewDirectoryStatus::name_taken : NewDirectoryStatus::failed;
    // Opened by its name right after: a link or someone else's directory put in its place in
    // between is refused.
    private_root = open_private_directory_at(AT_FDCWD, name.c_str());
    if (private_root < 0)
        return NewDirectoryStatus::failed;
    private_root_name = name;
    return NewDirectoryStatus::created;
}

bool release_private_directory() {
    forget_held_directory();
    if (private_root < 0)
        return true;
    struct stat held {};
    struct stat named {};
    const bool in_place = fstat(private_root, &held) == 0 &&
                          lstat(private_root_name.c_str(), &named) == 0 &&
                          held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    close(private_root);
    private_root = -1;
    private_root_name.clear();
    return in_place;
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

StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool) {
    std::vector<std::string> arguments{to_path_bytes(program)};
    for (const std::u16string& argument : split_command_line(parameters)) {
        arguments.push_back(to_path_bytes(argument));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The extraction directory is entered through the open directory, not by its name: the
    // name may have been given to something else since (where others may rename entries of
    // the temporary directory), but the command must run beside the files that were verified.
    std::string directory_name = to_path_bytes(directory);
    if (directory_name.size() > 1 && directory_name.back() == '/')
        directory_name.pop_back();
    if (private_root >= 0 && directory_name == private_root_name) {
        posix_spawn_file_actions_addfchdir_np(&actions, private_root);
    } else {
        posix_spawn_file_actions_addchdir_np(&actions, directory_name.c_str());
    }
    pid_t pid = 0;
    const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);

    StartedProcess process;
    if (result != 0) {
        errno = result;  // the report shows why
        return process;
    }
    process.started = true;
    process.has_process = true;
    process.handle = static_cast<std::uintptr_t>(pid);
    return process;
}

void wait_for_process(const StartedProcess& process) {
    int status = 0;
    while (waitpid(static_cast<pid_t>(process.handle), &status, 0) < 0 && errno == EINTR) {
    }
}

// The process was reaped by the wait; there is nothing left to release.
bool close_process(const StartedProcess&) {
    return true;
}
