#include <algorithm>
#include <cerrno>
#include <charconv>
#include <nlohmann/json.hpp>
#include <set>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;
using nlohmann::json;

LcidResult parse_lcid(std::string_view text) {
    const auto refused = [](std::string problem) { return LcidResult{{}, std::move(problem)}; };
    const bool hexadecimal =
        text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string_view digits = hexadecimal ? text.substr(2) : text;
    if (digits.empty())
        return refused(hexadecimal ? "no digits after 0x" : "empty");
    std::uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, hexadecimal ? 16 : 10);
    if (end != digits.data() + digits.size() ||
        (error != std::errc() && error != std::errc::result_out_of_range)) {
        return refused(hexadecimal ? "not a hexadecimal number" : "not a number");
    }
    if (!hexadecimal && digits.size() > 1 && digits[0] == '0')
        return refused("a decimal number with a leading zero");
    if (error == std::errc::result_out_of_range || value > 0xFFFF)
        return refused("larger than 0xFFFF");
    if (value == 0) {
        return refused(
            "0 is no language: the launcher takes it for none, so the command would never run");
    }
    return {static_cast<std::uint16_t>(value), {}};
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
    std::optional<std::u16string> name = from_utf8_strict(name_text);
    if (!name)
        return Status::failure(item.origin + ": the name is not valid UTF-8");
    item.name = std::move(*name);
    return Status::success();
}

namespace {

// Notes the first key that one object holds twice, which the JSON library would pass over by
// keeping the last value. Sees the parser's events; the attachments are the objects in the array
// of the top-level object.
class DuplicateKeys {
public:
    bool see(json::parse_event_t event, const json& parsed) {
        using Event = json::parse_event_t;
        if (event == Event::object_start || event == Event::array_start) {
            if (!open_.empty() && event == Event::object_start)
                ++open_.back().objects;
            open_.push_back({event == Event::object_start, {}, 0});
        } else if (event == Event::object_end || event == Event::array_end) {
            open_.pop_back();
        } else if (event == Event::key && problem_.empty() &&
                   !open_.back().keys.insert(parsed.get<std::string>()).second) {
            problem_ = where() + "the key \"" + parsed.get<std::string>() + "\" appears twice";
        }
        return true;
    }
    const std::string& problem() const { return problem_; }

private:
    struct Container {
        bool object;
        std::set<std::string> keys;
        std::size_t objects;  // objects opened in it so far
    };
    std::string where() const {
        if (open_.size() == 3 && !open_[1].object)
            return "attachment " + std::to_string(open_[1].objects) + ": ";
        return open_.size() == 1 ? "at the top level: " : "in a nested object: ";
    }
    std::vector<Container> open_;
    std::string problem_;
};

// The JSON text as a document, or why it is none.
std::string parse_document(std::string_view text, json& document) {
    DuplicateKeys duplicates;
    try {
        document = json::parse(text, [&](int, json::parse_event_t event, json& parsed) {
            return duplicates.see(event, parsed);
        });
    } catch (const json::exception& error) {
        // The library's texts begin with its own tag, such as "[json.exception.parse_error.101] ".
        std::string message = error.what();
        message.erase(0, message.find("] ") != std::string::npos ? message.find("] ") + 2 : 0);
        if (error.id == 406)
            return "a number is out of range: " + message;
        return "not valid JSON: " + message;
    }
    return duplicates.problem();
}

// One entry's values, each read into the item or refused with a message naming the entry.
struct EntryReader {
    const json& entry;
    std::string where;

    std::string text(const char* key, std::u16string& out) const {
        const json& value = entry.at(key);
        if (!value.is_string())
            return where + ": \"" + key + "\" must be a string";
        std::optional<std::u16string> converted = from_utf8_strict(value.get<std::string>());
        if (!converted)
            return where + ": \"" + key + "\" is not valid UTF-8";
        out = std::move(*converted);
        return {};
    }
    std::string flag(const char* key, bool& out) const {
        if (!entry.contains(key))
            return {};
        const json& value = entry.at(key);
        if (!value.is_boolean())
            return where + ": \"" + key + "\" must be true or false";
        out = value.get<bool>();
        return {};
    }
    std::string lcid(std::optional<std::uint16_t>& out) const {
        if (!entry.contains("lcid"))
            return {};
        const json& value = entry.at("lcid");
        LcidResult result{{}, "not a language identifier"};
        if (value.is_string()) {
            result = parse_lcid(value.get<std::string>());
        } else if (value.is_number_unsigned()) {
            result = parse_lcid(std::to_string(value.get<std::uint64_t>()));
        }
        if (!result.lcid)
            return where + ": \"lcid\": " + result.problem + "; give " + lcid_forms;
        out = result.lcid;
        return {};
    }
};

std::string read_file_entry(const EntryReader& reader, const fs::path& base_dir, PackItem& item) {
    item.kind = PackItem::Kind::file;
    const json& file = reader.entry.at("file");
    if (!file.is_string() || file.get<std::string>().empty())
        return reader.where + ": \"file\" must be a non-empty string";
    item.source = base_dir / path_from_utf8(file.get<std::string>());
    if (reader.entry.contains("name"))
        return reader.text("name", item.name);
    std::optional<std::u16string> name = from_utf8_strict(path_to_utf8(item.source.filename()));
    if (!name)
        return reader.where + ": the file name is not valid UTF-8";
    item.name = std::move(*name);
    return {};
}

std::string read_command_entry(const EntryReader& reader, PackItem& item) {
    item.kind = PackItem::Kind::command;
    std::string problem = reader.text("command", item.name);
    if (problem.empty() && reader.entry.contains("params"))
        problem = reader.text("params", item.parameters);
    if (problem.empty())
        problem = reader.flag("in_extraction_dir", item.in_extraction_dir);
    if (problem.empty())
        problem = reader.flag("quiet", item.quiet);
    if (problem.empty())
        problem = reader.lcid(item.lcid);
    return problem;
}

// Reads the entry into `item`, or says why it can't be read.
std::string read_entry(const json& entry, const std::string& where, const fs::path& base_dir,
                       PackItem& item) {
    if (!entry.is_object())
        return where + ": must be an object";
    const bool is_file = entry.contains("file");
    if (is_file == entry.contains("command"))
        return where + ": needs exactly one of \"file\" and \"command\"";
    static const std::set<std::string> file_keys = {"file", "name"};
    static const std::set<std::string> command_keys = {"command", "params", "in_extraction_dir",
                                                       "quiet", "lcid"};
    for (const auto& [key, value] : entry.items()) {
        if ((is_file ? file_keys : command_keys).count(key) == 0)
            return where + ": unknown key '" + key + "'";
    }
    const EntryReader reader{entry, where};
    return is_file ? read_file_entry(reader, base_dir, item) : read_command_entry(reader, item);
}

}  // namespace

ManifestResult parse_manifest(std::string_view json_text, const fs::path& base_dir,
                              const std::string& manifest_name) {
    ManifestResult result;
    const auto fail = [&](const std::string& problem) {
        result.status = Status::failure(manifest_name + ": " + problem);
        result.items.clear();
        return result;
    };
    json document;
    if (std::string problem = parse_document(json_text, document); !problem.empty())
        return fail(problem);
    if (!document.is_object())
        return fail("the top level must be an object");
    for (const auto& [key, value] : document.items()) {
        if (key != "attachments")
            return fail("unknown key '" + key + "' at the top level");
    }
    const auto attachments = document.find("attachments");
    if (attachments == document.end() || !attachments->is_array())
        return fail("\"attachments\" must be an array");
    for (const json& entry : *attachments) {
        PackItem item;
        const std::string where = "attachment " + std::to_string(result.items.size() + 1);
        item.origin = manifest_name + " " + where;
        if (std::string problem = read_entry(entry, where, base_dir, item); !problem.empty())
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
