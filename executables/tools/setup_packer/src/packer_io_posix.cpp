#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "packer.h"
#include "packer_io.h"
#include "setup_payload/text_encoding.h"

namespace fs = std::filesystem;

namespace {

// ---- The partial file that a fatal signal removes ----

constexpr std::size_t partial_name_capacity = 4096;
char partial_name[partial_name_capacity];
// The descriptor of its directory, or -1 while there is none.
volatile std::sig_atomic_t partial_directory = -1;
// What each signal did before the handler took it over, restored before the signal is raised
// again: its default action as a rule, or a handler of a sanitizer that reports the crash.
struct sigaction previous_actions[NSIG];

// Every signal that ends the process by default and can be caught: the interruptions, the
// crashes, and those that a user, a timer or a resource limit sends (SIGXFSZ, ignored instead).
std::vector<int> fatal_signals() {
    std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
                                SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM,
                                SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,  SIGSTKFLT, SIGPWR};
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
        signals.push_back(signal_number);
    return signals;
}

// A fault that the faulting instruction raises again once the handler returns.
bool is_fault(int signal_number, const siginfo_t* info) {
    const bool fault_signal = signal_number == SIGSEGV || signal_number == SIGBUS ||
                              signal_number == SIGFPE || signal_number == SIGILL;
    return fault_signal && info != nullptr && info->si_code > 0;
}

extern "C" void remove_partial_file_and_end(int signal_number, siginfo_t* info, void*) {
    const int directory = partial_directory;
    if (directory >= 0)
        ::unlinkat(directory, partial_name, 0);
    // The earlier action ends the process as the signal would have: at once for a fault, which
    // happens again on return, else once this handler returns and the signal raised here arrives.
    ::sigaction(signal_number, &previous_actions[signal_number], nullptr);
    if (!is_fault(signal_number, info))
        ::raise(signal_number);
}

void install_interrupt_handlers() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // A write past the file size limit fails with EFBIG instead, and takes the error path.
    ::signal(SIGXFSZ, SIG_IGN);
    const std::vector<int> signals = fatal_signals();
    struct sigaction action {};
    action.sa_sigaction = remove_partial_file_and_end;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : signals)
        sigaddset(&action.sa_mask, signal_number);
    for (const int signal_number : signals) {
        // A signal that the caller has us ignore (nohup, a background job) stays ignored.
        struct sigaction& previous = previous_actions[signal_number];
        if (::sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal_number, &action, nullptr);
    }
}

fs::file_type file_type_of(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return fs::file_type::regular;
        case S_IFDIR:
            return fs::file_type::directory;
        case S_IFCHR:
            return fs::file_type::character;
        case S_IFBLK:
            return fs::file_type::block;
        case S_IFIFO:
            return fs::file_type::fifo;
        case S_IFSOCK:
            return fs::file_type::socket;
        default:
            return fs::file_type::unknown;
    }
}

FileStatus status_at(int directory, const char* name) {
    struct stat status {};
    if (::fstatat(directory, name, &status, 0) != 0)
        return {errno != 0 ? errno : EIO};
    return {0, file_type_of(status.st_mode), static_cast<std::uint64_t>(status.st_size),
            static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Opens `name` in `directory` for reading, only when it is a regular file: without blocking, so
// that a named pipe without a writer is refused instead of waited for, and without becoming the
// controlling terminal. The descriptor blocks again once it is kept. -1 with `refused` set to what
// stood there, or with errno when the open failed.
int open_regular_at(int directory, const char* name, fs::file_type& refused) {
    refused = fs::file_type::none;
    const int descriptor = ::openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    const bool looked = ::fstat(descriptor, &status) == 0;
    const int error = errno;
    if (!looked || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        refused = looked ? file_type_of(status.st_mode) : fs::file_type::none;
        errno = looked ? 0 : error;
        return -1;
    }
    // O_NONBLOCK is the only status flag set here (O_NOCTTY and O_CLOEXEC are none).
    ::fcntl(descriptor, F_SETFL, 0);
    return descriptor;
}

}  // namespace

// A path's own bytes: here they are what the user typed, whether or not they are UTF-8.
std::string path_to_utf8(const fs::path& path) {
    return path.native();
}

std::u16string native_units(const fs::path& path) {
    return from_path_bytes(path.native());
}

std::error_code last_system_error() {
    return {errno, std::generic_category()};
}

// ENOTDIR reads well as it is.
bool names_a_file(const std::error_code&) {
    return false;
}

std::error_code PinnedDirectory::rename(const fs::path& from, const fs::path& to,
                                        bool replace) const {
    const int directory = static_cast<int>(handles_.back());
    if (replace) {
        if (::renameat(directory, from.c_str(), directory, to.c_str()) != 0)
            return {errno, std::generic_category()};
        return {};
    }
    if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return {errno, std::generic_category()};
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target just as well.
    if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0)
        return {errno, std::generic_category()};
    ::unlinkat(directory, from.c_str(), 0);
    return {};
}

void remove_on_interrupt(const PinnedDirectory& directory, const fs::path& name) {
    install_interrupt_handlers();
    forget_partial_file();
    const std::string& text = name.native();
    if (!directory.is_open() || text.size() >= partial_name_capacity)
        return;
    std::memcpy(partial_name, text.c_str(), text.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    partial_directory = static_cast<int>(directory.handles_.back());
}

void forget_partial_file() {
    partial_directory = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

std::FILE* open_file(const fs::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::FILE* open_regular_file(const fs::path& path, fs::file_type& type) {
    const int descriptor = open_regular_at(AT_FDCWD, path.c_str(), type);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = ::fdopen(descriptor, "rb");
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
    }
    return file;
}

FileStatus file_status(const fs::path& path) {
    return status_at(AT_FDCWD, path.c_str());
}

InputFiles::~InputFiles() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

FileStatus InputFiles::status(const fs::path& path) {
    std::size_t name_at = 0;
    const std::intptr_t directory = directory_of(path, name_at);
    return status_at(directory >= 0 ? static_cast<int>(directory) : AT_FDCWD,
                     path.c_str() + name_at);
}

InputFile InputFiles::open(const fs::path& path) {
    std::size_t name_at = 0;
    const std::intptr_t directory = directory_of(path, name_at);
    fs::file_type refused = fs::file_type::none;
    const int descriptor = open_regular_at(directory >= 0 ? static_cast<int>(directory) : AT_FDCWD,
                                           path.c_str() + name_at, refused);
    return descriptor >= 0 ? InputFile(descriptor) : InputFile(refused);
}

InputFile::~InputFile() {
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

std::int64_t InputFile::read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(descriptor_, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

std::intptr_t InputFiles::directory_of(const fs::path& path, std::size_t& name_at) {
    const std::string& text = path.native();
    const std::size_t slash = text.rfind('/');
    name_at = 0;
    // A name without a directory, or one that ends in "/", is looked up as written.
    if (slash == std::string::npos || slash + 1 == text.size())
        return -1;
    const std::string_view directory(text.data(), slash + 1);
    if (directory != directory_) {
        if (handle_ >= 0)
            ::close(static_cast<int>(handle_));
        directory_ = directory;
        // A directory that can't be opened leaves the whole path to the call that follows, which
        // then fails as it would have.
        handle_ = ::open(directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (handle_ >= 0)
        name_at = slash + 1;
    return handle_;
}

bool is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void write_text(std::FILE* stream, std::string_view utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
