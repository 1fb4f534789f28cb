#include <algorithm>
#include <cstdio>

#include "packer_display_width_table.h"
#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

bool is_control(char32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

template <std::size_t size>
bool in_ranges(const CodePointRange (&ranges)[size], char32_t code_point) {
    const auto found = std::lower_bound(
        ranges, ranges + size, code_point,
        [](const CodePointRange& range, char32_t value) { return range.last < value; });
    return found != ranges + size && found->first <= code_point;
}

}  // namespace

std::size_t display_width(std::string_view utf8) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(utf8, i, code_point);
        i += length != 0 ? length : 1;
        if (length == 0 || code_point < 0x80)
            width += 1;
        else if (in_ranges(double_width_ranges, code_point))
            width += 2;
        else if (!in_ranges(zero_width_ranges, code_point))
            width += 1;
    }
    return width;
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string hex16(std::uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string in_quotes(std::u16string_view text) {
    return "'" + terminal_text(to_utf8(text)) + "'";
}

std::string terminal_path(const std::filesystem::path& path) {
    return terminal_text(path_to_utf8(path));
}

std::string size_text(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// --- Texts and paths ---------------------------------------------------------------------------

fs::path path_from_utf8(std::string_view text) {
    return fs::path(std::u8string_view(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string progress_bar(std::uint64_t done, std::uint64_t total, std::size_t width) {
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + percent +
           "  " + size_text(done) + " of " + size_text(total);
}

std::string terminal_text(std::string_view utf8) {
    std::string shown;
    shown.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(utf8, i, code_point);
        char escape[8];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(utf8[i]));
        } else if (is_control(code_point)) {
            std::snprintf(escape, sizeof escape, code_point < 0x80 ? "\\x%02X" : "\\u%04X",
                          static_cast<unsigned>(code_point));
        } else {
            shown.append(utf8, i, length);
            i += length;
            continue;
        }
        shown += escape;
        i += length != 0 ? length : 1;
    }
    return shown;
}

namespace {

// The edits that turn one text into the other: insertions, deletions, replacements and swaps of
// two neighbours, each counted once.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string_view without_dashes(std::string_view name) {
    return name.substr(std::min(name.find_first_not_of('-'), name.size()));
}

}  // namespace

std::string closest_name(std::string_view word, const std::vector<std::string>& names) {
    const std::string_view typed = without_dashes(word);
    // A beginning that only one name has: "--dir" for "--directory".
    const std::string* prefixed = nullptr;
    std::size_t prefix_count = 0;
    for (const std::string& name : names) {
        if (typed.size() >= 2 && without_dashes(name).starts_with(typed)) {
            prefixed = &name;
            ++prefix_count;
        }
    }
    if (prefix_count == 1)
        return *prefixed;
    // Else the one nearest by edits, when it is near enough for a slip of the fingers: one edit
    // in a short name, two in one of six letters or more.
    const std::string* closest = nullptr;
    std::size_t best = static_cast<std::size_t>(-1);
    bool tied = false;
    for (const std::string& name : names) {
        const std::string_view candidate = without_dashes(name);
        const std::size_t distance = edit_distance(typed, candidate);
        const std::size_t allowed = candidate.size() >= 6 ? 2 : 1;
        if (distance > allowed || distance > best || distance >= candidate.size())
            continue;
        tied = distance == best;
        if (distance < best) {
            best = distance;
            closest = &name;
        }
    }
    return closest != nullptr && !tied ? *closest : std::string();
}
