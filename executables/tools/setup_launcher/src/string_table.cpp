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

// Keys in the order in which both tables are filled. Constant data: nothing to build at start.
constexpr BuiltInText texts[] = {
    {"button_cancel", u"Cancel", u"Abbrechen"},
    {"button_ok", u"OK", u"OK"},
    {"error_close_process", u"Failed to close process '%s'",
     u"Process '%s' konnte nicht geschlossen werden"},
    {"error_corrupt_header", u"Error reading '%s': header corrupt",
     u"Fehler beim Lesen von '%s': Header beschädigt"},
    {"error_corrupt_file", u"Error reading '%s': file '%s' is corrupted",
     u"Fehler beim Lesen von '%s': Datei '%s' ist beschädigt"},
    {"error_create_temp_dir", u"Couldn't create temp directory '%s'",
     u"Temporäres Verzeichnis '%s' konnte nicht erzeugt werden"},
    {"error_execute", u"Failed to execute '%s' with parameters '%s'",
     u"'%s' konnte nicht ausgeführt werden (Parameter '%s')"},
    {"error_file_exists", u"File '%s' already exists", u"Datei '%s' existiert bereits"},
    {"error_file_without_name", u"Error reading '%s': file attachment without file name",
     u"Fehler beim Lesen von '%s': Dateianhang ohne Name"},
    {"error_GetLastError", u"\nGetLastError==%d -> %s", u"\nGetLastError==%d -> %s"},
    {"error_internal", u"Internal error", u"Interner Fehler"},
    {"error_locale_not_found", u"locale not found: 0x%04X", u"Locale nicht gefunden: 0x%04X"},
    {"error_msg_copy_help",
     u"\n\nYou can copy the text of this error message by pressing ctrl+c and then You\ncan "
     u"easily post it with ctrl+v in a support forum or in emails to the support.",
     u"\n\nSie können den Text dieser Fehlermeldung mittel Strg+c kopieren und dann\nmit Strg+v "
     u"im Support Forum oder in Emails an den Support einfügen."},
    {"error_msg_errno", u"\nerrno==%d -> %s", u"\nerrno==%d -> %s"},
    {"error_msg_file_and_line", u"\n\n%S (line %d)", u"\n\n%S (zeile %d)"},
    {"error_msg_title", u"Error", u"Fehler"},
    {"error_no_temp_path", u"Could not get system temp path",
     u"Temporäres Verzeichnis konnte nicht ermittelt werden"},
    {"error_opening", u"Error opening '%s'.", u"Fehler beim Öffnen von '%s'"},
    {"error_opening_for_write", u"Error opening '%s' for writing",
     u"Fehler beim Öffnen von '%s' zum Schreiben"},
    {"error_reading", u"Error reading '%s'", u"Fehler beim Lesen von '%s'"},
    {"error_reading_header", u"Error reading '%s': can't read header",
     u"Fehler beim Lesen von '%s': Header konnte nicht gelesen werden"},
    {"error_reading_file", u"Error reading '%s': can't read file '%s'",
     u"Fehler beim Lesen von '%s': Datei '%s' konnte nicht gelesen werden"},
    {"error_reading_file_name", u"Error reading '%s': can't read file name from header",
     u"Fehler beim Lesen von '%s': Dateiname konnte nicht aus dem Header gelesen werden"},
    {"error_reading_LCID", u"Error reading '%s': can't read language code from header",
     u"Fehler beim Lesen von '%s': Sprachcode konnte nicht aus dem Header gelesen werden"},
    {"error_reading_parameters", u"Error reading '%s': can't read parameters from header",
     u"Fehler beim Lesen von '%s': Parameter konnte nicht aus dem Header gelesen werden"},
    {"error_reading_signature", u"Error reading '%s': can't read header signature",
     u"Fehler beim Lesen von '%s': Header Signatur konnte nicht gelesen werden"},
    {"error_writing", u"Error writing file '%s'", u"Fehler beim Schreiben von '%s'"},
    // Refuses a name that would leave the extraction directory.
    {"error_invalid_file_name", u"Error reading '%s': invalid file name '%s'",
     u"Fehler beim Lesen von '%s': ungültiger Dateiname '%s'"},
};

void fill_table(StringTable& table, std::uint16_t lcid, bool english,
                std::vector<std::uint16_t>& languages) {
    table.clear();  // empty in the process; tests fill the tables more than once
    current_table = &table;
    language_tables[lcid] = &table;
    languages.push_back(lcid);
    for (const BuiltInText& text : texts) {
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

std::span<const BuiltInText> built_in_texts() {
    return texts;
}
