#include "string_table.h"

#include "error_report.h"
#include "platform.h"
#include "string_table_testing.h"
#include "wide_format.h"

namespace {

StringTable english_table;
StringTable german_table;
std::map<std::uint16_t, StringTable*> language_tables;
StringTable* current_table = nullptr;

void fill_table(StringTable& table, std::uint16_t lcid, bool english,
                std::vector<std::uint16_t>& languages) {
    table.clear();  // empty in the process; tests fill the tables more than once
    current_table = &table;
    language_tables[lcid] = &table;
    languages.push_back(lcid);
    for (const BuiltInText& text : built_in_texts()) {
        add_text(text.key, english ? text.english : text.german);
    }
}

}  // namespace

void init_string_table() {
    std::vector<std::uint16_t> languages;
    fill_table(english_table, lcid_english, true, languages);
    fill_table(german_table, lcid_german, false, languages);
    select_language(pick_ui_language(languages));
}

void add_text(const char* key, const char16_t* text) {
    const auto existing = current_table->find(key);
    if (existing != current_table->end()) {
        // A fixed text, not a table entry: the table being filled may not hold its texts yet.
        FATAL_ERROR_FORMAT(
            u"string_table already contains key '%s'.\nold value: '%s'\nnew value: '%s'",
            widen(key).c_str(), existing->second.c_str(), text);
    }
    current_table->emplace(key, text);
}

const std::u16string& get_text(const char* key) {
    if (current_table == nullptr) {
        static const std::u16string empty;
        return empty;
    }
    return (*current_table)[key];
}

bool select_language(std::uint16_t lcid) {
    const auto found = language_tables.find(lcid);
    if (found == language_tables.end())
        return false;
    current_table = found->second;
    return true;
}

std::uint16_t pick_language(std::uint16_t ui_language, const std::vector<std::uint16_t>& lcids) {
    if (lcids.empty())
        return 0;
    const std::uint16_t* primary_match = nullptr;
    for (const std::uint16_t& lcid : lcids) {
        if (lcid == ui_language)
            return lcid;
        if (primary_match == nullptr &&
            (lcid & primary_language_mask) == (ui_language & primary_language_mask)) {
            primary_match = &lcid;
        }
    }
    return primary_match != nullptr ? *primary_match : lcids.front();
}

std::uint16_t pick_ui_language(const std::vector<std::uint16_t>& lcids) {
    return pick_language(user_ui_language(), lcids);
}

const StringTable& current_string_table() {
    static const StringTable none;
    return current_table != nullptr ? *current_table : none;
}
