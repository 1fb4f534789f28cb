// Shows one error message box with the text and title from its command line
// and ends with exit code 7 once it is dismissed. The UI driver's own test
// uses it as a known window to read and answer.

#include <windows.h>

#include <shellapi.h>

namespace {

constexpr int kExitAfterDismiss = 7;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3)
        return 1;
    MessageBoxW(nullptr, argv[1], argv[2], MB_OK | MB_ICONERROR);
    LocalFree(argv);
    return kExitAfterDismiss;
}
