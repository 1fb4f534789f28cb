// The launcher's own texts, keyed by narrow ASCII keys, in English and German.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "built_in_texts.h"  // text_key, which checks the keys of get_text

inline constexpr std::uint16_t lcid_english = 0x0409;
inline constexpr std::uint16_t lcid_german = 0x0407;
// The primary language of an identifier lies in its low 10 bits.
inline constexpr std::uint16_t primary_language_mask = 0x3FF;

// Fills both tables and makes current the one that fits the user's interface language.
void init_string_table();

// Stores a text under a key in the current table; a key already present is a fatal error.
void add_text(const char* key, const char16_t* text);

// The current table's text for a key. A missing key is added with an empty text. The returned
// reference stays valid and unchanged for the rest of the process.
const std::u16string& get_text(const char* key);

// Makes current the table registered for exactly this language; false (and nothing changes) when
// there is none.
bool select_language(std::uint16_t lcid);

// The entry of `lcids` that best fits `ui_language`: an exact match, else the first of the same
// primary language, else the first entry; 0 for an empty list.
std::uint16_t pick_language(std::uint16_t ui_language, const std::vector<std::uint16_t>& lcids);

// pick_language with the user's interface language.
std::uint16_t pick_ui_language(const std::vector<std::uint16_t>& lcids);

// ---- Process-wide state, kept by this unit ----

using StringTable = std::map<std::string, std::u16string>;

// Both tables, filled once per process by init_string_table, and the current one.
struct StringTables {
    StringTable english;
    StringTable german;
    std::map<std::uint16_t, StringTable*> by_language;
    StringTable* current = nullptr;
};
extern StringTables string_tables;
