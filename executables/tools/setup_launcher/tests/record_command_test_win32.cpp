// Test program: records how it was started. Writes its command line and its current directory,
// one line each in UTF-8, into the file that RECORD_COMMAND_LOG names, or else into
// record_command.log in its current directory. It waits half a second first, so that a caller
// that does not wait for it finds no log yet.
//
// Two settings for runs of several commands in a row:
// - RECORD_COMMAND_APPEND (any value): the lines are appended to the log instead of replacing it;
// - RECORD_COMMAND_CHECK_FILE=NAME: a third line "exists: NAME" or "missing: NAME" tells whether
//   NAME, relative to the current directory, is a file that can be opened for reading.
// And one for the tests of the extraction directory: with RECORD_COMMAND_RENAME_FROM and
// RECORD_COMMAND_RENAME_TO set, it first tries to rename the one to the other, as any program of
// the same user could, and adds "rename: done" or "rename: refused (error N)".
#include <windows.h>

#include <string>

namespace {

std::wstring environment_value(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return value;
}

bool readable_file(const std::wstring& name) {
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Sleep(500);
    std::wstring log_name = environment_value(L"RECORD_COMMAND_LOG");
    if (log_name.empty())
        log_name = L"record_command.log";
    const bool append = GetEnvironmentVariableW(L"RECORD_COMMAND_APPEND", nullptr, 0) != 0;
    const std::wstring checked = environment_value(L"RECORD_COMMAND_CHECK_FILE");
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);

    std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n";
    if (!checked.empty())
        text += (readable_file(checked) ? L"exists: " : L"missing: ") + checked + L"\n";
    const std::wstring rename_from = environment_value(L"RECORD_COMMAND_RENAME_FROM");
    if (!rename_from.empty()) {
        const std::wstring rename_to = environment_value(L"RECORD_COMMAND_RENAME_TO");
        text += MoveFileExW(rename_from.c_str(), rename_to.c_str(), 0)
                    ? std::wstring(L"rename: done\n")
                    : L"rename: refused (error " + std::to_wstring(GetLastError()) + L")\n";
    }
    std::string bytes(static_cast<std::size_t>(text.size()) * 3, '\0');
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr);
    const HANDLE file =
        CreateFileW(log_name.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                    append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return 0;
}
