// Works the windows of another process the way a user would, so that tests
// running under Wine can read what a dialog shows and answer it.
//
//   ui_driver.exe --class CLASS [--title TITLE] [--timeout MS]
//                 [--ready-file PATH] [--stop-file PATH] ACTIONS...
//
// Actions run in the order given: --dump, --press ID, --select TEXT, --close,
// --wait-gone, --sleep MS.  Exit code 0 when every action succeeded, 2 when
// one failed (with a message on stderr).
//
// A watcher tells when it has started looking for the window by creating the
// ready file, and stops looking, as if its time were up, once the stop file
// exists: a test can then watch for exactly as long as the program it watches
// runs, however slowly it starts.

#include <windows.h>

#include <commctrl.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 2;
constexpr DWORD kPollMs = 50;
// How long a single cross-process message may take before the target counts
// as hung.
constexpr UINT kSendTimeoutMs = 5000;
// How long an action waits for the target to handle a click or notification.
constexpr UINT kHandOverMs = 1000;

struct Options {
    std::wstring window_class;
    std::wstring title;
    bool has_title = false;
    DWORD timeout_ms = 15000;
    std::wstring ready_file;
    std::wstring stop_file;
    std::vector<std::vector<std::wstring>> actions;
};

struct Failure {
    std::wstring message;
};

// ---------------------------------------------------------------- output

std::string to_utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Raw bytes through WriteFile: the C runtime's text mode would turn "\n" into
// "\r\n" and its wide printf family differs between runtimes.
void write_handle(DWORD which, const std::wstring& line) {
    const std::string bytes = to_utf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
}

void out(const std::wstring& line) {
    write_handle(STD_OUTPUT_HANDLE, line);
}

std::wstring escaped(const std::wstring& text) {
    std::wstring result;
    for (wchar_t c : text) {
        if (c == L'\\')
            result += L"\\\\";
        else if (c == L'\r')
            result += L"\\r";
        else if (c == L'\n')
            result += L"\\n";
        else
            result += c;
    }
    return result;
}

// ---------------------------------------------------------------- helpers

[[noreturn]] void fail(const std::wstring& message) {
    throw Failure{message};
}

DWORD parse_number(const std::wstring& text, const wchar_t* what) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != text.npos)
        fail(std::wstring(what) + L" needs a decimal number, got '" + text + L"'");
    return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

bool send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, DWORD_PTR* result) {
    return SendMessageTimeoutW(hwnd, msg, wparam, lparam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                               kSendTimeoutMs, result) != 0;
}

LRESULT send_or_fail(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    if (!send(hwnd, msg, wparam, lparam, &result))
        fail(L"message " + std::to_wstring(msg) + L" got no answer");
    return static_cast<LRESULT>(result);
}

// Hands a message to the target and waits briefly for it to be handled. A
// handler that opens a modal box or works for long does not answer in time;
// that still counts as delivered, as the message stays queued for it.
void hand_over(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR ignored = 0;
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutW(hwnd, msg, wparam, lparam, SMTO_NORMAL, kHandOverMs, &ignored) == 0 &&
        GetLastError() != ERROR_TIMEOUT)
        fail(L"message " + std::to_wstring(msg) + L" could not be delivered");
}

std::wstring class_of(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

// WM_GETTEXT is marshalled across processes and also reaches controls whose
// text is not the window caption (edit boxes); a hung target falls back to
// the caption the window manager keeps.
std::wstring text_of(HWND hwnd) {
    DWORD_PTR length = 0;
    if (send(hwnd, WM_GETTEXTLENGTH, 0, 0, &length)) {
        std::wstring text(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (send(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), &copied)) {
            text.resize(copied);
            return text;
        }
    }
    wchar_t caption[1024] = {};
    InternalGetWindowText(hwnd, caption, 1024);
    return caption;
}

bool is_class(HWND hwnd, const wchar_t* name) {
    return lstrcmpiW(class_of(hwnd).c_str(), name) == 0;
}

// ---------------------------------------------------------------- finding

struct Search {
    const Options* options;
    HWND found;
};

BOOL CALLBACK match_top_level(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(hwnd) ||
        lstrcmpiW(class_of(hwnd).c_str(), search->options->window_class.c_str()) != 0)
        return TRUE;
    if (search->options->has_title) {
        wchar_t title[1024] = {};
        InternalGetWindowText(hwnd, title, 1024);
        if (search->options->title != title)
            return TRUE;
    }
    search->found = hwnd;
    return FALSE;
}

void create_ready_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        fail(L"cannot create the ready file " + path);
    CloseHandle(file);
}

bool stop_asked(const Options& options) {
    return !options.stop_file.empty() &&
           GetFileAttributesW(options.stop_file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HWND find_window(const Options& options) {
    const ULONGLONG deadline = GetTickCount64() + options.timeout_ms;
    if (!options.ready_file.empty())
        create_ready_file(options.ready_file);
    for (;;) {
        // Asked before looking, so that the last look comes after the stop
        // file was made: nothing the watched program showed before it ended
        // is missed.
        const bool stop = stop_asked(options);
        Search search{&options, nullptr};
        EnumWindows(match_top_level, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        if (stop || GetTickCount64() >= deadline)
            fail(L"no window class=" + options.window_class + L" title=" + options.title);
        Sleep(kPollMs);
    }
}

BOOL CALLBACK collect_child(HWND hwnd, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> children_of(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&children));
    return children;
}

HWND control_by_id(HWND window, int id) {
    for (HWND child : children_of(window))
        if (GetDlgCtrlID(child) == id)
            return child;
    fail(L"no control with id " + std::to_wstring(id));
}

// ---------------------------------------------------------------- combo boxes

std::vector<std::wstring> combo_items(HWND combo) {
    std::vector<std::wstring> items;
    const LRESULT count = send_or_fail(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = send_or_fail(combo, CB_GETLBTEXTLEN, i, 0);
        std::wstring text(static_cast<size_t>(length < 0 ? 0 : length) + 1, L'\0');
        const LRESULT copied =
            send_or_fail(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(copied < 0 ? 0 : copied));
        items.push_back(text);
    }
    return items;
}

void dump_combo(HWND combo) {
    const std::vector<std::wstring> items = combo_items(combo);
    for (size_t i = 0; i < items.size(); ++i)
        out(L"item: index=" + std::to_wstring(i) + L" text=" + escaped(items[i]));
    out(L"selected: " + std::to_wstring(static_cast<int>(send_or_fail(combo, CB_GETCURSEL, 0, 0))));
}

void dump_progress(HWND bar) {
    const LRESULT low = send_or_fail(bar, PBM_GETRANGE, TRUE, 0);
    const LRESULT high = send_or_fail(bar, PBM_GETRANGE, FALSE, 0);
    out(L"range: " + std::to_wstring(low) + L" " + std::to_wstring(high));
    out(L"pos: " + std::to_wstring(send_or_fail(bar, PBM_GETPOS, 0, 0)));
}

// ---------------------------------------------------------------- actions

void dump(HWND window) {
    out(L"title: " + escaped(text_of(window)));
    for (HWND child : children_of(window)) {
        out(L"control: class=" + class_of(child) + L" id=" + std::to_wstring(GetDlgCtrlID(child)) +
            L" text=" + escaped(text_of(child)));
        if (is_class(child, WC_COMBOBOXW))
            dump_combo(child);
        else if (is_class(child, PROGRESS_CLASSW))
            dump_progress(child);
    }
}

void press(HWND window, const std::wstring& id_text) {
    const int id = static_cast<int>(parse_number(id_text, L"--press"));
    HWND button = control_by_id(window, id);
    if (!IsWindowEnabled(button) || !IsWindowVisible(button))
        fail(L"control " + id_text + L" is disabled or hidden");
    hand_over(button, BM_CLICK, 0, 0);
}

void select_item(HWND window, const std::wstring& text) {
    for (HWND combo : children_of(window)) {
        if (!is_class(combo, WC_COMBOBOXW))
            continue;
        const std::vector<std::wstring> items = combo_items(combo);
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i] != text)
                continue;
            send_or_fail(combo, CB_SETCURSEL, i, 0);
            const WPARAM command = MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE);
            hand_over(GetParent(combo), WM_COMMAND, command, reinterpret_cast<LPARAM>(combo));
            return;
        }
    }
    fail(L"no combo box item '" + text + L"'");
}

void close_window(HWND window) {
    if (!PostMessageW(window, WM_CLOSE, 0, 0))
        fail(L"WM_CLOSE could not be posted");
}

void wait_gone(HWND window, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (IsWindow(window)) {
        if (GetTickCount64() >= deadline)
            fail(L"window still there after " + std::to_wstring(timeout_ms) + L" ms");
        Sleep(kPollMs);
    }
}

void run_action(HWND window, const Options& options, const std::vector<std::wstring>& action) {
    const std::wstring& name = action[0];
    if (name == L"--dump")
        dump(window);
    else if (name == L"--press")
        press(window, action[1]);
    else if (name == L"--select")
        select_item(window, action[1]);
    else if (name == L"--close")
        close_window(window);
    else if (name == L"--wait-gone")
        wait_gone(window, options.timeout_ms);
    else if (name == L"--sleep")
        Sleep(parse_number(action[1], L"--sleep"));
}

// ---------------------------------------------------------------- arguments

bool is_setting(const std::wstring& name) {
    return name == L"--class" || name == L"--title" || name == L"--timeout" ||
           name == L"--ready-file" || name == L"--stop-file";
}

int argument_count(const std::wstring& name) {
    if (name == L"--dump" || name == L"--close" || name == L"--wait-gone")
        return 0;
    if (name == L"--press" || name == L"--select" || name == L"--sleep" || is_setting(name))
        return 1;
    fail(L"unknown argument " + name);
}

void apply_setting(Options& options, const std::wstring& name, const std::wstring& value) {
    if (name == L"--class") {
        options.window_class = value;
    } else if (name == L"--title") {
        options.title = value;
        options.has_title = true;
    } else if (name == L"--ready-file") {
        options.ready_file = value;
    } else if (name == L"--stop-file") {
        options.stop_file = value;
    } else {
        options.timeout_ms = parse_number(value, L"--timeout");
    }
}

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        const int count = argument_count(name);
        if (count > 0 && i + 1 >= argc)
            fail(name + L" needs a value");
        if (is_setting(name))
            apply_setting(options, name, argv[i + 1]);
        else if (count == 0)
            options.actions.push_back({name});
        else
            options.actions.push_back({name, argv[i + 1]});
        i += count;
    }
    if (options.window_class.empty())
        fail(L"--class is required");
    return options;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        const Options options = parse(argc, argv);
        HWND window = find_window(options);
        for (const auto& action : options.actions)
            run_action(window, options, action);
        return 0;
    } catch (const Failure& failure) {
        write_handle(STD_ERROR_HANDLE, L"ui_driver: " + failure.message);
        return kExitFailure;
    }
}
