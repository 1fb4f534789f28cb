// Test program: shows one of the launcher's windows, so that a test script can read and answer it
// like a user and then check what the launcher made of it.
//   setup_launcher_test.exe progress           the progress window, reported into until closed
//   setup_launcher_test.exe language LCID...   collects the languages (hexadecimal) and asks
// Built once with the launcher's dialog templates and once without, where no window can be made.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>

#include "setup_launcher.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

// Raw bytes: the runtime's text mode and wide printf would change what the script reads.
void print(const std::u16string& line) {
    const std::string bytes = to_utf8(line + u"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

BOOL CALLBACK count_dialog(HWND window, LPARAM count) {
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (std::wcscmp(class_name, L"#32770") == 0)
        ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int dialogs_of_this_thread() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), count_dialog, reinterpret_cast<LPARAM>(&count));
    return count;
}

int show_progress() {
    create_progress_window(131);
    report_progress(1);
    create_progress_window(20'971'520);  // keeps the window, restarts bar and counters
    print(format_wide(u"windows: %d", dialogs_of_this_thread()));
    // The first report may already meet the user's close: the bar moves before the queue is read.
    bool open = report_progress(10'485'760);
    // Empty chunks, as from a slow extraction, until the user closes the window.
    for (int i = 0; open && i < 400; ++i) {
        Sleep(50);
        open = report_progress(0);
    }
    if (open) {
        print(u"report: still open");
        return 1;
    }
    print(format_wide(u"report: closed, windows: %d", dialogs_of_this_thread()));
    return 0;
}

int ask_for_language(int argc, wchar_t** argv) {
    for (int i = 2; i < argc; ++i) {
        add_command_lcid(static_cast<std::uint16_t>(std::wcstoul(argv[i], nullptr, 16)));
    }
    const std::uint16_t chosen = choose_language();
    print(format_wide(u"chosen: 0x%04X", unsigned{chosen}));
    print(u"cancel: " + get_text("button_cancel"));  // the table the dialog left current
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    init_string_table();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2)
        return 2;
    if (std::wcscmp(argv[1], L"progress") == 0)
        return show_progress();
    if (std::wcscmp(argv[1], L"language") == 0)
        return ask_for_language(argc, argv);
    return 2;
}
