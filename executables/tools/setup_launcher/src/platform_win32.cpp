#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "file_helpers.h"
#include "file_names.h"
#include "platform.h"
#include "system_errors.h"

namespace {

const wchar_t* as_wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace

std::uint16_t user_ui_language() {
    return GetUserDefaultUILanguage();
}

std::uint32_t last_error_code() {
    return GetLastError();
}

const char16_t* system_error_text(std::uint32_t code) {
    wchar_t* text = nullptr;
    // 0x1300: allocate the buffer, ignore inserts, from the system's table; 0x0400: the user's
    // default language.
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text),
        0, nullptr);
    return reinterpret_cast<const char16_t*>(text);
}

void show_error_box(const std::u16string& message, const std::u16string& title) {
    MessageBoxW(nullptr, as_wide(message), as_wide(title), MB_OK | MB_ICONERROR);
}

void exit_process(int code) {
    std::exit(code);
}

// ---- Files, directories and processes ----

namespace {

std::u16string from_wide(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

}  // namespace

char16_t native_separator() {
    return u'\\';
}

std::FILE* open_file(const std::u16string& path, const char* mode) {
    const std::wstring wide_mode(mode, mode + std::strlen(mode));
    return _wfopen(as_wide(path), wide_mode.c_str());
}

std::u16string executable_path() {
    // A longer path is cut to what fits; the result of the request is not examined.
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH);
    return from_wide(buffer);
}

bool environment_variable(const char* name, std::u16string& value) {
    const std::wstring wide_name(name, name + std::strlen(name));
    DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    while (size != 0) {
        std::wstring buffer(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), size);
        if (length < size) {
            value.assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
            return true;
        }
        size = length;  // it grew in between
    }
    return false;
}

TempPath system_temp_path() {
    TempPath result;
    // The first answer counts the closing null.
    const DWORD length = GetTempPathW(0, nullptr);
    if (length == 0) {
        result.length_failed = true;
        return result;
    }
    std::wstring buffer(length, L'\0');
    const DWORD fetched = GetTempPathW(length, buffer.data());
    if (fetched == 0 || fetched >= length) {
        result.fetch_failed = true;
        return result;
    }
    result.path.assign(reinterpret_cast<const char16_t*>(buffer.data()), fetched);
    return result;
}

bool path_exists(const std::u16string& path) {
    return GetFileAttributesW(as_wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool name_taken(const std::u16string& path) {
    // The attributes of a link itself: Windows does not follow it here.
    return GetFileAttributesW(as_wide(path)) != INVALID_FILE_ATTRIBUTES ||
           GetLastError() == ERROR_ACCESS_DENIED;
}

bool can_open_for_reading(const std::u16string& path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    const HANDLE file = CreateFileW(as_wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool is_directory(const std::u16string& prefix) {
    const std::u16string pattern = prefix + u"*.*";
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW(as_wide(pattern), &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

bool delete_file(const std::u16string& path) {
    return DeleteFileW(as_wide(path)) != 0;
}

bool remove_directory(const std::u16string& path) {
    return RemoveDirectoryW(as_wide(path)) != 0;
}

void sleep_milliseconds(unsigned milliseconds) {
    Sleep(milliseconds);
}

std::vector<DirectoryEntry> list_directory(const std::u16string& directory_with_separator) {
    std::vector<DirectoryEntry> entries;
    const std::u16string pattern = directory_with_separator + u"*";
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW(as_wide(pattern), &data);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        entries.push_back({from_wide(data.cFileName), data.dwFileAttributes});
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return entries;
}

// ---- The private extraction directory ----

namespace {

// The extraction directory, held open from its creation until it is let go, and its path.
// The handle shares reading and writing but not deletion: while it is open nobody can rename
// the directory (which the user's own processes could otherwise do in the user's TMP, with
// the right to delete children that they have there) and put another one in its place.
HANDLE private_root = INVALID_HANDLE_VALUE;
std::u16string private_root_path;

// The calling user's SID as text; empty when it can't be read.
std::u16string token_user_sid(HANDLE token) {
    // The largest SID there can be follows the structure.
    union {
        TOKEN_USER user;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size) ||
        !ConvertSidToStringSidW(buffer.user.User.Sid, &text)) {
        return {};
    }
    std::u16string sid = from_wide(text);
    LocalFree(text);
    return sid;
}

// The descriptor text for this process: SYSTEM and Administrators, and the user unless the
// process is elevated (then it reaches the directory as an administrator). Empty when the
// process's token can't be read.
std::u16string private_descriptor_text() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated != 0;
    const std::u16string user_sid = elevated ? std::u16string() : token_user_sid(token);
    CloseHandle(token);
    if (!elevated && user_sid.empty())
        return {};
    return private_directory_sddl(elevated, user_sid);
}

bool make_private_root(const std::u16string& path) {
    const std::u16string text = private_descriptor_text();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (text.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            as_wide(text), SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const bool created = CreateDirectoryW(as_wide(path), &attributes) != 0;
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return created;
}

// A directory, and no reparse point (a junction or a link) that would lead elsewhere.
bool is_plain_directory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Checks every directory of `relative` below the private directory, from the top: each must be
// a plain directory; with `create`, one that is missing is made (inheriting the DACL).
bool plain_directory_chain(std::u16string_view relative, bool create) {
    if (private_root == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    for (std::size_t cut = relative.find_first_of(name_separators);
         cut != std::u16string_view::npos; cut = relative.find_first_of(name_separators, cut + 1)) {
        const std::u16string_view component = relative.substr(0, cut);
        const std::size_t start = component.find_last_of(name_separators);
        const std::u16string_view last =
            component.substr(start == std::u16string_view::npos ? 0 : start + 1);
        if (last.empty())
            continue;
        if (last == u"." || last == u"..") {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        const std::u16string path = private_root_path + u'\\' + std::u16string(component);
        const DWORD attributes = GetFileAttributesW(as_wide(path));
        if (attributes == INVALID_FILE_ATTRIBUTES && create &&
            GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (!CreateDirectoryW(as_wide(path), nullptr))
                return false;
        } else if (!is_plain_directory(attributes)) {
            // What stands there is reported as the directory's creation would report it.
            if (attributes != INVALID_FILE_ATTRIBUTES)
                SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
    }
    return true;
}

}  // namespace

NewDirectoryStatus create_private_directory(const std::u16string& path) {
    release_private_directory();
    if (!make_private_root(path)) {
        return GetLastError() == ERROR_ALREADY_EXISTS ? NewDirectoryStatus::name_taken
                                                      : NewDirectoryStatus::failed;
    }
    // Opened as named, a reparse point not followed; refused unless it is the plain directory
    // just made.
    const HANDLE directory = CreateFileW(
        as_wide(path), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE)
        return NewDirectoryStatus::failed;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(directory, &information) ||
        !is_plain_directory(information.dwFileAttributes)) {
        CloseHandle(directory);
        SetLastError(ERROR_DIRECTORY);
        return NewDirectoryStatus::failed;
    }
    private_root = directory;
    private_root_path = path;
    return NewDirectoryStatus::created;
}

bool release_private_directory() {
    if (private_root != INVALID_HANDLE_VALUE)
        CloseHandle(private_root);
    private_root = INVALID_HANDLE_VALUE;
    private_root_path.clear();
    return true;  // the handle kept it from being renamed
}

bool private_subdirectory(std::u16string_view relative) {
    return plain_directory_chain(relative, true);
}

NewFile create_private_file(std::u16string_view relative) {
    NewFile result;
    if (!plain_directory_chain(relative, false))
        return result;
    const std::u16string path = private_root_path + u'\\' + std::u16string(relative);
    // CREATE_NEW fails on any entry of that name; with FILE_FLAG_OPEN_REPARSE_POINT a link of
    // that name is not followed to create its target either.
    const HANDLE file =
        CreateFileW(as_wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        // A directory can't be opened for writing: that is the failure to report, as before.
        const bool is_directory = is_plain_directory(GetFileAttributesW(as_wide(path)));
        result.status = exists && !is_directory ? NewFileStatus::name_taken : NewFileStatus::failed;
        // A name that exists is no failure of the system's, and is reported without one; a
        // directory is reported as opening it for writing always failed.
        const bool taken = result.status == NewFileStatus::name_taken;
        errno = taken ? 0 : is_directory ? EACCES : errno_for_system_error(error);
        SetLastError(taken ? ERROR_SUCCESS : is_directory ? ERROR_ACCESS_DENIED : error);
        return result;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    result.file = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (result.file == nullptr) {
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
        return result;
    }
    result.status = NewFileStatus::created;
    return result;
}

StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool quiet) {
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    // The process handle is kept for the wait; a quiet command also keeps the shell's own error
    // dialogs away.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | (quiet ? SEE_MASK_FLAG_NO_UI : 0);
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = as_wide(program);
    info.lpParameters = as_wide(parameters);  // empty, never null
    info.lpDirectory = as_wide(directory);
    info.nShow = SW_SHOW;

    StartedProcess process;
    if (!ShellExecuteExW(&info))
        return process;
    process.started = true;
    process.has_process = info.hProcess != nullptr;
    process.handle = reinterpret_cast<std::uintptr_t>(info.hProcess);
    return process;
}

void wait_for_process(const StartedProcess& process) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(process.handle), INFINITE);
}

bool close_process(const StartedProcess& process) {
    return CloseHandle(reinterpret_cast<HANDLE>(process.handle)) != 0;
}
