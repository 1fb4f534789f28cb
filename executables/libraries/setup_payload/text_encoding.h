// The one place where texts change encoding: UTF-8 and UTF-16 both ways, and the bytes of a POSIX
// path as UTF-16 without loss. Shared by the launcher and setup_packer; on Windows, wide texts
// reach the system as UTF-16 unchanged, so only UTF-8 text (terminals, command lines, manifests)
// passes through here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence at `at` and its code point in `code_point`, or 0
// when none starts there: a continuation or an unused lead byte, an overlong form, a surrogate, a
// code point above U+10FFFF, a sequence cut short.
std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& code_point);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view text);
// UTF-8 to UTF-16. Each byte that starts no well-formed sequence becomes U+FFFD.
std::u16string from_utf8(std::string_view text);
// UTF-8 to UTF-16, refusing anything that is not well-formed UTF-8 (nullopt).
std::optional<std::u16string> from_utf8_strict(std::string_view text);

// The bytes of a POSIX path (or of an environment value that holds one) as UTF-16 and back,
// without loss: the system takes any bytes but "/" and NUL in a name, UTF-8 or not. Valid UTF-8
// is decoded; every other byte (0x80 to 0xFF) becomes the lone surrogate U+DC80 to U+DCFF,
// which no valid UTF-8 decodes to, and to_path_bytes turns that back into the byte. Other lone
// surrogates become U+FFFD as in to_utf8.
std::u16string from_path_bytes(std::string_view bytes);
std::string to_path_bytes(std::u16string_view path);

// Byte-by-byte widening of a narrow text (ASCII keys, paths and runtime messages).
std::u16string widen(const char* text);
