// The version resource (VS_VERSIONINFO): read, written, and changed by --version-info.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "packer_branding.h"
#include "setup_payload/text_encoding.h"

namespace {

// Every block: wLength, wValueLength, wType, then its key (UTF-16, terminated), then its value
// and its children, each starting on a 4-byte boundary of the resource.
constexpr std::size_t block_header_size = 6;
constexpr std::uint16_t binary_value = 0;
constexpr std::uint16_t text_value = 1;
// VS_FIXEDFILEINFO: a signature, a structure version and 11 more 32-bit fields.
constexpr std::size_t fixed_info_size = 52;
constexpr std::uint32_t fixed_info_signature = 0xFEEF04BD;
constexpr std::uint32_t fixed_info_version = 0x00010000;
static_assert(fixed_info_size == 13 * 4);
constexpr std::size_t max_block_size = 0xFFFF;  // wLength is 16 bits
constexpr std::u16string_view root_key = u"VS_VERSION_INFO";
constexpr std::u16string_view strings_key = u"StringFileInfo";
constexpr std::u16string_view variables_key = u"VarFileInfo";
constexpr std::u16string_view translation_key = u"Translation";

std::size_t align4(std::size_t value) {
    return (value + 3) & ~std::size_t{3};
}

// One block as it lies in the resource, its bounds checked.
struct Block {
    std::size_t start = 0;
    std::size_t end = 0;  // start + wLength
    std::uint16_t value_length = 0;
    std::uint16_t type = 0;
    std::u16string key;
    std::size_t value_at = 0;     // after the key and its padding
    std::size_t children_at = 0;  // after the value and its padding (for a binary value)
};

// Reads the block at `at`, which must end by `limit`. Empty on success.
std::string read_block(ByteSpan bytes, std::size_t at, std::size_t limit, Block& block) {
    if (at + block_header_size > limit)
        return "a block is cut short";
    block.start = at;
    block.end = at + get_u16(bytes, at);
    block.value_length = get_u16(bytes, at + 2);
    block.type = get_u16(bytes, at + 4);
    if (block.end < at + block_header_size || block.end > limit)
        return "a block's length reaches outside the block that holds it";
    block.key.clear();
    std::size_t position = at + block_header_size;
    for (;; position += 2) {
        if (position + 2 > block.end)
            return "a block's key is not terminated";
        const std::uint16_t unit = get_u16(bytes, position);
        if (unit == 0)
            break;
        block.key.push_back(static_cast<char16_t>(unit));
    }
    block.value_at = std::min(align4(position + 2), block.end);
    const std::size_t value_bytes =
        block.type == text_value ? 2 * std::size_t{block.value_length} : block.value_length;
    block.children_at = std::min(align4(block.value_at + value_bytes), block.end);
    return {};
}

// The children of a block, in order.
std::string read_children(ByteSpan bytes, const Block& parent, std::vector<Block>& children) {
    children.clear();
    for (std::size_t at = parent.children_at; align4(at) < parent.end;) {
        Block child;
        if (std::string problem = read_block(bytes, align4(at), parent.end, child);
            !problem.empty()) {
            return problem;
        }
        at = child.end;
        children.push_back(std::move(child));
    }
    return {};
}

// A String's text: up to its terminating U+0000 or its block's end, whatever wValueLength says
// (writers have counted it in bytes and in characters).
std::u16string block_text(ByteSpan bytes, const Block& block) {
    std::u16string text;
    for (std::size_t at = block.value_at; at + 2 <= block.end; at += 2) {
        const std::uint16_t unit = get_u16(bytes, at);
        if (unit == 0)
            break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return text;
}

std::string read_fixed_info(ByteSpan bytes, const Block& root, VersionInfo& info) {
    if (root.key != root_key || root.value_length < fixed_info_size ||
        root.value_at + fixed_info_size > root.end ||
        get_u32(bytes, root.value_at) != fixed_info_signature) {
        return "it does not begin with VS_VERSION_INFO and its fixed file information";
    }
    const auto field = [&](std::size_t index) { return get_u32(bytes, root.value_at + 4 * index); };
    const auto split = [](std::uint32_t high, std::uint32_t low) {
        return VersionNumber{
            static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
            static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
    };
    info.file_version = split(field(2), field(3));
    info.product_version = split(field(4), field(5));
    info.flags_mask = field(6);
    info.flags = field(7);
    info.os = field(8);
    info.type = field(9);
    info.subtype = field(10);
    info.date_high = field(11);
    info.date_low = field(12);
    return {};
}

std::string read_string_tables(ByteSpan bytes, const Block& block, VersionInfo& info) {
    std::vector<Block> tables;
    if (std::string problem = read_children(bytes, block, tables); !problem.empty())
        return problem;
    for (const Block& table : tables) {
        VersionStringTable strings{table.key, {}};
        std::vector<Block> entries;
        if (std::string problem = read_children(bytes, table, entries); !problem.empty())
            return problem;
        for (const Block& entry : entries)
            strings.strings.emplace_back(entry.key, block_text(bytes, entry));
        info.tables.push_back(std::move(strings));
    }
    return {};
}

std::string read_translations(ByteSpan bytes, const Block& block, VersionInfo& info) {
    std::vector<Block> variables;
    if (std::string problem = read_children(bytes, block, variables); !problem.empty())
        return problem;
    for (const Block& variable : variables) {
        if (variable.key != translation_key)
            continue;
        const std::size_t end =
            std::min<std::size_t>(variable.value_at + variable.value_length, variable.end);
        for (std::size_t at = variable.value_at; at + 4 <= end; at += 4)
            info.translations.push_back(get_u32(bytes, at));
    }
    return {};
}

}  // namespace

std::string read_version_info(ByteSpan bytes, VersionInfo& info) {
    info = VersionInfo{};
    Block root;
    std::string problem = read_block(bytes, 0, bytes.size(), root);
    if (problem.empty())
        problem = read_fixed_info(bytes, root, info);
    std::vector<Block> children;
    if (problem.empty())
        problem = read_children(bytes, root, children);
    for (const Block& child : children) {
        if (!problem.empty())
            break;
        if (child.key == strings_key)
            problem = read_string_tables(bytes, child, info);
        else if (child.key == variables_key)
            problem = read_translations(bytes, child, info);
    }
    return problem.empty() ? std::string() : "the version resource is damaged: " + problem;
}

namespace {

// Writes blocks; a block's length is set when it closes, and one beyond 16 bits is noted.
class BlockWriter {
public:
    std::size_t open(std::u16string_view key, std::uint16_t value_length, std::uint16_t type) {
        out_.resize(align4(out_.size()), 0);
        const std::size_t start = out_.size();
        append_u16(out_, 0);
        append_u16(out_, value_length);
        append_u16(out_, type);
        text(key);
        out_.resize(align4(out_.size()), 0);
        return start;
    }
    void text(std::u16string_view text) {
        for (char16_t unit : text)
            append_u16(out_, static_cast<std::uint16_t>(unit));
        append_u16(out_, 0);
    }
    void u32(std::uint32_t value) { append_u32(out_, value); }
    void close(std::size_t start) {
        const std::size_t length = out_.size() - start;
        too_long_ = too_long_ || length > max_block_size;
        put_u16(out_, start, static_cast<std::uint16_t>(length));
    }
    bool too_long() const { return too_long_; }
    std::vector<std::uint8_t>& bytes() { return out_; }

private:
    std::vector<std::uint8_t> out_;
    bool too_long_ = false;
};

void write_fixed_info(BlockWriter& writer, const VersionInfo& info) {
    const auto high = [](const VersionNumber& n) { return std::uint32_t{n[0]} << 16 | n[1]; };
    const auto low = [](const VersionNumber& n) { return std::uint32_t{n[2]} << 16 | n[3]; };
    for (std::uint32_t field :
         {fixed_info_signature, fixed_info_version, high(info.file_version), low(info.file_version),
          high(info.product_version), low(info.product_version), info.flags_mask, info.flags,
          info.os, info.type, info.subtype, info.date_high, info.date_low}) {
        writer.u32(field);
    }
}

}  // namespace

std::string write_version_info(const VersionInfo& info, std::vector<std::uint8_t>& bytes) {
    BlockWriter writer;
    const std::size_t root = writer.open(root_key, fixed_info_size, binary_value);
    write_fixed_info(writer, info);
    if (!info.tables.empty()) {
        const std::size_t strings = writer.open(strings_key, 0, text_value);
        for (const VersionStringTable& table : info.tables) {
            const std::size_t block = writer.open(table.key, 0, text_value);
            for (const auto& [key, value] : table.strings) {
                const std::size_t entry = writer.open(
                    key,
                    static_cast<std::uint16_t>(std::min<std::size_t>(value.size() + 1, 0xFFFF)),
                    text_value);
                writer.text(value);
                writer.close(entry);
            }
            writer.close(block);
        }
        writer.close(strings);
    }
    if (!info.translations.empty()) {
        const std::size_t variables = writer.open(variables_key, 0, text_value);
        const std::size_t variable =
            writer.open(translation_key, static_cast<std::uint16_t>(4 * info.translations.size()),
                        binary_value);
        for (std::uint32_t translation : info.translations)
            writer.u32(translation);
        writer.close(variable);
        writer.close(variables);
    }
    writer.close(root);
    if (writer.too_long()) {
        return "the version details come to more than the " + std::to_string(max_block_size) +
               " bytes a version resource holds";
    }
    bytes = std::move(writer.bytes());
    return {};
}

std::optional<VersionInfo> image_version(const std::vector<Resource>& resources) {
    for (const Resource& resource : resources) {
        if (resource.type == resource_id(rt_version)) {
            VersionInfo info;
            if (read_version_info(resource.data, info).empty())
                return info;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string version_text(const VersionNumber& number) {
    return std::to_string(number[0]) + "." + std::to_string(number[1]) + "." +
           std::to_string(number[2]) + "." + std::to_string(number[3]);
}

std::optional<VersionNumber> parse_version_number(std::u16string_view text, bool prefix) {
    VersionNumber number{};
    std::size_t part = 0, at = 0;
    for (; part < number.size(); ++part) {
        std::uint32_t value = 0;
        const std::size_t begin = at;
        while (at < text.size() && text[at] >= u'0' && text[at] <= u'9' && value <= 0xFFFF)
            value = value * 10 + (text[at++] - u'0');
        if (at == begin || value > 0xFFFF || at - begin > 5)
            return std::nullopt;
        number[part] = static_cast<std::uint16_t>(value);
        if (at == text.size() || text[at] != u'.' || part + 1 == number.size())
            break;
        ++at;
    }
    if (at != text.size() && !(prefix && text[at] != u'.' && (text[at] < u'0' || text[at] > u'9')))
        return std::nullopt;
    return number;
}
