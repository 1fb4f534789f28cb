// UTF-16 texts at the Win32 boundary: the launcher keeps them as char16_t, Windows takes wchar_t.
// Windows builds only.
#pragma once

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

inline const wchar_t* as_wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline std::u16string from_wide(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}
