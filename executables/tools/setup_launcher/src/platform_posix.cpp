#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"
#include "wide_format.h"

namespace {

struct LocaleLanguage {
    std::string_view locale;  // language_TERRITORY, as in LANG
    std::uint16_t lcid;
};

constexpr LocaleLanguage locale_languages[] = {
    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"it_IT", 0x0410}, {"es_ES", 0x0C0A}, {"nl_NL", 0x0413}, {"pt_BR", 0x0416}, {"ja_JP", 0x0411},
};

// The locale that decides the language of messages, as the C library would choose it.
std::string_view messages_locale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0) return value;
    }
    return {};
}

}  // namespace

std::uint16_t user_ui_language() {
    const std::string_view locale = messages_locale();
    for (const LocaleLanguage& entry : locale_languages) {
        if (locale.substr(0, entry.locale.size()) == entry.locale) return entry.lcid;
    }
    return 0x0409;
}

std::uint32_t last_error_code() { return 0; }

const char16_t* system_error_text(std::uint32_t) { return nullptr; }

void show_error_box(const std::u16string& message, const std::u16string& title) {
    const std::string text = to_utf8(title) + "\n" + to_utf8(message) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void exit_process(int code) { std::exit(code); }
