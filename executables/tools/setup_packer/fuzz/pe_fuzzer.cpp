// libFuzzer target: setup_packer's readers of what an image or a vendor hands it, each over the
// same bytes: the PE layout and the resource directory (whose tree must write back to a tree that
// reads the same), a .ico file, and a version resource (whose details must write back to the
// same details). Any read past a buffer, any crash, and any broken round trip is a finding.
#include <cstdlib>

#include "packer_branding.h"

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

bool same(const std::vector<Resource>& a, const std::vector<Resource>& b) {
    if (a.size() != b.size())
        return false;
    for (const Resource& resource : a) {
        const Resource* other = find_resource(b, resource.type, resource.name);
        if (other == nullptr)
            return false;
    }
    return true;
}

void fuzz_image(ByteSpan bytes) {
    PeLayout layout;
    if (!read_pe_layout(bytes.first(std::min(bytes.size(), max_pe_headers_size)), bytes.size(),
                        layout)
             .empty()) {
        return;
    }
    const PeSection* section = resource_section(layout);
    if (section == nullptr || section->raw_size == 0)
        return;
    std::vector<Resource> resources;
    if (!read_resources(bytes.subspan(section->raw_offset, section->raw_size),
                        section->virtual_address, layout.resource_rva, resources)
             .empty()) {
        return;
    }
    image_icons(resources);
    image_version(resources);
    const std::vector<std::uint8_t> written = write_resources(resources, 0x1000);
    std::vector<Resource> again;
    require(read_resources(written, 0x1000, 0x1000, again).empty());
    require(same(resources, again));
    std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
    if (replace_resources(image, layout, again).empty()) {
        PeLayout branded;
        require(read_pe_layout(image, image.size(), branded).empty());
    }
}

void fuzz_icon(ByteSpan bytes) {
    std::vector<IconImage> images;
    if (!read_icon_file(bytes, images).empty())
        return;
    std::vector<Resource> resources;
    replace_icon_group(resources, images);
    require(image_icons(resources).size() == images.size());
}

void fuzz_version(ByteSpan bytes) {
    VersionInfo info;
    if (!read_version_info(bytes, info).empty())
        return;
    std::vector<std::uint8_t> written;
    if (!write_version_info(info, written).empty())
        return;
    VersionInfo again;
    require(read_version_info(written, again).empty());
    require(again.file_version == info.file_version && again.tables.size() == info.tables.size());
    for (std::size_t table = 0; table < info.tables.size(); ++table) {
        // Texts end at their first U+0000 when read back.
        require(again.tables[table].strings.size() == info.tables[table].strings.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan bytes(data, size);
    fuzz_image(bytes);
    fuzz_icon(bytes);
    fuzz_version(bytes);
    return 0;
}
