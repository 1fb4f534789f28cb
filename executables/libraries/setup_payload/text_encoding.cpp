#include "setup_payload/text_encoding.h"

#include <cstdint>

namespace {

// A lone surrogate that stands for one byte of a path that is not UTF-8.
constexpr char32_t escaped_byte_first = 0xDC80;
constexpr char32_t escaped_byte_last = 0xDCFF;
constexpr char32_t replacement_character = 0xFFFD;

bool is_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// UTF-16 to UTF-8; with `unescape_bytes`, U+DC80 to U+DCFF alone become the bytes they stand for.
std::string encode_utf8(std::u16string_view text, bool unescape_bytes) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (unescape_bytes && cp >= escaped_byte_first && cp <= escaped_byte_last) {
            out.push_back(static_cast<char>(cp - 0xDC00));
            continue;
        } else if (is_surrogate(cp)) {
            cp = replacement_character;
        }
        append_utf8(out, cp);
    }
    return out;
}

// What becomes of a byte that starts no well-formed UTF-8 sequence.
enum class Malformed { replace, escape, refuse };

// UTF-8 to UTF-16; false only with Malformed::refuse, on the first malformed byte.
bool decode_utf8_text(std::string_view text, Malformed malformed, std::u16string& out) {
    out.clear();
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out.push_back(byte);
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t length = decode_utf8(text, i, cp);
        if (length != 0) {
            append_utf16(out, cp);
            i += length;
        } else if (malformed == Malformed::refuse) {
            return false;
        } else {
            out.push_back(malformed == Malformed::escape ? static_cast<char16_t>(0xDC00 + byte)
                                                         : u'\uFFFD');
            ++i;
        }
    }
    return true;
}

}  // namespace

std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& code_point) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t extra = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        extra = 1, code_point = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        extra = 2, code_point = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        extra = 3, code_point = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at <= extra)
        return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF || is_surrogate(code_point))
        return 0;
    return extra + 1;
}

std::string to_utf8(std::u16string_view text) {
    return encode_utf8(text, false);
}

std::u16string from_utf8(std::string_view text) {
    std::u16string out;
    decode_utf8_text(text, Malformed::replace, out);
    return out;
}

std::optional<std::u16string> from_utf8_strict(std::string_view text) {
    std::u16string out;
    if (!decode_utf8_text(text, Malformed::refuse, out))
        return std::nullopt;
    return out;
}

std::u16string from_path_bytes(std::string_view bytes) {
    std::u16string out;
    decode_utf8_text(bytes, Malformed::escape, out);
    return out;
}

std::string to_path_bytes(std::u16string_view path) {
    return encode_utf8(path, true);
}

std::u16string widen(const char* text) {
    std::u16string wide;
    for (const char* p = text; *p != 0; ++p)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return wide;
}
