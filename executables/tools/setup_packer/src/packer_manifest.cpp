#include <algorithm>
#include <cerrno>
#include <charconv>
#include <span>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

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

// One entry's values, each read into the item or refused with a message naming the entry.
struct EntryReader {
    const ManifestEntry& entry;
    const std::string& where;

    std::string text(const char* key, std::u16string& out) const {
        const ManifestValue* value = entry.find(key);
        if (value->kind != ManifestValue::Kind::string)
            return where + ": \"" + key + "\" must be a string";
        std::optional<std::u16string> converted = from_utf8_strict(value->text);
        if (!converted)
            return where + ": \"" + key + "\" is not valid UTF-8";
        out = std::move(*converted);
        return {};
    }
    std::string flag(const char* key, bool& out) const {
        const ManifestValue* value = entry.find(key);
        if (value == nullptr)
            return {};
        if (value->kind != ManifestValue::Kind::boolean)
            return where + ": \"" + key + "\" must be true or false";
        out = value->flag;
        return {};
    }
    std::string lcid(std::optional<std::uint16_t>& out) const {
        const ManifestValue* value = entry.find("lcid");
        if (value == nullptr)
            return {};
        LcidResult result{{}, "not a language identifier"};
        if (value->kind == ManifestValue::Kind::string) {
            result = parse_lcid(value->text);
        } else if (value->kind == ManifestValue::Kind::unsigned_number) {
            result = parse_lcid(std::to_string(value->number));
        }
        if (!result.lcid)
            return where + ": \"lcid\": " + result.problem + "; give " + lcid_forms;
        out = result.lcid;
        return {};
    }
};

std::string read_file_entry(const EntryReader& reader, const fs::path& base_dir, PackItem& item) {
    item.kind = PackItem::Kind::file;
    const ManifestValue* file = reader.entry.find("file");
    if (file->kind != ManifestValue::Kind::string || file->text.empty())
        return reader.where + ": \"file\" must be a non-empty string";
    item.source = path_from_utf8(file->text);
    if (item.source.is_relative())
        item.source = base_dir / item.source;
    if (reader.entry.find("name") != nullptr)
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
    if (problem.empty() && reader.entry.find("params") != nullptr)
        problem = reader.text("params", item.parameters);
    if (problem.empty())
        problem = reader.flag("in_extraction_dir", item.in_extraction_dir);
    if (problem.empty())
        problem = reader.flag("quiet", item.quiet);
    if (problem.empty())
        problem = reader.lcid(item.lcid);
    return problem;
}

// The first key of the entry, in the order of their bytes, that an entry of its kind does not
// take; null when there is none.
const std::string* unknown_key(const ManifestEntry& entry, bool is_file) {
    static constexpr std::string_view file_keys[] = {"file", "name"};
    static constexpr std::string_view command_keys[] = {"command", "params", "in_extraction_dir",
                                                        "quiet", "lcid"};
    const std::span<const std::string_view> known =
        is_file ? std::span<const std::string_view>(file_keys) : command_keys;
    const std::string* first = nullptr;
    for (const auto& [key, value] : entry.fields) {
        if (std::find(known.begin(), known.end(), key) == known.end() &&
            (first == nullptr || key < *first)) {
            first = &key;
        }
    }
    return first;
}

// Reads the entry into `item`, or says why it can't be read.
std::string read_entry(const ManifestEntry& entry, const std::string& where,
                       const fs::path& base_dir, PackItem& item) {
    if (!entry.object)
        return where + ": must be an object";
    const bool is_file = entry.find("file") != nullptr;
    if (is_file == (entry.find("command") != nullptr))
        return where + ": needs exactly one of \"file\" and \"command\"";
    if (const std::string* key = unknown_key(entry, is_file))
        return where + ": unknown key '" + *key + "'";
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
    const ManifestDocument document = read_manifest_document(json_text);
    if (!document.problem.empty())
        return fail(document.problem);
    result.items.reserve(document.entries.size());
    for (const ManifestEntry& entry : document.entries) {
        PackItem item;
        const std::string where = "attachment " + std::to_string(result.items.size() + 1);
        item.origin = manifest_name + " " + where;
        if (std::string problem = read_entry(entry, where, base_dir, item); !problem.empty())
            return fail(problem);
        result.items.push_back(std::move(item));
    }
    if (std::string problem =
            read_manifest_branding(document, base_dir, manifest_name, result.branding);
        !problem.empty()) {
        return fail(problem);
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
