// Test program: raises one fatal error under a chosen errno and last-error state, so that a test
// script can read the real error box and the exit code.
//   error_report_test.exe plain|errno|last_error|no_text
#include <windows.h>

#include <cerrno>
#include <cwchar>

#include "error_report.h"
#include "string_table.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    init_string_table();
    const bool set_errno = std::wcsstr(command_line, L"errno") != nullptr;
    DWORD last_error = 0;
    if (std::wcsstr(command_line, L"last_error") != nullptr)
        last_error = ERROR_ACCESS_DENIED;
    if (std::wcsstr(command_line, L"no_text") != nullptr)
        last_error = 0x20000001;  // no system text
    errno = set_errno ? ENOENT : 0;
    SetLastError(last_error);
    FATAL_ERROR("error_opening", u"C:\\Downloads\\setup.exe");  // report site
}
