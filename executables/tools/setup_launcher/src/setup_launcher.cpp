// The launcher's windows, the parts that need no window system: the byte counters behind the
// progress bar, the collected languages and their display names.
#include "setup_launcher.h"

#include <cctype>
#include <cmath>
#include <memory>

#include "setup_launcher_testing.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

constexpr std::uint32_t progress_maximum = 65535;
// Languages that share these low bits are told apart by their country.
constexpr std::uint16_t language_group_mask = 0x1FF;
// The system's names are read into buffers of 80 code units; a display name joins two of them.
constexpr std::size_t name_capacity = 80;
constexpr std::size_t display_name_capacity = name_capacity + name_capacity + 3;

std::uint64_t bytes_total = 0;
std::uint64_t bytes_done = 0;
std::uint32_t reports_since_reset = 0;

// The distinct languages in the order they arrived, and which ones are among them (one bit per
// 16-bit value, allocated with the first language): one step per command however many
// languages a payload carries.
std::vector<std::uint16_t> arrivals;
std::unique_ptr<std::uint32_t[]> collected;
// The same languages newest first, as they are shown; rebuilt from `arrivals` when asked for
// after new ones arrived (inserting each in front would cost a step per language kept).
std::vector<std::uint16_t> newest_first;
// How many collected languages share each group key (the low 9 bits), allocated with the first.
std::unique_ptr<std::uint32_t[]> language_groups;
// The names the dialog's list was filled with, parallel to collected_lcids().
std::vector<std::u16string> listed_names;

std::u16string locale_not_found_text(std::uint16_t lcid) {
    char16_t buffer[name_capacity];
    format_wide_to_buffer(buffer, name_capacity, get_text("error_locale_not_found").c_str(),
                          unsigned{lcid});
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
    bytes_total = total;
    bytes_done = 0;
    reports_since_reset = 0;
}

std::uint32_t progress_report_count() {
    return reports_since_reset;
}

std::uint64_t progress_bytes_done() {
    return bytes_done;
}

std::uint32_t add_progress_bytes(std::uint64_t chunk_size) {
    bytes_done += chunk_size;
    ++reports_since_reset;
    return progress_position(bytes_done, bytes_total);
}

// ---- Language choice ----

void add_command_lcid(std::uint16_t lcid) {
    if (!collected) {
        collected.reset(new std::uint32_t[0x10000 / 32]());
        language_groups.reset(new std::uint32_t[language_group_mask + 1]());
    }
    std::uint32_t& word = collected[lcid / 32];
    const std::uint32_t bit = std::uint32_t{1} << (lcid % 32);
    if (word & bit)
        return;
    word |= bit;
    arrivals.push_back(lcid);
    ++language_groups[lcid & language_group_mask];
}

const std::vector<std::uint16_t>& collected_lcids() {
    if (newest_first.size() != arrivals.size())
        newest_first.assign(arrivals.rbegin(), arrivals.rend());
    return newest_first;
}

std::size_t language_group_size(std::uint16_t lcid) {
    return language_groups ? language_groups[lcid & language_group_mask] : 0;
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
    listed_names = language_display_names();
    return listed_names;
}

std::uint16_t listed_language(std::u16string_view item_text) {
    if (item_text.empty())
        return 0;
    const std::vector<std::uint16_t>& lcids = collected_lcids();
    for (std::size_t i = 0; i < listed_names.size() && i < lcids.size(); ++i) {
        if (listed_names[i] == item_text)
            return lcids[i];
    }
    return 0;
}

void reset_collected_lcids() {
    arrivals.clear();
    collected.reset();
    newest_first.clear();
    language_groups.reset();
    listed_names.clear();
}
