#include <algorithm>
#include <cerrno>
#include <charconv>
#include <nlohmann/json.hpp>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

// --- What goes into a launcher -----------------------------------------------------------------

std::optional<std::uint16_t> parse_lcid(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

Status parse_file_argument(std::string_view argument, PackItem& item) {
    item = PackItem{};
    item.kind = PackItem::Kind::file;
    item.origin = "--file " + std::string(argument);
    const std::size_t equals = argument.rfind('=');
    const std::string_view path_text = argument.substr(0, equals);
    if (path_text.empty())
        return Status::failure(item.origin + ": the path is empty");
    item.source = path_from_utf8(path_text);
    const std::string name_text = equals == std::string_view::npos
                                      ? path_to_utf8(item.source.filename())
                                      : std::string(argument.substr(equals + 1));
    std::optional<std::u16string> name = utf8_to_utf16(name_text);
    if (!name)
        return Status::failure(item.origin + ": the name is not valid UTF-8");
    item.name = std::move(*name);
    return Status::success();
}

ManifestResult parse_manifest(std::string_view json_text, const fs::path& base_dir,
                              const std::string& manifest_name) {
    using nlohmann::json;
    ManifestResult result;
    auto fail = [&](const std::string& problem) {
        result.status = Status::failure(manifest_name + ": " + problem);
        result.items.clear();
        return result;
    };
    json document;
    try {
        document = json::parse(json_text);
    } catch (const json::parse_error& error) {
        std::string text = error.what();
        const std::size_t bracket = text.find("] ");
        if (bracket != std::string::npos)
            text.erase(0, bracket + 2);
        return fail("not valid JSON: " + text);
    }
    if (!document.is_object())
        return fail("the top level must be an object");
    for (const auto& [key, value] : document.items()) {
        if (key != "attachments")
            return fail("unknown key '" + key + "' at the top level");
    }
    const auto attachments = document.find("attachments");
    if (attachments == document.end() || !attachments->is_array()) {
        return fail("\"attachments\" must be an array");
    }
    std::size_t number = 0;
    for (const json& entry : *attachments) {
        ++number;
        const std::string where = "attachment " + std::to_string(number);
        if (!entry.is_object())
            return fail(where + ": must be an object");
        const bool is_file = entry.contains("file");
        const bool is_command = entry.contains("command");
        if (is_file == is_command) {
            return fail(where + ": needs exactly one of \"file\" and \"command\"");
        }
        const std::vector<std::string> allowed =
            is_file ? std::vector<std::string>{"file", "name"}
                    : std::vector<std::string>{"command", "params", "in_extraction_dir", "quiet",
                                               "lcid"};
        for (const auto& [key, value] : entry.items()) {
            if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
                return fail(where + ": unknown key '" + key + "'");
            }
        }
        auto text = [&](const char* key, std::u16string& out) -> std::string {
            const json& value = entry.at(key);
            if (!value.is_string())
                return where + ": \"" + key + "\" must be a string";
            std::optional<std::u16string> converted = utf8_to_utf16(value.get<std::string>());
            if (!converted)
                return where + ": \"" + key + "\" is not valid UTF-8";
            out = std::move(*converted);
            return {};
        };
        auto flag = [&](const char* key, bool& out) -> std::string {
            if (!entry.contains(key))
                return {};
            const json& value = entry.at(key);
            if (!value.is_boolean())
                return where + ": \"" + key + "\" must be true or false";
            out = value.get<bool>();
            return {};
        };
        PackItem item;
        item.origin = manifest_name + " " + where;
        std::string problem;
        if (is_file) {
            item.kind = PackItem::Kind::file;
            const json& file = entry.at("file");
            if (!file.is_string() || file.get<std::string>().empty()) {
                return fail(where + ": \"file\" must be a non-empty string");
            }
            item.source = base_dir / path_from_utf8(file.get<std::string>());
            if (entry.contains("name")) {
                problem = text("name", item.name);
            } else {
                std::optional<std::u16string> name =
                    utf8_to_utf16(path_to_utf8(item.source.filename()));
                if (!name)
                    problem = where + ": the file name is not valid UTF-8";
                if (name)
                    item.name = std::move(*name);
            }
        } else {
            item.kind = PackItem::Kind::command;
            problem = text("command", item.name);
            if (problem.empty() && entry.contains("params"))
                problem = text("params", item.parameters);
            if (problem.empty())
                problem = flag("in_extraction_dir", item.in_extraction_dir);
            if (problem.empty())
                problem = flag("quiet", item.quiet);
            if (problem.empty() && entry.contains("lcid")) {
                const json& lcid = entry.at("lcid");
                if (lcid.is_string()) {
                    item.lcid = parse_lcid(lcid.get<std::string>());
                } else if (lcid.is_number_unsigned() && lcid.get<std::uint64_t>() <= 0xFFFF) {
                    item.lcid = static_cast<std::uint16_t>(lcid.get<std::uint64_t>());
                }
                if (!item.lcid) {
                    problem = where +
                              ": \"lcid\" must be a language identifier 0..0xFFFF, such "
                              "as \"0x0407\"";
                }
            }
        }
        if (!problem.empty())
            return fail(problem);
        result.items.push_back(std::move(item));
    }
    return result;
}

ManifestResult load_manifest(const fs::path& manifest) {
    const std::string name = path_to_utf8(manifest);
    FileHandle file(open_file(manifest, "rb"));
    if (!file) {
        ManifestResult result;
        result.status = Status::failure(name + ": can't open: " + errno_text(errno));
        return result;
    }
    std::string text;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, got);
    if (std::ferror(file.get())) {
        ManifestResult result;
        result.status = Status::failure(name + ": can't read: " + errno_text(errno));
        return result;
    }
    return parse_manifest(text, manifest.parent_path(), name);
}
