// The name of the launcher's extraction directory: "VOQSETUP" and a number, the first of 2 to
// 2,147,483,648 whose name is free in the temporary directory. The launcher makes it; setup_packer
// measures the names it packs against the longest one the launcher can make.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "setup_payload/text_encoding.h"

inline constexpr std::u16string_view extraction_directory_prefix = u"VOQSETUP";
inline constexpr std::uint32_t first_extraction_directory_number = 2;
inline constexpr std::uint32_t last_extraction_directory_number = 2147483648u;

// The longest name: the prefix and the ten digits of the last number.
inline constexpr std::u16string_view longest_extraction_directory_name = u"VOQSETUP2147483648";

// The name of the directory with this number.
inline std::u16string extraction_directory_name(std::uint32_t number) {
    return std::u16string(extraction_directory_prefix) + widen(std::to_string(number).c_str());
}

namespace extraction_directory_checks {

constexpr bool is_written_as(std::u16string_view digits, std::uint32_t number) {
    for (std::size_t i = digits.size(); i-- > 0; number /= 10) {
        if (digits[i] != u'0' + number % 10)
            return false;
    }
    return number == 0 && !digits.empty() && digits.front() != u'0';
}

// A loop that counts up to the last number ends: one more still fits.
static_assert(last_extraction_directory_number < UINT32_MAX);
static_assert(
    longest_extraction_directory_name.starts_with(extraction_directory_prefix) &&
    is_written_as(longest_extraction_directory_name.substr(extraction_directory_prefix.size()),
                  last_extraction_directory_number));

}  // namespace extraction_directory_checks
