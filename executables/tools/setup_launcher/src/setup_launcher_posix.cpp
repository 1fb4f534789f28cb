// Stand-ins for the launcher's windows where there is no Windows user interface: the progress
// window is a text bar on a terminal, the language dialog a numbered list.
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "setup_launcher.h"
#include "string_table.h"

namespace {

// Plays the part of the progress window's handle: set while the "window" exists.
bool progress_shown = false;

constexpr std::uint32_t bar_width = 40;

// Redraws the bar in place; only a terminal gets one, a redirected stderr stays clean.
void draw_bar(std::uint32_t position) {
    if (!isatty(STDERR_FILENO))
        return;
    const std::uint32_t filled = position * bar_width / 65535;
    char bar[bar_width + 1];
    for (std::uint32_t i = 0; i < bar_width; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[bar_width] = 0;
    std::fprintf(stderr, "\r[%s] %3u%%", bar, position * 100 / 65535);
    std::fflush(stderr);
}

struct NativeNames {
    std::uint16_t lcid;
    std::u16string_view language;
    std::u16string_view country;
};

// The names a Windows system gives the most common payload languages.
constexpr NativeNames native_names[] = {
    {0x0407, u"Deutsch", u"Deutschland"},    {0x0409, u"English", u"United States"},
    {0x0809, u"English", u"United Kingdom"}, {0x0C07, u"Deutsch", u"\u00D6sterreich"},
    {0x040C, u"fran\u00E7ais", u"France"},   {0x1009, u"English", u"Canada"},
};

const NativeNames* find_names(std::uint16_t lcid) {
    for (const NativeNames& names : native_names) {
        if (names.lcid == lcid)
            return &names;
    }
    return nullptr;
}

}  // namespace

// ---- Progress window ----

void create_progress_window(std::uint64_t total) {
    progress_shown = true;
    reset_progress_counters(total);
    draw_bar(0);
}

bool report_progress(std::uint64_t chunk_size) {
    const std::uint32_t position = add_progress_bytes(chunk_size);
    if (progress_shown)
        draw_bar(position);
    process_pending_messages();
    return progress_shown;
}

void process_pending_messages() {}

void close_progress_window() {
    if (progress_shown && isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    progress_shown = false;
}

bool progress_window_shown() {
    return progress_shown;
}

// ---- Language choice ----

bool native_language_name(std::uint16_t lcid, std::u16string& name) {
    const NativeNames* names = find_names(lcid);
    if (names == nullptr)
        return false;
    name = names->language;
    return true;
}

bool native_country_name(std::uint16_t lcid, std::u16string& name) {
    const NativeNames* names = find_names(lcid);
    if (names == nullptr)
        return false;
    name = names->country;
    return true;
}

std::uint16_t choose_language() {
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO))
        return ask_language(stdin, stderr);
    // Nobody to ask: take what the dialog would have preselected, as if OK had been pressed.
    const std::uint16_t chosen = pick_ui_language(collected_lcids());
    select_language(chosen);
    return chosen;
}
