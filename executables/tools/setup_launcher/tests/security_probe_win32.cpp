// Test program, run as a launcher command in the extraction directory: appends to the file that
// PROBE_LOG names what the system says about where it runs, one "key: value" line each, in
// UTF-8:
//   cwd: the working directory
//   elevated: 1 when the process's token is elevated, 0 when not, ? when it can't be read
//   NAME: the DACL of each NAME given (relative to the working directory) as descriptor text,
//         or "error N" with the system's error code
// Usage: security_probe.exe NAME...
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

std::wstring dacl_text(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return L"error " + std::to_wstring(error);
    wchar_t* text = nullptr;
    std::wstring result = L"error " + std::to_wstring(GetLastError());
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

std::wstring elevation() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return L"?";
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool known =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    CloseHandle(token);
    if (!known)
        return L"?";
    return elevation.TokenIsElevated ? L"1" : L"0";
}

void append_to_log(const std::wstring& text) {
    wchar_t log_name[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"PROBE_LOG", log_name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::string bytes(text.size() * 3, '\0');
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr);
    const HANDLE file = CreateFileW(log_name, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    std::wstring text = L"cwd: " + std::wstring(directory) + L"\n";
    text += L"elevated: " + elevation() + L"\n";
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        const std::wstring name = arguments[i];
        const std::wstring path = std::wstring(directory) + L"\\" + name;
        text += name + L": " + dacl_text(path) + L"\n";
    }
    append_to_log(text);
    LocalFree(arguments);
    return 0;
}
