// Test program: records how run_command started it. Writes its command line and its current
// directory, one line each in UTF-8, into the file that RECORD_COMMAND_LOG names, or else into
// record_command.log in its current directory. It waits half a second first, so that a caller
// that does not wait for it finds no log yet.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Sleep(500);
    wchar_t log_name[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"RECORD_COMMAND_LOG", log_name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        lstrcpyW(log_name, L"record_command.log");
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);

    const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n";
    std::string bytes(static_cast<std::size_t>(text.size()) * 3, '\0');
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr);
    const HANDLE file = CreateFileW(log_name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return 0;
}
