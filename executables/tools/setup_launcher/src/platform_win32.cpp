#include <windows.h>

#include <cstdlib>

#include "platform.h"

namespace {

const wchar_t* as_wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace

std::uint16_t user_ui_language() { return GetUserDefaultUILanguage(); }

std::uint32_t last_error_code() { return GetLastError(); }

const char16_t* system_error_text(std::uint32_t code) {
    wchar_t* text = nullptr;
    // 0x1300: allocate the buffer, ignore inserts, from the system's table; 0x0400: the user's
    // default language.
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    return reinterpret_cast<const char16_t*>(text);
}

void show_error_box(const std::u16string& message, const std::u16string& title) {
    MessageBoxW(nullptr, as_wide(message), as_wide(title), MB_OK | MB_ICONERROR);
}

void exit_process(int code) { std::exit(code); }
