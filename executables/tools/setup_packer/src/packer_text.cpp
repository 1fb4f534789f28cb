#include <algorithm>
#include <cstdio>

#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

// The length of the well-formed UTF-8 sequence at `at` and its code point, or 0 when there is
// none (overlong forms, surrogates, code points above U+10FFFF, cut sequences).
std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& code_point) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        code_point = lead & 0x1F;
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        code_point = lead & 0x0F;
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        code_point = lead & 0x07;
        length = 4;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code_point = code_point << 6 | (next & 0x3F);
    }
    const bool overlong =
        (length == 3 && code_point < 0x800) || (length == 4 && code_point < 0x10000);
    const bool outside = code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF);
    return overlong || outside ? 0 : length;
}

bool is_control(char32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

}  // namespace

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string hex16(std::uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string in_quotes(std::u16string_view text) {
    return "'" + terminal_text(utf16_to_utf8(text)) + "'";
}

std::string terminal_path(const std::filesystem::path& path) {
    return terminal_text(path_to_utf8(path));
}

bool is_separator(char16_t c) {
    return c == u'/' || c == u'\\';
}

std::vector<std::u16string_view> split_name(std::u16string_view name) {
    std::vector<std::u16string_view> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || is_separator(name[i])) {
            components.push_back(name.substr(start, i - start));
            start = i + 1;
        }
    }
    return components;
}

std::string size_text(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// --- Texts and paths ---------------------------------------------------------------------------

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(text, i, code_point);
        if (length == 0)
            return std::nullopt;
        if (code_point >= 0x10000) {
            code_point -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code_point));
        }
        i += length;
    }
    return result;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code_point = text[i];
        if (code_point >= 0xD800 && code_point <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            code_point = 0xFFFD;
        }
        if (code_point < 0x80) {
            result.push_back(static_cast<char>(code_point));
        } else if (code_point < 0x800) {
            result.push_back(static_cast<char>(0xC0 | code_point >> 6));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        } else if (code_point < 0x10000) {
            result.push_back(static_cast<char>(0xE0 | code_point >> 12));
            result.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xF0 | code_point >> 18));
            result.push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        }
    }
    return result;
}

fs::path path_from_utf8(std::string_view text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string path_to_utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string progress_bar(std::uint64_t done, std::uint64_t total, std::size_t width) {
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + percent +
           "  " + size_text(done) + " of " + size_text(total);
}

std::string terminal_text(std::string_view utf8) {
    std::string shown;
    shown.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(utf8, i, code_point);
        char escape[8];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(utf8[i]));
        } else if (is_control(code_point)) {
            std::snprintf(escape, sizeof escape, code_point < 0x80 ? "\\x%02X" : "\\u%04X",
                          static_cast<unsigned>(code_point));
        } else {
            shown.append(utf8, i, length);
            i += length;
            continue;
        }
        shown += escape;
        i += length != 0 ? length : 1;
    }
    return shown;
}
