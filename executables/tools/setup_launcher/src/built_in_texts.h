// The launcher's texts as built in: every key with its English and German text, in the order the
// string tables are filled. Constant data, known when compiling: a key that no text has is a build
// error wherever it is written through text_key.
#pragma once

#include <span>
#include <string_view>

struct BuiltInText {
    const char* key;
    const char16_t* english;
    const char16_t* german;
};

// Keys in the order in which both tables are filled. Constant data: nothing to build at start.
inline constexpr BuiltInText built_in_text_table[] = {
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

// Every text, in the order the tables are filled.
constexpr std::span<const BuiltInText> built_in_texts() {
    return built_in_text_table;
}

// The built-in text of a key; null when there is none.
constexpr const BuiltInText* find_built_in_text(std::string_view key) {
    for (const BuiltInText& text : built_in_text_table) {
        if (std::string_view(text.key) == key)
            return &text;
    }
    return nullptr;
}

// Never defined: text_key calls it for a key without a text, which no compile-time evaluation can
// do, so that the key is reported where it is written.
void no_built_in_text_has_this_key();

// `key` itself, when a built-in text has it; evaluated when compiling, so that a mistyped key is a
// build error instead of an empty text at run time.
consteval const char* text_key(const char* key) {
    if (find_built_in_text(key) == nullptr)
        no_built_in_text_has_this_key();
    return key;
}
