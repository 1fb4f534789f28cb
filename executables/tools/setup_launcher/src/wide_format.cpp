#include "wide_format.h"

#include <cstdint>

namespace {

// Collects output into a bounded buffer and remembers whether anything was cut.
struct BoundedOutput {
    char16_t* buffer;
    std::size_t capacity;  // usable units, terminator excluded
    std::size_t length = 0;
    bool cut = false;
};

void put(BoundedOutput& out, char16_t unit) {
    if (out.length < out.capacity) {
        out.buffer[out.length++] = unit;
    } else {
        out.cut = true;
    }
}

struct Placeholder {
    bool left_align = false;
    bool zero_pad = false;
    int width = 0;
};

void put_padded(BoundedOutput& out, const Placeholder& placeholder, const char16_t* digits,
                int length) {
    const char16_t pad = placeholder.zero_pad && !placeholder.left_align ? u'0' : u' ';
    int padding = placeholder.width > length ? placeholder.width - length : 0;
    int start = 0;
    if (pad == u'0' && length > 0 && digits[0] == u'-') {
        put(out, u'-');  // zero padding goes between the sign and the digits
        start = 1;
    }
    if (!placeholder.left_align) {
        for (; padding > 0; --padding)
            put(out, pad);
    }
    for (int i = start; i < length; ++i)
        put(out, digits[i]);
    for (; padding > 0; --padding)
        put(out, u' ');
}

void put_unsigned(BoundedOutput& out, const Placeholder& placeholder, std::uint32_t value,
                  unsigned base, bool upper, bool negative) {
    const char* digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t digits[16];
    char16_t reversed[16];
    int count = 0;
    do {
        reversed[count++] = static_cast<char16_t>(digit_set[value % base]);
        value /= base;
    } while (value != 0);
    int length = 0;
    if (negative)
        digits[length++] = u'-';
    while (count > 0)
        digits[length++] = reversed[--count];
    put_padded(out, placeholder, digits, length);
}

void put_wide_string(BoundedOutput& out, const Placeholder& placeholder, const char16_t* text) {
    if (text == nullptr)
        text = u"(null)";
    std::size_t length = 0;
    while (text[length] != 0)
        ++length;
    int padding = placeholder.width > static_cast<int>(length)
                      ? placeholder.width - static_cast<int>(length)
                      : 0;
    if (!placeholder.left_align) {
        for (; padding > 0; --padding)
            put(out, u' ');
    }
    for (std::size_t i = 0; i < length; ++i)
        put(out, text[i]);
    for (; padding > 0; --padding)
        put(out, u' ');
}

void put_narrow_string(BoundedOutput& out, const Placeholder& placeholder, const char* text) {
    if (text == nullptr)
        text = "(null)";
    std::u16string wide = widen(text);
    put_wide_string(out, placeholder, wide.c_str());
}

// Reads flags and width after a '%'; returns the position of the conversion character.
const char16_t* parse_placeholder(const char16_t* p, Placeholder& placeholder) {
    for (;; ++p) {
        if (*p == u'-') {
            placeholder.left_align = true;
        } else if (*p == u'0') {
            placeholder.zero_pad = true;
        } else {
            break;
        }
    }
    while (*p >= u'0' && *p <= u'9' && placeholder.width < 4096) {
        placeholder.width = placeholder.width * 10 + (*p - u'0');
        ++p;
    }
    return p;
}

// Handles one conversion; returns false when the character is no known conversion.
bool convert(BoundedOutput& out, const Placeholder& placeholder, char16_t conversion,
             va_list& args) {
    switch (conversion) {
        case u's':
            put_wide_string(out, placeholder, va_arg(args, const char16_t*));
            return true;
        case u'S':
            put_narrow_string(out, placeholder, va_arg(args, const char*));
            return true;
        case u'd':
        case u'i': {
            const int value = va_arg(args, int);
            const bool negative = value < 0;
            const std::uint32_t magnitude = negative ? 0u - static_cast<std::uint32_t>(value)
                                                     : static_cast<std::uint32_t>(value);
            put_unsigned(out, placeholder, magnitude, 10, false, negative);
            return true;
        }
        case u'u':
            put_unsigned(out, placeholder, va_arg(args, unsigned int), 10, false, false);
            return true;
        case u'X':
        case u'x':
            put_unsigned(out, placeholder, va_arg(args, unsigned int), 16, conversion == u'X',
                         false);
            return true;
        case u'c': {
            const char16_t unit[1] = {static_cast<char16_t>(va_arg(args, int))};
            put_padded(out, placeholder, unit, 1);
            return true;
        }
        case u'%':
            put(out, u'%');
            return true;
        default:
            return false;
    }
}

}  // namespace

int format_wide_to_buffer_v(char16_t* buffer, std::size_t count, const char16_t* format,
                            va_list args) {
    if (count == 0 || buffer == nullptr)
        return -1;
    BoundedOutput out{buffer, count - 1};
    va_list local;
    va_copy(local, args);
    for (const char16_t* p = format; p != nullptr && *p != 0; ++p) {
        if (*p != u'%') {
            put(out, *p);
            continue;
        }
        const char16_t* start = p;
        Placeholder placeholder;
        p = parse_placeholder(p + 1, placeholder);
        if (*p == 0 || !convert(out, placeholder, *p, local)) {
            // Unknown or unfinished placeholder: copy it as it stands.
            for (const char16_t* q = start; q <= p && *q != 0; ++q)
                put(out, *q);
            if (*p == 0)
                break;
        }
    }
    va_end(local);
    out.buffer[out.length] = 0;
    return out.cut ? -1 : static_cast<int>(out.length);
}

int format_wide_to_buffer(char16_t* buffer, std::size_t count, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = format_wide_to_buffer_v(buffer, count, format, args);
    va_end(args);
    return result;
}

std::u16string format_wide_v(const char16_t* format, va_list args) {
    std::size_t capacity = 8;
    for (;;) {
        capacity *= 2;
        std::u16string buffer(capacity, u'\0');
        va_list attempt;
        va_copy(attempt, args);
        const int written = format_wide_to_buffer_v(buffer.data(), capacity, format, attempt);
        va_end(attempt);
        if (written >= 0) {
            buffer.resize(static_cast<std::size_t>(written));
            return buffer;
        }
    }
}

std::u16string format_wide(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string result = format_wide_v(format, args);
    va_end(args);
    return result;
}
