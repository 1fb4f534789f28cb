// Test program for the fault tests under Wine, started as a payload command or by the test:
//
//   faults_test.exe hold NAME MILLISECONDS
//       Starts a second copy of itself that opens NAME (relative to the current directory)
//       without any sharing and keeps it open for MILLISECONDS, waits until the file is held,
//       then exits 0. The launcher, which waits for this process only, goes on to its cleanup
//       while the file is still held. Exit 1 when the file could not be held.
//   faults_test.exe temp-path OUTPUT
//       Writes what GetTempPathW answers, in UTF-8, into the file OUTPUT.
#include <windows.h>

#include <shellapi.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD hold_wait_ms = 10000;
constexpr DWORD poll_ms = 20;

// True while another process holds the file without sharing: opening it with every sharing mode
// then fails with a sharing violation.
bool held_by_another(const std::wstring& name) {
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

void append_to_log(const char* line) {
    wchar_t log_name[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"FAULTS_LOG", log_name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const HANDLE file = CreateFileW(log_name, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    CloseHandle(file);
}

int hold(const std::wstring& name, const std::wstring& milliseconds) {
    wchar_t own_path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own_path, MAX_PATH);
    std::wstring command_line =
        L"\"" + std::wstring(own_path) + L"\" hold-child \"" + name + L"\" " + milliseconds;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 1;
    }
    CloseHandle(process.hThread);
    for (DWORD waited = 0; waited < hold_wait_ms; waited += poll_ms) {
        if (held_by_another(name)) {
            CloseHandle(process.hProcess);
            append_to_log("held\r\n");
            return 0;
        }
        if (WaitForSingleObject(process.hProcess, poll_ms) == WAIT_OBJECT_0)
            break;  // the child could not open the file
    }
    CloseHandle(process.hProcess);
    return 1;
}

int hold_child(const std::wstring& name, const std::wstring& milliseconds) {
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    Sleep(static_cast<DWORD>(std::stoul(milliseconds)));
    CloseHandle(file);
    return 0;
}

int temp_path(const std::wstring& output) {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    char bytes[4 * MAX_PATH] = {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), bytes,
                                         sizeof bytes, nullptr, nullptr);
    const HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3)
        return 2;
    const std::wstring mode = argv[1];
    if (mode == L"hold" && argc == 4)
        return hold(argv[2], argv[3]);
    if (mode == L"hold-child" && argc == 4)
        return hold_child(argv[2], argv[3]);
    if (mode == L"temp-path" && argc == 3)
        return temp_path(argv[2]);
    return 2;
}
