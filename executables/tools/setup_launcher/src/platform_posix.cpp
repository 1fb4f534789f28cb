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

NameStatus name_status(const std::u16string& path) {
    struct stat status {};
    if (lstat(to_path_bytes(path).c_str(), &status) == 0)
        return NameStatus::taken;
    return errno == ENOENT ? NameStatus::free : NameStatus::unreadable;
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

bool private_directory_security(std::u16string& sddl) {
    sddl.clear();
    return true;
}

void sleep_milliseconds(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool in_private_directory, bool) {
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
    const std::string directory_name = to_path_bytes(directory);
    if (in_private_directory && private_directory() != no_directory) {
        posix_spawn_file_actions_addfchdir_np(&actions, static_cast<int>(private_directory()));
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
