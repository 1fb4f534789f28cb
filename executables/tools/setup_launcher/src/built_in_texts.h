// The launcher's texts as built in: every key with its English and German text, in the order the
// string tables are filled. Constant data, shared with setup_packer, which words the failures it
// finds in a chain as the launcher's English texts word them.
#pragma once

#include <span>

struct BuiltInText {
    const char* key;
    const char16_t* english;
    const char16_t* german;
};

// Every text, in the order the tables are filled.
std::span<const BuiltInText> built_in_texts();

// The English text of a key; null when there is none.
const char16_t* english_text(const char* key);
