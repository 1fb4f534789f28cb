// The launcher's two windows: the modeless progress window (template 130) and the modal language
// dialog (template 129), both dialogs from the executable's own resources.
#include <windows.h>

#include <commctrl.h>

#include <cwchar>
#include <iterator>

#include "error_report.h"
#include "file_helpers.h"
#include "resource_ids.h"
#include "setup_launcher.h"
#include "setup_payload/wide_win32.h"
#include "string_table.h"

namespace {

// The progress window; null while there is none. Cleared by the window's own close handling.
HWND progress_window_handle = nullptr;

// The system's language and country names are read into this many code units.
constexpr int locale_name_capacity = 80;
// Holds the longest display name: two names of 79 units, " (", ")" and the terminator.
constexpr int item_text_capacity = 164;

LPARAM text_parameter(const std::u16string& text) {
    return reinterpret_cast<LPARAM>(as_wide(text));
}

HINSTANCE launcher_module() {
    return GetModuleHandleW(nullptr);
}

// comctl32, home of the progress bar's window class, is no KnownDLL. Named in the import table it
// would be looked for in the launcher's own directory first, the download folder where a planted
// copy may wait; so it is loaded at run time from the system directory only. The manifest's
// dependency redirects the bare name to the version 6 assembly in the system's side-by-side
// store before any directory is searched; the themed controls come from there.
HMODULE load_common_controls() {
    HMODULE module = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr)
        return module;
    // A Windows 7 loader without the search-path update refuses that flag: name the system
    // directory's file in full instead.
    wchar_t path[MAX_PATH];
    const wchar_t file_name[] = L"\\comctl32.dll";
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + std::size(file_name) > MAX_PATH)
        return nullptr;
    std::wcscpy(path + length, file_name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Registers the progress bar's class once per process. A failure shows as a window that cannot be
// created, which ends the run like a closed window.
void init_progress_bar_class() {
    static bool initialized = false;
    if (initialized)
        return;
    initialized = true;
    HMODULE module = load_common_controls();
    if (module == nullptr)
        return;  // stays loaded for the rest of the process
    using InitCommonControlsExFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const auto init = reinterpret_cast<InitCommonControlsExFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "InitCommonControlsEx")));
    if (init == nullptr)
        return;
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    init(&classes);
}

void send_to_progress_bar(UINT message, WPARAM wparam, LPARAM lparam) {
    if (progress_window_handle == nullptr)
        return;  // no window: nothing to move
    SendDlgItemMessageW(progress_window_handle, IDC_PROGRESS_BAR, message, wparam, lparam);
}

// ---- Progress window procedure ----

INT_PTR on_progress_init(HWND window) {
    SetWindowTextW(window, as_wide(own_file_name()));
    return TRUE;
}

// The user stops the extraction by closing the window; the report that processes this message
// returns false.
INT_PTR on_progress_close(HWND window) {
    if (window != progress_window_handle)
        FATAL_ERROR("error_internal");
    progress_window_handle = nullptr;  // cleared first: destroying sends messages of its own
    DestroyWindow(window);
    return FALSE;
}

INT_PTR CALLBACK progress_dialog_proc(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return on_progress_init(window);
        case WM_CLOSE:
            return on_progress_close(window);
        default:
            return FALSE;
    }
}

// ---- Language dialog ----

void set_button_texts(HWND dialog) {
    SendDlgItemMessageW(dialog, IDOK, WM_SETTEXT, 0,
                        text_parameter(get_text(text_key("button_ok"))));
    SendDlgItemMessageW(dialog, IDCANCEL, WM_SETTEXT, 0,
                        text_parameter(get_text(text_key("button_cancel"))));
}

// The language of the selected item, or 0. A language with a built-in string table becomes current
// at once, and the buttons follow it.
std::uint16_t selected_language(HWND dialog) {
    std::uint16_t lcid = 0;
    const LRESULT index = SendDlgItemMessageW(dialog, IDC_LANGUAGE_COMBO, CB_GETCURSEL, 0, 0);
    // CB_GETLBTEXT takes no buffer size: an item that would not fit is unreadable.
    const LRESULT length = index == CB_ERR ? CB_ERR
                                           : SendDlgItemMessageW(dialog, IDC_LANGUAGE_COMBO,
                                                                 CB_GETLBTEXTLEN, index, 0);
    if (length != CB_ERR && length > 0 && length < item_text_capacity) {
        wchar_t text[item_text_capacity] = {};
        const LRESULT copied = SendDlgItemMessageW(dialog, IDC_LANGUAGE_COMBO, CB_GETLBTEXT, index,
                                                   reinterpret_cast<LPARAM>(text));
        if (copied != CB_ERR && copied > 0 && copied < item_text_capacity) {
            lcid = listed_language(
                std::u16string_view(reinterpret_cast<const char16_t*>(text), copied));
        }
    }
    if (select_language(lcid))
        set_button_texts(dialog);
    return lcid;
}

INT_PTR on_language_init(HWND dialog) {
    SetWindowTextW(dialog, as_wide(own_file_name()));
    set_button_texts(dialog);
    for (const std::u16string& name : list_language_names()) {
        SendDlgItemMessageW(dialog, IDC_LANGUAGE_COMBO, CB_ADDSTRING, 0, text_parameter(name));
    }
    const std::u16string preselected = language_display_name(pick_ui_language(collected_lcids()));
    SendDlgItemMessageW(dialog, IDC_LANGUAGE_COMBO, CB_SELECTSTRING, 0,
                        text_parameter(preselected));
    return TRUE;  // the focus goes to the first tab stop, OK
}

INT_PTR on_language_command(HWND dialog, WPARAM wparam) {
    switch (LOWORD(wparam)) {
        case IDC_LANGUAGE_COMBO:
            if (HIWORD(wparam) == CBN_SELCHANGE)
                selected_language(dialog);
            return FALSE;
        case IDOK:
            EndDialog(dialog, selected_language(dialog));
            return TRUE;
        case IDCANCEL:  // also the Escape key
            EndDialog(dialog, 0);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR on_language_close(HWND dialog) {
    EndDialog(dialog, 0);
    return FALSE;
}

INT_PTR CALLBACK language_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return on_language_init(dialog);
        case WM_COMMAND:
            return on_language_command(dialog, wparam);
        case WM_CLOSE:
            return on_language_close(dialog);
        default:
            return FALSE;
    }
}

bool locale_text(std::uint16_t lcid, LCTYPE type, std::u16string& text) {
    wchar_t buffer[locale_name_capacity];
    if (GetLocaleInfoW(lcid, type, buffer, locale_name_capacity) == 0)
        return false;
    text = reinterpret_cast<const char16_t*>(buffer);
    return true;
}

}  // namespace

// ---- Progress window ----

void create_progress_window(std::uint64_t total) {
    if (progress_window_handle == nullptr) {
        init_progress_bar_class();
        // Shown by the template's WS_VISIBLE; first painted in the first report. A failure leaves
        // the handle empty, and that first report ends the run as if the user had closed it.
        progress_window_handle =
            CreateDialogParamW(launcher_module(), MAKEINTRESOURCEW(IDD_PROGRESS_WINDOW), nullptr,
                               progress_dialog_proc, 0);
    }
    send_to_progress_bar(PBM_SETRANGE, 0, MAKELPARAM(0, 65535));
    send_to_progress_bar(PBM_SETPOS, 0, 0);
    reset_progress_counters(total);
}

bool report_progress(std::uint64_t chunk_size) {
    send_to_progress_bar(PBM_SETPOS, add_progress_bytes(chunk_size), 0);
    process_pending_messages();
    return progress_window_handle != nullptr;
}

// The launcher has no message loop of its own: the progress window paints and hears the user only
// here, between two chunks.
void process_pending_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (IsWindow(progress_window_handle) &&
            IsDialogMessageW(progress_window_handle, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void close_progress_window() {
    if (progress_window_handle == nullptr)
        return;
    DestroyWindow(progress_window_handle);
    progress_window_handle = nullptr;
}

// ---- Language choice ----

bool native_language_name(std::uint16_t lcid, std::u16string& name) {
    return locale_text(lcid, LOCALE_SNATIVELANGNAME, name);
}

bool native_country_name(std::uint16_t lcid, std::u16string& name) {
    return locale_text(lcid, LOCALE_SNATIVECTRYNAME, name);
}

std::uint16_t choose_language() {
    const INT_PTR result = DialogBoxParamW(launcher_module(), MAKEINTRESOURCEW(IDD_LANGUAGE_DIALOG),
                                           nullptr, language_dialog_proc, 0);
    // A dialog that could not be shown is no choice: its -1 would otherwise run the commands of
    // language 0xFFFF.
    if (result == -1)
        FATAL_ERROR("error_internal");
    return static_cast<std::uint16_t>(result & 0xFFFF);
}
