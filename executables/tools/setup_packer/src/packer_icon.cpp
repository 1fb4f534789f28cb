// Icons: a .ico file's images, and the icon group of a launcher image with its icons.
#include <algorithm>
#include <cstring>
#include <set>

#include "packer_branding.h"

namespace {

// The .ico file's header (ICONDIR) and its directory entries (ICONDIRENTRY); the icon group
// resource's header (GRPICONDIR, the same 6 bytes) and entries (GRPICONDIRENTRY), which carry a
// resource number where the file has an offset.
constexpr std::size_t icon_header_size = 6;
constexpr std::size_t icon_file_entry_size = 16;
constexpr std::size_t icon_group_entry_size = 14;
static_assert(icon_file_entry_size == 4 * 1 + 2 * 2 + 2 * 4);
static_assert(icon_group_entry_size == 4 * 1 + 2 * 2 + 4 + 2);
constexpr std::uint16_t icon_type = 1;
// BITMAPINFOHEADER and its later versions, by their sizes.
constexpr std::uint32_t bitmap_header_sizes[] = {40, 108, 124};
constexpr std::uint8_t png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t png_header_end = 24;  // the signature, then IHDR with width and height

bool is_png(ByteSpan data) {
    return data.size() >= sizeof png_signature &&
           std::equal(std::begin(png_signature), std::end(png_signature), data.begin());
}

std::uint32_t big_endian_u32(ByteSpan bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
           std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

// What is wrong with one image's bytes, given the size its entry declares.
std::string image_problem(const IconImage& image) {
    const ByteSpan data = image.data;
    if (image.png) {
        if (data.size() < png_header_end)
            return "is a PNG image cut short";
        // An entry's 0 stands for 256 "or more": larger PNG images are scaled when shown.
        const auto fits = [](std::uint32_t size, std::uint16_t entry) {
            return size == entry || (entry == 256 && size > 256);
        };
        if (!fits(big_endian_u32(data, 16), image.width) ||
            !fits(big_endian_u32(data, 20), image.height)) {
            return "is a PNG image of another size than its entry says";
        }
        return {};
    }
    if (data.size() < 40 ||
        std::find(std::begin(bitmap_header_sizes), std::end(bitmap_header_sizes),
                  get_u32(data, 0)) == std::end(bitmap_header_sizes)) {
        return "is neither a PNG image nor a bitmap with a BITMAPINFOHEADER";
    }
    return {};
}

std::string read_icon_entry(ByteSpan bytes, std::size_t index, IconImage& image) {
    const std::size_t at = icon_header_size + index * icon_file_entry_size;
    image.width = bytes[at] == 0 ? 256 : bytes[at];
    image.height = bytes[at + 1] == 0 ? 256 : bytes[at + 1];
    image.colors = bytes[at + 2];
    image.planes = get_u16(bytes, at + 4);
    image.bit_count = get_u16(bytes, at + 6);
    const std::uint32_t size = get_u32(bytes, at + 8);
    const std::uint32_t offset = get_u32(bytes, at + 12);
    const std::string label = "image " + std::to_string(index + 1) + " (" +
                              std::to_string(image.width) + "x" + std::to_string(image.height) +
                              ")";
    if (size == 0 || offset > bytes.size() || size > bytes.size() - offset)
        return label + " lies outside the file";
    image.data.assign(bytes.begin() + offset, bytes.begin() + offset + size);
    image.png = is_png(image.data);
    if (std::string problem = image_problem(image); !problem.empty())
        return label + " " + problem;
    // Resource compilers fill in what a file's entry may leave at 0: the group resource's
    // entries are what Windows matches display sizes and depths against.
    if (image.planes == 0)
        image.planes = 1;
    if (image.bit_count == 0)
        image.bit_count = image.png ? 32 : get_u16(image.data, 14);
    return {};
}

}  // namespace

std::string read_icon_file(ByteSpan bytes, std::vector<IconImage>& images) {
    images.clear();
    if (bytes.size() > max_icon_file_size) {
        return "is " + std::to_string(bytes.size()) + " bytes, more than an icon may have (" +
               std::to_string(max_icon_file_size) + ")";
    }
    if (bytes.size() < icon_header_size || get_u16(bytes, 0) != 0 ||
        get_u16(bytes, 2) != icon_type) {
        return "is no icon file: it does not begin with the header of a .ico file";
    }
    const std::size_t count = get_u16(bytes, 4);
    if (count == 0)
        return "holds no images";
    if (count > max_icon_images) {
        return "holds " + std::to_string(count) + " images, more than an icon may have (" +
               std::to_string(max_icon_images) + ")";
    }
    if (icon_header_size + count * icon_file_entry_size > bytes.size())
        return "is cut short: its directory names " + std::to_string(count) + " images";
    for (std::size_t index = 0; index < count; ++index) {
        IconImage image;
        if (std::string problem = read_icon_entry(bytes, index, image); !problem.empty()) {
            images.clear();
            return problem;
        }
        images.push_back(std::move(image));
    }
    return {};
}

namespace {

const Resource* first_icon_group(const std::vector<Resource>& resources) {
    const Resource* first = nullptr;
    for (const Resource& resource : resources) {
        if (resource.type == resource_id(rt_group_icon) &&
            (first == nullptr || resource_key_less(resource.name, first->name))) {
            first = &resource;
        }
    }
    return first;
}

// The icon numbers a group resource names, or an empty list when it does not read.
std::vector<std::uint16_t> group_icon_ids(ByteSpan group) {
    std::vector<std::uint16_t> ids;
    if (group.size() < icon_header_size)
        return ids;
    const std::size_t count = get_u16(group, 4);
    if (icon_header_size + count * icon_group_entry_size > group.size())
        return ids;
    for (std::size_t index = 0; index < count; ++index)
        ids.push_back(get_u16(group, icon_header_size + index * icon_group_entry_size + 12));
    return ids;
}

}  // namespace

std::vector<IconImage> image_icons(const std::vector<Resource>& resources) {
    std::vector<IconImage> images;
    const Resource* group = first_icon_group(resources);
    if (group == nullptr)
        return images;
    const ByteSpan bytes = group->data;
    const std::vector<std::uint16_t> ids = group_icon_ids(bytes);
    for (std::size_t index = 0; index < ids.size(); ++index) {
        const Resource* icon =
            find_resource(resources, resource_id(rt_icon), resource_id(ids[index]));
        if (icon == nullptr)
            return {};
        const std::size_t at = icon_header_size + index * icon_group_entry_size;
        IconImage image;
        image.width = bytes[at] == 0 ? 256 : bytes[at];
        image.height = bytes[at + 1] == 0 ? 256 : bytes[at + 1];
        image.colors = bytes[at + 2];
        image.planes = get_u16(bytes, at + 4);
        image.bit_count = get_u16(bytes, at + 6);
        image.data = icon->data;
        image.png = is_png(image.data);
        images.push_back(std::move(image));
    }
    return images;
}

void replace_icon_group(std::vector<Resource>& resources, const std::vector<IconImage>& images) {
    Resource group;
    group.type = resource_id(rt_group_icon);
    group.name = resource_id(1);
    group.language = 0x0409;
    std::vector<std::uint16_t> old_ids;
    if (const Resource* old = first_icon_group(resources)) {
        group.name = old->name;
        group.language = old->language;
        group.codepage = old->codepage;
        old_ids = group_icon_ids(old->data);
        const Resource* const old_group = old;
        resources.erase(resources.begin() + (old_group - resources.data()));
    }
    std::erase_if(resources, [&](const Resource& resource) {
        return resource.type == resource_id(rt_icon) && !resource.name.text &&
               std::find(old_ids.begin(), old_ids.end(), resource.name.id) != old_ids.end();
    });
    std::set<std::uint16_t> taken;
    for (const Resource& resource : resources) {
        if (resource.type == resource_id(rt_icon) && !resource.name.text)
            taken.insert(resource.name.id);
    }
    append_u16(group.data, 0);
    append_u16(group.data, icon_type);
    append_u16(group.data, static_cast<std::uint16_t>(images.size()));
    std::uint16_t id = 1;
    for (const IconImage& image : images) {
        while (taken.contains(id))
            ++id;
        group.data.push_back(static_cast<std::uint8_t>(image.width == 256 ? 0 : image.width));
        group.data.push_back(static_cast<std::uint8_t>(image.height == 256 ? 0 : image.height));
        group.data.push_back(image.colors);
        group.data.push_back(0);
        append_u16(group.data, image.planes);
        append_u16(group.data, image.bit_count);
        append_u32(group.data, static_cast<std::uint32_t>(image.data.size()));
        append_u16(group.data, id);
        resources.push_back(Resource{resource_id(rt_icon), resource_id(id), group.language,
                                     group.codepage, image.data});
        taken.insert(id);
    }
    resources.push_back(std::move(group));
}
