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
#include "platform.h"
#include "setup_payload/file_names.h"
#include "setup_payload/system_errors.h"
#include "setup_payload/wide_win32.h"

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

NameStatus name_status(const std::u16string& path) {
    // The attributes of a link itself: Windows does not follow it here.
    if (GetFileAttributesW(as_wide(path)) != INVALID_FILE_ATTRIBUTES)
        return NameStatus::taken;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NameStatus::free
                                                                          : NameStatus::unreadable;
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

void sleep_milliseconds(unsigned milliseconds) {
    Sleep(milliseconds);
}

namespace {

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

}  // namespace

// SYSTEM and Administrators, and the user unless the process is elevated (then it reaches the
// directory as an administrator).
bool private_directory_security(std::u16string& sddl) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated != 0;
    const std::u16string user_sid = elevated ? std::u16string() : token_user_sid(token);
    CloseHandle(token);
    if (!elevated && user_sid.empty())
        return false;
    sddl = private_directory_sddl(elevated, user_sid);
    return true;
}

// The working directory goes by its path: the extraction directory's name can't be taken away
// while the launcher holds the directory open without delete sharing.
StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool, bool quiet) {
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
