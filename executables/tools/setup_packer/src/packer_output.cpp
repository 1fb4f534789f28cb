#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "packer_internal.h"

namespace {

std::string display_text(std::u16string_view text) {
    std::string utf8 = to_utf8(text);
    for (char& c : utf8) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return utf8;
}

std::size_t display_width(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

std::string attachment_kind(const FixedFields& fields) {
    const bool extracted = is_extracted(fields);
    const bool command = (fields.flags & flag_is_command) != 0;
    if (extracted && command)
        return "both";
    if (extracted)
        return "file";
    if (command)
        return "command";
    return "none";
}

std::string flag_names(std::uint8_t flags) {
    static constexpr struct {
        std::uint8_t mask;
        const char* name;
    } known[] = {{flag_is_file, "is_file"},
                 {flag_is_command, "is_command"},
                 {flag_has_lcid, "has_lcid"},
                 {flag_run_in_extraction_dir, "run_in_extraction_dir"},
                 {flag_quiet, "quiet"}};
    std::string names;
    auto add = [&](const std::string& name) { names += (names.empty() ? "" : ",") + name; };
    std::uint8_t rest = flags;
    for (const auto& flag : known) {
        if ((flags & flag.mask) == 0)
            continue;
        add(flag.name);
        rest &= static_cast<std::uint8_t>(~flag.mask);
    }
    if (rest != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(rest));
        add(text);
    }
    return names.empty() ? "-" : names;
}

std::string format_table(const std::vector<ListedAttachment>& attachments) {
    const std::vector<std::string> heading = {"#",        "kind",  "name", "parameters",
                                              "language", "flags", "size", "checksum"};
    std::vector<std::vector<std::string>> rows = {heading};
    for (const ListedAttachment& attachment : attachments) {
        const AttachmentHeader& header = attachment.header;
        auto text_or_dash = [](std::u16string_view text) {
            return text.empty() ? std::string("-") : display_text(text);
        };
        rows.push_back({std::to_string(attachment.index), attachment_kind(header.fields),
                        text_or_dash(header.name), text_or_dash(header.parameters),
                        (header.fields.flags & flag_has_lcid) != 0 ? hex16(header.lcid) : "-",
                        flag_names(header.fields.flags), std::to_string(header.fields.data_size),
                        hex32(header.fields.checksum)});
    }
    std::vector<std::size_t> widths(heading.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], display_width(row[column]));
        }
    }
    const std::size_t size_column = 6;
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            const std::string padding(widths[column] - display_width(row[column]), ' ');
            if (column > 0)
                line += "  ";
            const bool right_aligned = column == 0 || column == size_column;
            line += right_aligned ? padding + row[column] : row[column] + padding;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        table += line + "\n";
    }
    return table;
}

namespace {

using Json = nlohmann::ordered_json;

Json attachment_json(const ListedAttachment& attachment) {
    const AttachmentHeader& header = attachment.header;
    Json flags = Json::array();
    const std::string names = flag_names(header.fields.flags);
    if (names != "-") {
        for (std::size_t start = 0; start <= names.size();) {
            const std::size_t comma = std::min(names.find(',', start), names.size());
            flags.push_back(names.substr(start, comma - start));
            start = comma + 1;
        }
    }
    return {
        {"index", attachment.index},
        {"kind", attachment_kind(header.fields)},
        {"name", to_utf8(header.name)},
        {"parameters", to_utf8(header.parameters)},
        {"language",
         (header.fields.flags & flag_has_lcid) != 0 ? Json(hex16(header.lcid)) : Json(nullptr)},
        {"flags", flags},
        {"flags_value", header.fields.flags},
        {"data_size", header.fields.data_size},
        {"checksum", hex32(header.fields.checksum)},
    };
}

Json error_json(const Status& status) {
    return status.ok() ? Json(nullptr) : Json(status.message());
}

// A path given by the user need not be UTF-8 on Linux; such bytes become U+FFFD.
std::string dump(const Json& document) {
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json launcher_json(const std::string& architecture) {
    if (architecture.empty())
        return nullptr;
    return architecture;
}

// {"architecture", "format", "setup_launcher", "version_info", "icon"}, or null for a file that
// begins with no Windows program.
Json image_json(const ImageDetails& image) {
    if (image.architecture.empty())
        return nullptr;
    Json version = nullptr;
    if (image.version) {
        Json strings = Json::object();
        if (!image.version->tables.empty()) {
            for (const auto& [key, value] : image.version->tables.front().strings)
                strings[to_utf8(key)] = to_utf8(value);
        }
        version = {{"file_version", version_text(image.version->file_version)},
                   {"product_version", version_text(image.version->product_version)},
                   {"strings", strings}};
    }
    Json icon = nullptr;
    if (!image.icons.empty()) {
        icon = Json::array();
        for (const IconImage& image : image.icons) {
            icon.push_back({{"width", image.width},
                            {"height", image.height},
                            {"bit_count", image.bit_count},
                            {"png", image.png},
                            {"bytes", image.data.size()}});
        }
    }
    return {{"architecture", image.architecture},
            {"format", image.architecture == "x86-64" ? "PE32+" : "PE32"},
            {"setup_launcher", image.setup_launcher},
            {"version_info", version},
            {"icon", icon}};
}

}  // namespace

std::string format_list_json(const ChainListing& listing) {
    Json attachments = Json::array();
    for (const ListedAttachment& attachment : listing.attachments)
        attachments.push_back(attachment_json(attachment));
    return dump({{"format", json_format_version},
                 {"launcher", launcher_json(listing.launcher)},
                 {"attachments", attachments},
                 {"image", image_json(listing.image)},
                 {"error", error_json(listing.status)}});
}

std::string format_verify_json(const VerifyReport& report) {
    Json table = nullptr;
    if (report.certificate_table >= 0)
        table = {{"offset", report.certificate_table}, {"size", report.certificate_table_size}};
    return dump({{"format", json_format_version},
                 {"ok", report.status.ok()},
                 {"launcher", launcher_json(report.launcher)},
                 {"attachments", report.attachments},
                 {"file_bytes", report.file_bytes},
                 {"certificate_table", table},
                 {"ignored", report.outside_signed_range},
                 {"image", image_json(report.image)},
                 {"error", error_json(report.status)}});
}
