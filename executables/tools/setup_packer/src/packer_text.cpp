#include <algorithm>
#include <cstdio>

#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

bool is_control(char32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

}  // namespace

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
