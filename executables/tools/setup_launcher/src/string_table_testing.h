// What the tests see of the string tables beyond the launcher's own use: the current table and
// the built-in texts.
#pragma once

#include <map>
#include <span>
#include <string>

#include "string_table.h"

using StringTable = std::map<std::string, std::u16string>;

// The current table, for inspection.
const StringTable& current_string_table();

// The built-in texts, in the order they are added: key, English, German.
struct BuiltInText {
    const char* key;
    const char16_t* english;
    const char16_t* german;
};
std::span<const BuiltInText> built_in_texts();
