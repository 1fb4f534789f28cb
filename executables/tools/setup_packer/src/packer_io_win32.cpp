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
#include "system_errors.h"
#include "text_encoding.h"

namespace fs = std::filesystem;

namespace {

HANDLE console_of(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

// Listing access, not only attributes: Windows checks the sharing of an open only against
// handles that have data access, so only such a handle keeps others from deleting or renaming.
HANDLE open_directory(const fs::path& path, bool no_link) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (no_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Opens a directory for as long as the handle is held: without sharing deletion, so that it can't
// be renamed or replaced meanwhile. With `no_link`, a symbolic link or junction is refused
// instead of followed; with `create`, a missing directory is made first.
DirectoryProblem pin_directory(const fs::path& path, bool no_link, bool create, HANDLE& pinned) {
    HANDLE handle = open_directory(path, no_link);
    DWORD error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE && create &&
        (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
        if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
            handle = open_directory(path, no_link);
        error = GetLastError();
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return {DirectoryProblem::Kind::system_error,
                path,
                {static_cast<int>(error), std::system_category()}};
    }
    BY_HANDLE_FILE_INFORMATION information{};
    GetFileInformationByHandle(handle, &information);
    DirectoryProblem::Kind kind = DirectoryProblem::Kind::none;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        kind = DirectoryProblem::Kind::symbolic_link;
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        kind = DirectoryProblem::Kind::not_a_directory;
    }
    if (kind != DirectoryProblem::Kind::none) {
        CloseHandle(handle);
        return {kind, path, {}};
    }
    pinned = handle;
    return {};
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

void PinnedDirectory::close() {
    for (const std::intptr_t handle : handles_)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    handles_.clear();
}

PinnedDirectory PinnedDirectory::open(const fs::path& base, const std::vector<fs::path>& components,
                                      bool create, DirectoryProblem& problem) {
    PinnedDirectory directory;
    directory.path_ = base.empty() ? fs::path(L".") : base;
    std::error_code ignored;
    if (create)
        fs::create_directories(directory.path_, ignored);  // opening it says what went wrong
    HANDLE pinned = INVALID_HANDLE_VALUE;
    problem = pin_directory(directory.path_, false, false, pinned);
    if (problem.kind != DirectoryProblem::Kind::none)
        return {};
    directory.handles_.push_back(reinterpret_cast<std::intptr_t>(pinned));
    for (const fs::path& component : components) {
        directory.path_ /= component;
        problem = pin_directory(directory.path_, true, create, pinned);
        if (problem.kind != DirectoryProblem::Kind::none)
            return {};
        directory.handles_.push_back(reinterpret_cast<std::intptr_t>(pinned));
    }
    return directory;
}

std::FILE* PinnedDirectory::create_file(const fs::path& name) const {
    // Shared for deletion, so that an interruption can remove it while it is open; a link of
    // that name is not followed (CREATE_NEW then fails on it, as on any name that exists).
    const HANDLE handle = CreateFileW(
        (path_ / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for_system_error(GetLastError());
        return nullptr;
    }
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(handle);
        DeleteFileW((path_ / name).c_str());
        errno = error;
    }
    return file;
}

EntryType PinnedDirectory::entry_type(const fs::path& name) const {
    const DWORD attributes = GetFileAttributesW((path_ / name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryType::none
                                                                              : EntryType::other;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return EntryType::symbolic_link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return EntryType::directory;
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryType::other : EntryType::regular_file;
}

std::error_code PinnedDirectory::rename(const fs::path& from, const fs::path& to,
                                        bool replace) const {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExW((path_ / from).c_str(), (path_ / to).c_str(), flags))
        return {static_cast<int>(GetLastError()), std::system_category()};
    return {};
}

void PinnedDirectory::remove(const fs::path& name) const {
    DeleteFileW((path_ / name).c_str());
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
