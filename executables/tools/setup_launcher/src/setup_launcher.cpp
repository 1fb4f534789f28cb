// The launcher's windows, the parts that need no window system: the byte counters behind the
// progress bar, the collected languages and their display names.
#include "setup_launcher.h"

#include <cctype>
#include <cmath>
#include <memory>

#include "string_table.h"
#include "wide_format.h"

ProgressCounters progress_counters;
CollectedLanguages collected_languages;

namespace {

constexpr std::uint32_t progress_maximum = 65535;
// Languages that share these low bits are told apart by their country.
constexpr std::uint16_t language_group_mask = 0x1FF;
// The system's names are read into buffers of 80 code units; a display name joins two of them.
constexpr std::size_t name_capacity = 80;
constexpr std::size_t display_name_capacity = name_capacity + name_capacity + 3;

std::u16string locale_not_found_text(std::uint16_t lcid) {
    char16_t buffer[name_capacity];
    format_wide_to_buffer(buffer, name_capacity,
                          get_text(text_key("error_locale_not_found")).c_str(), unsigned{lcid});
    return buffer;
}

std::u16string lcid_text(std::uint16_t lcid) {
    char16_t buffer[name_capacity];
    format_wide_to_buffer(buffer, name_capacity, u"0x%04X", unsigned{lcid});
    return buffer;
}

}  // namespace

// ---- Progress window ----

std::uint32_t progress_position(std::uint64_t done, std::uint64_t total) {
    // Double precision, in this order, so that the bar moves exactly as it always has: the last
    // chunk of some totals (131 bytes) lands a hair above the maximum before the limit.
    const double position =
        std::ceil(static_cast<double>(done) / (static_cast<double>(total) / 65535.0));
    if (!(position < progress_maximum))
        return progress_maximum;  // also a total of 0
    return static_cast<std::uint32_t>(position);
}

void reset_progress_counters(std::uint64_t total) {
    progress_counters.total = total;
    progress_counters.done = 0;
}

std::uint32_t add_progress_bytes(std::uint64_t chunk_size) {
    progress_counters.done += chunk_size;
    return progress_position(progress_counters.done, progress_counters.total);
}

// ---- Language choice ----

void add_command_lcid(std::uint16_t lcid) {
    CollectedLanguages& languages = collected_languages;
    if (!languages.collected) {
        languages.collected.reset(new std::uint32_t[0x10000 / 32]());
        languages.language_groups.reset(new std::uint32_t[language_group_mask + 1]());
    }
    std::uint32_t& word = languages.collected[lcid / 32];
    const std::uint32_t bit = std::uint32_t{1} << (lcid % 32);
    if (word & bit)
        return;
    word |= bit;
    languages.arrivals.push_back(lcid);
    ++languages.language_groups[lcid & language_group_mask];
}

const std::vector<std::uint16_t>& collected_lcids() {
    CollectedLanguages& languages = collected_languages;
    if (languages.newest_first.size() != languages.arrivals.size())
        languages.newest_first.assign(languages.arrivals.rbegin(), languages.arrivals.rend());
    return languages.newest_first;
}

std::size_t language_group_size(std::uint16_t lcid) {
    const CollectedLanguages& languages = collected_languages;
    return languages.language_groups ? languages.language_groups[lcid & language_group_mask] : 0;
}

std::u16string language_display_name(std::uint16_t lcid) {
    std::u16string language;
    if (!native_language_name(lcid, language) || language.size() >= name_capacity) {
        language = locale_not_found_text(lcid);
    }
    if (language_group_size(lcid) <= 1)
        return language;

    std::u16string country;
    if (!native_country_name(lcid, country) || country.size() >= name_capacity) {
        country = lcid_text(lcid);
    }
    char16_t display_name[display_name_capacity];
    format_wide_to_buffer(display_name, display_name_capacity, u"%s (%s)", language.c_str(),
                          country.c_str());
    return display_name;
}

std::vector<std::u16string> language_display_names() {
    std::vector<std::u16string> names;
    const std::vector<std::uint16_t>& lcids = collected_lcids();
    names.reserve(lcids.size());
    for (std::uint16_t lcid : lcids)
        names.push_back(language_display_name(lcid));
    return names;
}

const std::vector<std::u16string>& list_language_names() {
    collected_languages.listed_names = language_display_names();
    return collected_languages.listed_names;
}

std::uint16_t listed_language(std::u16string_view item_text) {
    if (item_text.empty())
        return 0;
    const std::vector<std::uint16_t>& lcids = collected_lcids();
    const std::vector<std::u16string>& names = collected_languages.listed_names;
    for (std::size_t i = 0; i < names.size() && i < lcids.size(); ++i) {
        if (names[i] == item_text)
            return lcids[i];
    }
    return 0;
}
