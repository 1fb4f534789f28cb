#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "packer.h"
#include "packer_io.h"
#include "setup_payload/system_errors.h"
#include "setup_payload/text_encoding.h"

namespace fs = std::filesystem;

namespace {

HANDLE console_of(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

// The partial file that an interruption removes. The console's control handler runs on a thread
// of its own, hence the lock.
struct PartialFile {
    CRITICAL_SECTION lock;
    std::wstring path;
};

PartialFile& partial_file();

BOOL WINAPI remove_partial_file(DWORD) {
    PartialFile& partial = partial_file();
    EnterCriticalSection(&partial.lock);
    if (!partial.path.empty())
        DeleteFileW(partial.path.c_str());
    // The lock stays taken: the default handler, next, ends the process.
    return FALSE;
}

PartialFile& partial_file() {
    static PartialFile* partial = [] {
        auto* created = new PartialFile;
        InitializeCriticalSection(&created->lock);
        SetConsoleCtrlHandler(remove_partial_file, TRUE);
        return created;
    }();
    return *partial;
}

fs::file_type file_type_of(unsigned mode) {
    switch (mode & _S_IFMT) {
        case _S_IFREG:
            return fs::file_type::regular;
        case _S_IFDIR:
            return fs::file_type::directory;
        case _S_IFCHR:
            return fs::file_type::character;
        case _S_IFIFO:
            return fs::file_type::fifo;
        default:
            return fs::file_type::unknown;
    }
}

// Opens a path for reading, only when it is a regular file: a device (NUL, CON) or a pipe is
// refused unread. Opening either never waits here. -1 with `refused` set to what stood there, or
// with errno when the open failed.
int open_regular(const fs::path& path, fs::file_type& refused) {
    refused = fs::file_type::none;
    const int descriptor = _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (descriptor < 0)
        return -1;
    struct _stat64 status {};
    const bool looked = _fstat64(descriptor, &status) == 0;
    const int error = errno;
    if (!looked || (status.st_mode & _S_IFMT) != _S_IFREG) {
        _close(descriptor);
        refused = looked ? file_type_of(status.st_mode) : fs::file_type::none;
        errno = looked ? 0 : error;
        return -1;
    }
    return descriptor;
}

}  // namespace

// Through the shared converter: an unpaired surrogate, which NTFS names may hold, shows as U+FFFD
// instead of ending the program with the standard library's conversion error.
std::string path_to_utf8(const fs::path& path) {
    const std::wstring& native = path.native();
    return to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(native.data()), native.size()));
}

std::FILE* open_file(const fs::path& path, const char* mode) {
    const std::u16string wide_mode = widen(mode);
    return _wfopen(path.c_str(), reinterpret_cast<const wchar_t*>(wide_mode.c_str()));
}

std::FILE* open_regular_file(const fs::path& path, fs::file_type& type) {
    const int descriptor = open_regular(path, type);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = _fdopen(descriptor, "rb");
    if (file == nullptr) {
        const int error = errno;
        _close(descriptor);
        errno = error;
    }
    return file;
}

FileStatus file_status(const fs::path& path) {
    // No access asked for: the handle only reads the attributes, and opens directories as well.
    const HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {errno_for_system_error(GetLastError())};
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(handle, &information);
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (!known)
        return {errno_for_system_error(error)};
    FileStatus status;
    status.type = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                      ? fs::file_type::directory
                      : fs::file_type::regular;
    status.size = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    status.volume = information.dwVolumeSerialNumber;
    status.index = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
    return status;
}

InputFiles::~InputFiles() = default;

FileStatus InputFiles::status(const fs::path& path) {
    return file_status(path);
}

InputFile InputFiles::open(const fs::path& path) {
    fs::file_type refused = fs::file_type::none;
    const int descriptor = open_regular(path, refused);
    return descriptor >= 0 ? InputFile(descriptor) : InputFile(refused);
}

InputFile::~InputFile() {
    if (descriptor_ >= 0)
        _close(descriptor_);
}

std::int64_t InputFile::read(void* buffer, std::size_t size) {
    // The runtime reads at most INT_MAX bytes in one call.
    const auto wanted = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    return _read(descriptor_, buffer, wanted);
}

std::u16string native_units(const fs::path& path) {
    const std::wstring& native = path.native();
    return std::u16string(reinterpret_cast<const char16_t*>(native.data()), native.size());
}

std::error_code last_system_error() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

bool names_a_file(const std::error_code& error) {
    return error == std::error_code(ERROR_DIRECTORY, std::system_category());
}

std::error_code PinnedDirectory::rename(const fs::path& from, const fs::path& to,
                                        bool replace) const {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExW((path_ / from).c_str(), (path_ / to).c_str(), flags))
        return {static_cast<int>(GetLastError()), std::system_category()};
    return {};
}

void remove_on_interrupt(const PinnedDirectory& directory, const fs::path& name) {
    PartialFile& partial = partial_file();
    EnterCriticalSection(&partial.lock);
    partial.path = directory.is_open() ? (directory.path() / name).wstring() : std::wstring();
    LeaveCriticalSection(&partial.lock);
}

void forget_partial_file() {
    PartialFile& partial = partial_file();
    EnterCriticalSection(&partial.lock);
    partial.path.clear();
    LeaveCriticalSection(&partial.lock);
}

bool is_terminal(std::FILE* stream) {
    return console_of(stream) != nullptr;
}

void write_text(std::FILE* stream, std::string_view utf8) {
    const HANDLE console = console_of(stream);
    if (console == nullptr) {
        std::fwrite(utf8.data(), 1, utf8.size(), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);
    const std::u16string wide = from_utf8(utf8);
    DWORD written = 0;
    WriteConsoleW(console, reinterpret_cast<const wchar_t*>(wide.data()),
                  static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::vector<std::string> utf8_arguments(int, char**) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    if (arguments == nullptr)
        return result;
    for (int i = 1; i < count; ++i)
        result.push_back(to_utf8(reinterpret_cast<const char16_t*>(arguments[i])));
    LocalFree(arguments);
    return result;
}
