// The resource section's directory tree: read with every offset checked, and written.
#include <algorithm>
#include <utility>

#include "packer_pe.h"

namespace {

// The resource directory's records, field by field as they lie on disk.
struct ResourceDirectoryHeader {
    std::uint32_t characteristics, time_date_stamp;
    std::uint16_t major_version, minor_version, named_entries, id_entries;
};
struct ResourceDirectoryEntry {
    std::uint32_t name;    // an ID, or with the high bit the offset of a name
    std::uint32_t offset;  // with the high bit a directory's offset, else a data entry's
};
struct ResourceDataEntry {
    std::uint32_t rva, size, codepage, reserved;
};
static_assert(sizeof(ResourceDirectoryHeader) == 16);
static_assert(sizeof(ResourceDirectoryEntry) == 8);
static_assert(sizeof(ResourceDataEntry) == 16);
constexpr std::size_t directory_header_size = sizeof(ResourceDirectoryHeader);
constexpr std::size_t directory_entry_size = sizeof(ResourceDirectoryEntry);
constexpr std::size_t data_entry_size = sizeof(ResourceDataEntry);
constexpr std::uint32_t high_bit = 0x80000000u;
// The levels of the resource tree: type, name, language.
constexpr int resource_levels = 3;
// More resources than any real image holds; a tree that names more is taken for a loop.
constexpr std::size_t max_resources = 65535;  // and so at most that many in one directory

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool inside(std::uint64_t at, std::uint64_t size, std::uint64_t limit) {
    return at <= limit && size <= limit - at;
}

}  // namespace

bool resource_key_less(const ResourceKey& a, const ResourceKey& b) {
    if (a.text != b.text)
        return a.text;
    return a.text ? a.name < b.name : a.id < b.id;
}

namespace {

// Walks the directory tree of one resource section, checking every offset against it.
class ResourceReader {
public:
    ResourceReader(ByteSpan section, std::size_t root, std::uint32_t section_rva,
                   std::vector<Resource>& out)
        : section_(section), root_(root), section_rva_(section_rva), out_(out) {}

    std::string directory(std::size_t offset, int level, Resource& path);

private:
    std::string key(std::uint32_t field, ResourceKey& key) const;
    std::string data(std::size_t offset, Resource& path);

    ByteSpan section_;
    std::size_t root_;  // the directory's offset in the section; every offset counts from it
    std::uint32_t section_rva_;
    std::vector<Resource>& out_;
    std::uint64_t data_bytes_ = 0;
};

std::string ResourceReader::key(std::uint32_t field, ResourceKey& key) const {
    key = ResourceKey{};
    if ((field & high_bit) == 0) {
        key.id = static_cast<std::uint16_t>(field);
        return {};
    }
    const std::uint64_t at = std::uint64_t{root_} + (field & ~high_bit);
    if (!inside(at, 2, section_.size()))
        return "a resource name lies outside the resource section";
    const std::size_t length = get_u16(section_, at);
    if (!inside(at + 2, 2 * std::uint64_t{length}, section_.size()))
        return "a resource name lies outside the resource section";
    key.text = true;
    for (std::size_t unit = 0; unit < length; ++unit)
        key.name.push_back(static_cast<char16_t>(get_u16(section_, at + 2 + 2 * unit)));
    return {};
}

std::string ResourceReader::data(std::size_t offset, Resource& path) {
    const std::uint64_t at = std::uint64_t{root_} + offset;
    if (!inside(at, data_entry_size, section_.size()))
        return "a resource's data entry lies outside the resource section";
    const std::uint32_t rva = get_u32(section_, at);
    const std::uint32_t size = get_u32(section_, at + 4);
    if (rva < section_rva_ || !inside(rva - section_rva_, size, section_.size()))
        return "a resource's data lies outside the resource section";
    // Data that several entries share would let a small section name huge copies.
    data_bytes_ += size;
    if (out_.size() >= max_resources || data_bytes_ > section_.size())
        return "the resource directory names more data than its section holds";
    path.codepage = get_u32(section_, at + 8);
    const auto begin = section_.begin() + (rva - section_rva_);
    path.data.assign(begin, begin + size);
    out_.push_back(path);
    return {};
}

std::string ResourceReader::directory(std::size_t offset, int level, Resource& path) {
    const std::uint64_t at = std::uint64_t{root_} + offset;
    if (!inside(at, directory_header_size, section_.size()))
        return "a resource directory lies outside the resource section";
    const std::size_t count = std::size_t{get_u16(section_, at + 12)} + get_u16(section_, at + 14);
    if (!inside(at + directory_header_size, count * directory_entry_size, section_.size()))
        return "a resource directory lies outside the resource section";
    for (std::size_t index = 0; index < count; ++index) {
        const std::size_t entry = at + directory_header_size + index * directory_entry_size;
        const std::uint32_t name = get_u32(section_, entry);
        const std::uint32_t target = get_u32(section_, entry + 4);
        std::string problem;
        if (level == 0) {
            problem = key(name, path.type);
        } else if (level == 1) {
            problem = key(name, path.name);
        } else {
            path.language = static_cast<std::uint16_t>(name);
        }
        const bool is_directory = (target & high_bit) != 0;
        if (problem.empty() && is_directory != (level + 1 < resource_levels))
            problem = "the resource directory is not three levels deep";
        if (problem.empty()) {
            problem =
                is_directory ? directory(target & ~high_bit, level + 1, path) : data(target, path);
        }
        if (!problem.empty())
            return problem;
    }
    return {};
}

}  // namespace

std::string read_resources(ByteSpan section, std::uint32_t section_rva, std::uint32_t directory_rva,
                           std::vector<Resource>& resources) {
    resources.clear();
    if (directory_rva < section_rva || directory_rva - section_rva >= section.size())
        return "the resource directory lies outside its section";
    Resource path;
    ResourceReader reader(section, directory_rva - section_rva, section_rva, resources);
    std::string problem = reader.directory(0, 0, path);
    if (!problem.empty())
        resources.clear();
    return problem;
}

const Resource* find_resource(const std::vector<Resource>& resources, const ResourceKey& type,
                              const ResourceKey& name) {
    for (const Resource& resource : resources) {
        if (resource.type == type && resource.name == name)
            return &resource;
    }
    return nullptr;
}

namespace {

bool resource_less(const Resource* a, const Resource* b) {
    if (!(a->type == b->type))
        return resource_key_less(a->type, b->type);
    if (!(a->name == b->name))
        return resource_key_less(a->name, b->name);
    return a->language < b->language;
}

// The resources as the directory holds them: each type with its names, each name with its
// languages, all in the directory's order.
struct NameNode {
    const ResourceKey* key;
    std::vector<const Resource*> languages;
};
struct TypeNode {
    const ResourceKey* key;
    std::vector<NameNode> names;
};

std::vector<TypeNode> resource_tree(const std::vector<Resource>& resources) {
    std::vector<const Resource*> sorted;
    for (const Resource& resource : resources)
        sorted.push_back(&resource);
    std::stable_sort(sorted.begin(), sorted.end(), resource_less);
    std::vector<TypeNode> tree;
    for (const Resource* resource : sorted) {
        if (tree.empty() || !(*tree.back().key == resource->type))
            tree.push_back({&resource->type, {}});
        std::vector<NameNode>& names = tree.back().names;
        if (names.empty() || !(*names.back().key == resource->name))
            names.push_back({&resource->name, {}});
        names.back().languages.push_back(resource);
    }
    return tree;
}

std::size_t directory_size(std::size_t entries) {
    return directory_header_size + entries * directory_entry_size;
}

// Writes a resource section in the order linkers use: every directory (the root, the types'
// directories, the names'), the data entries, the name strings, then the data, each piece of
// data aligned to 8 bytes. Offsets are laid out first, then the bytes written in one pass.
class ResourceWriter {
public:
    ResourceWriter(const std::vector<Resource>& resources, std::uint32_t section_rva)
        : tree_(resource_tree(resources)), section_rva_(section_rva) {}
    std::vector<std::uint8_t> write();

private:
    // Appends a directory: a header, then one entry per key with its target's offset.
    template <typename Item, typename Key, typename Target>
    void directory(const std::vector<Item>& items, Key key, Target target) {
        std::size_t named = 0;
        for (const Item& item : items)
            named += key(item).text ? 1 : 0;
        out_.resize(out_.size() + 12, 0);  // characteristics, time stamp, version: 0
        append_u16(out_, static_cast<std::uint16_t>(named));
        append_u16(out_, static_cast<std::uint16_t>(items.size() - named));
        for (const Item& item : items) {
            append_u32(out_, key_field(key(item)));
            append_u32(out_, static_cast<std::uint32_t>(target(item)));
        }
    }
    std::uint32_t key_field(const ResourceKey& key);
    std::size_t string_size() const;
    void lay_out();
    void write_directories();
    void write_entries_and_data();

    std::vector<TypeNode> tree_;
    std::uint32_t section_rva_;
    std::vector<std::uint8_t> out_;
    std::vector<std::uint8_t> strings_;  // the names, written after the data entries
    std::vector<std::size_t> type_at_;   // each type's directory
    std::vector<std::size_t> name_at_;   // each name's directory, all types' in order
    std::size_t entries_at_ = 0;         // the data entries
    std::size_t strings_at_ = 0;
    std::size_t data_at_ = 0;
};

std::uint32_t ResourceWriter::key_field(const ResourceKey& key) {
    if (!key.text)
        return key.id;
    const std::size_t at = strings_at_ + strings_.size();
    append_u16(strings_, static_cast<std::uint16_t>(key.name.size()));
    for (char16_t unit : key.name)
        append_u16(strings_, static_cast<std::uint16_t>(unit));
    return high_bit | static_cast<std::uint32_t>(at);
}

std::size_t ResourceWriter::string_size() const {
    std::size_t size = 0;
    for (const TypeNode& type : tree_) {
        size += type.key->text ? 2 + 2 * type.key->name.size() : 0;
        for (const NameNode& name : type.names)
            size += name.key->text ? 2 + 2 * name.key->name.size() : 0;
    }
    return size;
}

void ResourceWriter::lay_out() {
    std::size_t at = directory_size(tree_.size());
    for (const TypeNode& type : tree_) {
        type_at_.push_back(at);
        at += directory_size(type.names.size());
    }
    for (const TypeNode& type : tree_) {
        for (const NameNode& name : type.names) {
            name_at_.push_back(at);
            at += directory_size(name.languages.size());
        }
    }
    entries_at_ = at;
    for (const TypeNode& type : tree_) {
        for (const NameNode& name : type.names)
            at += name.languages.size() * data_entry_size;
    }
    strings_at_ = at;
    data_at_ = align_up(strings_at_ + string_size(), 8);
}

void ResourceWriter::write_directories() {
    std::size_t next = 0;
    directory(
        tree_, [](const TypeNode& type) { return *type.key; },
        [&](const TypeNode&) { return high_bit | type_at_[next++]; });
    next = 0;
    for (const TypeNode& type : tree_) {
        directory(
            type.names, [](const NameNode& name) { return *name.key; },
            [&](const NameNode&) { return high_bit | name_at_[next++]; });
    }
    std::size_t entry = entries_at_;
    for (const TypeNode& type : tree_) {
        for (const NameNode& name : type.names) {
            directory(
                name.languages,
                [](const Resource* resource) { return resource_id(resource->language); },
                [&](const Resource*) { return std::exchange(entry, entry + data_entry_size); });
        }
    }
}

void ResourceWriter::write_entries_and_data() {
    std::vector<std::uint8_t> data;
    for (const TypeNode& type : tree_) {
        for (const NameNode& name : type.names) {
            for (const Resource* resource : name.languages) {
                data.resize(align_up(data.size(), 8), 0);
                append_u32(out_, static_cast<std::uint32_t>(section_rva_ + data_at_ + data.size()));
                append_u32(out_, static_cast<std::uint32_t>(resource->data.size()));
                append_u32(out_, resource->codepage);
                append_u32(out_, 0);
                data.insert(data.end(), resource->data.begin(), resource->data.end());
            }
        }
    }
    out_.insert(out_.end(), strings_.begin(), strings_.end());
    out_.resize(data_at_, 0);
    out_.insert(out_.end(), data.begin(), data.end());
}

std::vector<std::uint8_t> ResourceWriter::write() {
    lay_out();
    write_directories();
    write_entries_and_data();
    return std::move(out_);
}

}  // namespace

std::vector<std::uint8_t> write_resources(const std::vector<Resource>& resources,
                                          std::uint32_t section_rva) {
    return ResourceWriter(resources, section_rva).write();
}
