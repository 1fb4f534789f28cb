// What the tests see of the string tables beyond the launcher's own use: the current table. The
// built-in texts are in built_in_texts.h.
#pragma once

#include <map>
#include <string>

#include "built_in_texts.h"
#include "string_table.h"

using StringTable = std::map<std::string, std::u16string>;

// The current table, for inspection.
const StringTable& current_string_table();
