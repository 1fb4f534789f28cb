// Stand-ins for the launcher's windows where there is no Windows user interface: the progress
// window is a text bar on a terminal, the language dialog a numbered list.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "setup_launcher.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

// isatty leaves ENOTTY in errno for a file or pipe; a later error report would show that stale
// errno as if it belonged to the failure.
bool is_terminal(int descriptor) {
    const int saved_errno = errno;
    const bool terminal = isatty(descriptor) != 0;
    errno = saved_errno;
    return terminal;
}

// A line from a terminal without its line end; false at the end of input.
bool read_line(std::FILE* in, std::string& line) {
    line.clear();
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n')
        line += static_cast<char>(c);
    return c != EOF || !line.empty();
}

std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// The 1-based item number typed, or 0 when the answer is no such number.
std::size_t item_number(const std::string& answer, std::size_t count) {
    if (answer.empty() || answer.size() > 4)
        return 0;
    std::size_t number = 0;
    for (char c : answer) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    return number <= count ? number : 0;
}

// Plays the part of the progress window's handle: set while the "window" exists.
bool progress_shown = false;
// Whether stderr is a terminal, asked once when the bar is shown: only a terminal gets a bar, a
// redirected stderr stays clean.
bool bar_on_terminal = false;

constexpr std::uint32_t bar_width = 40;

// Redraws the bar in place.
void draw_bar(std::uint32_t position) {
    if (!bar_on_terminal)
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
    bar_on_terminal = is_terminal(STDERR_FILENO);
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
    if (progress_shown && bar_on_terminal)
        std::fputc('\n', stderr);
    progress_shown = false;
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
    if (is_terminal(STDIN_FILENO) && is_terminal(STDERR_FILENO))
        return ask_language(stdin, stderr);
    // Nobody to ask: take what the dialog would have preselected, as if OK had been pressed.
    const std::uint16_t chosen = pick_ui_language(collected_lcids());
    select_language(chosen);
    return chosen;
}

// A numbered list on the terminal, the preselected language marked; only the POSIX build asks
// this way, so the Windows image carries no stdio formatting for it.
std::uint16_t ask_language(std::FILE* in, std::FILE* out) {
    const std::vector<std::u16string>& names = list_language_names();
    if (names.empty())
        return 0;
    const std::uint16_t preselected = pick_ui_language(collected_lcids());
    std::size_t preselected_number = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool is_preselected = collected_lcids()[i] == preselected;
        if (is_preselected && preselected_number == 0)
            preselected_number = i + 1;
        std::fprintf(out, "%c%zu) %s\n", is_preselected ? '*' : ' ', i + 1,
                     to_utf8(names[i]).c_str());
    }
    std::string line;
    for (;;) {
        std::fprintf(out, "Language [Enter: %zu, 0 or q: cancel]: ", preselected_number);
        std::fflush(out);
        if (!read_line(in, line))
            return 0;
        const std::string answer = trimmed(line);
        if (answer == "0" || answer == "q" || answer == "Q")
            return 0;
        const std::size_t number =
            answer.empty() ? preselected_number : item_number(answer, names.size());
        if (number != 0) {
            const std::uint16_t chosen = collected_lcids()[number - 1];
            select_language(chosen);
            return chosen;
        }
        std::fprintf(out, "Please type a number from 1 to %zu.\n", names.size());
    }
}
