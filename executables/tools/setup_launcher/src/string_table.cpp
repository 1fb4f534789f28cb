#include "string_table.h"

#include "error_report.h"
#include "platform.h"
#include "wide_format.h"

StringTables string_tables;

namespace {

void fill_table(StringTable& table, std::uint16_t lcid, bool english,
                std::vector<std::uint16_t>& languages) {
    string_tables.current = &table;
    string_tables.by_language[lcid] = &table;
    languages.push_back(lcid);
    for (const BuiltInText& text : built_in_texts()) {
        add_text(text.key, english ? text.english : text.german);
    }
}

}  // namespace

void init_string_table() {
    std::vector<std::uint16_t> languages;
    fill_table(string_tables.english, lcid_english, true, languages);
    fill_table(string_tables.german, lcid_german, false, languages);
    select_language(pick_ui_language(languages));
}

void add_text(const char* key, const char16_t* text) {
    StringTable& table = *string_tables.current;
    const auto existing = table.find(key);
    if (existing != table.end()) {
        // A fixed text, not a table entry: the table being filled may not hold its texts yet.
        FATAL_ERROR_FORMAT(
            u"string_table already contains key '%s'.\nold value: '%s'\nnew value: '%s'",
            widen(key).c_str(), existing->second.c_str(), text);
    }
    table.emplace(key, text);
}

const std::u16string& get_text(const char* key) {
    if (string_tables.current == nullptr) {
        static const std::u16string empty;
        return empty;
    }
    return (*string_tables.current)[key];
}

bool select_language(std::uint16_t lcid) {
    const auto found = string_tables.by_language.find(lcid);
    if (found == string_tables.by_language.end())
        return false;
    string_tables.current = found->second;
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
