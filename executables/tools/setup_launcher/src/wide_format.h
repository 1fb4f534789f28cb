// printf-style formatting of UTF-16 texts, identical on every platform.
//
// The texts of the string tables are formats with these placeholders:
//   %s    a wide (char16_t) zero-terminated string; a null pointer prints "(null)"
//   %S    a narrow (char) zero-terminated string, widened byte by byte
//   %d    a signed int in decimal (also %i)
//   %u    an unsigned int in decimal
//   %X/%x an unsigned int in hexadecimal; a width with a leading 0 pads with zeros ("%04X")
//   %c    one UTF-16 code unit (passed as int)
//   %%    a percent sign
// Flags: '-' (left-align) and '0' (zero-pad), then an optional decimal width. Anything else after a
// '%' is copied literally. The runtime's own wide printf is never used: its meaning of "%s" differs
// between the C99 and the Microsoft conventions, and our texts must read the same everywhere.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "setup_payload/text_encoding.h"  // widen, as %S does, and the UTF-8 conversions

// Formats into a caller's buffer of `count` code units. Output that does not fit is cut after
// count - 1 units and always terminated. Returns the number of units written (without the
// terminator), or -1 when the output had to be cut (or count is 0).
int format_wide_to_buffer(char16_t* buffer, std::size_t count, const char16_t* format, ...);
int format_wide_to_buffer_v(char16_t* buffer, std::size_t count, const char16_t* format,
                            va_list args);

// Formats into a new string of any length. The buffer starts at 16 code units and doubles until
// the text fits; a text of exactly capacity - 1 units fits.
std::u16string format_wide(const char16_t* format, ...);
std::u16string format_wide_v(const char16_t* format, va_list args);
