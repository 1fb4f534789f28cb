#include "packer_pe.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// --- On-disk sizes and offsets ------------------------------------------------------------------

constexpr std::size_t dos_header_size = 64;
constexpr std::size_t e_lfanew_at = 0x3C;
constexpr std::size_t coff_header_size = 20;  // after the 4-byte "PE\0\0"
constexpr std::size_t section_header_size = 40;
constexpr std::size_t data_directory_size = 8;
constexpr std::size_t resource_directory_index = 2;
constexpr std::size_t certificate_directory_index = 4;
constexpr std::uint16_t pe32_magic = 0x10B;
constexpr std::uint16_t pe32_plus_magic = 0x20B;
constexpr std::uint32_t section_initialized_data = 0x40;
// Optional header fields, from its start; the same in PE32 and PE32+ up to the stack sizes.
constexpr std::size_t size_of_initialized_data_at = 8;
constexpr std::size_t section_alignment_at = 32;
constexpr std::size_t file_alignment_at = 36;
constexpr std::size_t size_of_image_at = 56;
constexpr std::size_t size_of_headers_at = 60;
constexpr std::size_t checksum_at = 64;
// NumberOfRvaAndSizes, right before the data directories.
constexpr std::size_t pe32_directory_count_at = 92;
constexpr std::size_t pe32_plus_directory_count_at = 108;
// Section header fields.
constexpr std::size_t section_virtual_size_at = 8;
constexpr std::size_t section_virtual_address_at = 12;
constexpr std::size_t section_raw_size_at = 16;
constexpr std::size_t section_raw_offset_at = 20;
constexpr std::size_t section_characteristics_at = 36;
static_assert(section_characteristics_at + 4 == section_header_size);
static_assert(checksum_at + 4 + 2 + 2 == 72);  // the subsystem and DLL characteristics follow
static_assert(pe32_plus_directory_count_at - pe32_directory_count_at == 16);  // 64-bit sizes

bool is_power_of_two(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool inside(std::uint64_t at, std::uint64_t size, std::uint64_t limit) {
    return at <= limit && size <= limit - at;
}

}  // namespace

std::uint16_t get_u16(ByteSpan bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t get_u32(ByteSpan bytes, std::size_t at) {
    return std::uint32_t{get_u16(bytes, at)} | std::uint32_t{get_u16(bytes, at + 2)} << 16;
}

void put_u16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    put_u16(bytes, at, static_cast<std::uint16_t>(value));
    put_u16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

void append_u16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append_u32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    append_u16(bytes, static_cast<std::uint16_t>(value));
    append_u16(bytes, static_cast<std::uint16_t>(value >> 16));
}

// --- Headers and sections ------------------------------------------------------------------------

std::size_t pe_checksum_offset(const PeLayout& layout) {
    return layout.optional_offset + checksum_at;
}

std::size_t pe_section_header_offset(const PeLayout& layout, std::size_t index) {
    return layout.section_table_offset + index * section_header_size;
}

std::size_t pe_data_directory_offset(const PeLayout& layout, std::size_t index) {
    const std::size_t count_at =
        layout.pe32_plus ? pe32_plus_directory_count_at : pe32_directory_count_at;
    return layout.optional_offset + count_at + 4 + index * data_directory_size;
}

namespace {

// The optional header's fields and data directories, once the header is known to lie inside
// `headers`.
std::string read_optional_header(ByteSpan headers, std::size_t optional_size, PeLayout& layout) {
    const std::size_t at = layout.optional_offset;
    const std::uint16_t magic = get_u16(headers, at);
    if (magic != pe32_magic && magic != pe32_plus_magic)
        return "has an optional header that is neither PE32 nor PE32+";
    layout.pe32_plus = magic == pe32_plus_magic;
    const std::size_t count_at =
        layout.pe32_plus ? pe32_plus_directory_count_at : pe32_directory_count_at;
    if (optional_size < count_at + 4)
        return "has an optional header too short for its data directories";
    layout.section_alignment = get_u32(headers, at + section_alignment_at);
    layout.file_alignment = get_u32(headers, at + file_alignment_at);
    layout.size_of_image = get_u32(headers, at + size_of_image_at);
    layout.size_of_headers = get_u32(headers, at + size_of_headers_at);
    layout.checksum = get_u32(headers, at + checksum_at);
    if (!is_power_of_two(layout.file_alignment) || !is_power_of_two(layout.section_alignment))
        return "has a file or section alignment that is no power of two";
    // Only the entries that the declared count and the header's size both hold.
    const std::size_t count =
        std::min<std::size_t>(get_u32(headers, at + count_at), (optional_size - count_at - 4) / 8);
    if (count > resource_directory_index) {
        const std::size_t entry = pe_data_directory_offset(layout, resource_directory_index);
        layout.resource_rva = get_u32(headers, entry);
        layout.resource_size = get_u32(headers, entry + 4);
    }
    if (count > certificate_directory_index) {
        const std::size_t entry = pe_data_directory_offset(layout, certificate_directory_index);
        layout.has_certificate_table =
            get_u32(headers, entry) != 0 || get_u32(headers, entry + 4) != 0;
    }
    return {};
}

std::string read_sections(ByteSpan headers, std::uint64_t file_size, std::size_t count,
                          PeLayout& layout) {
    if (!inside(layout.section_table_offset, count * section_header_size, headers.size()))
        return "has a section table that does not fit its headers";
    layout.image_end = layout.size_of_headers;
    for (std::size_t index = 0; index < count; ++index) {
        const std::size_t at = pe_section_header_offset(layout, index);
        PeSection section;
        const auto name = headers.subspan(at, 8);
        section.name.assign(name.begin(), std::find(name.begin(), name.end(), 0));
        section.virtual_size = get_u32(headers, at + section_virtual_size_at);
        section.virtual_address = get_u32(headers, at + section_virtual_address_at);
        section.raw_size = get_u32(headers, at + section_raw_size_at);
        section.raw_offset = get_u32(headers, at + section_raw_offset_at);
        section.characteristics = get_u32(headers, at + section_characteristics_at);
        if (section.raw_size != 0 && !inside(section.raw_offset, section.raw_size, file_size))
            return "has a section (" + section.name + ") whose data lies past the file's end";
        if (section.raw_size != 0)
            layout.image_end = std::max<std::uint64_t>(
                layout.image_end, std::uint64_t{section.raw_offset} + section.raw_size);
        layout.sections.push_back(std::move(section));
    }
    return {};
}

}  // namespace

std::string read_pe_layout(ByteSpan headers, std::uint64_t file_size, PeLayout& layout) {
    layout = PeLayout{};
    if (headers.size() < dos_header_size || headers[0] != 'M' || headers[1] != 'Z')
        return "is no Windows executable: it does not begin with the \"MZ\" of a DOS header";
    const std::uint32_t pe = get_u32(headers, e_lfanew_at);
    if (!inside(pe, 4 + coff_header_size, headers.size()) || get_u32(headers, pe) != 0x4550)
        return "is no Windows PE image: there is no \"PE\" header where its DOS header points";
    layout.machine = get_u16(headers, pe + 4);
    const std::size_t sections = get_u16(headers, pe + 6);
    const std::size_t optional_size = get_u16(headers, pe + 20);
    layout.optional_offset = pe + 4 + coff_header_size;
    layout.section_table_offset = layout.optional_offset + optional_size;
    if (optional_size < 2 || !inside(layout.optional_offset, optional_size, headers.size()))
        return "has no complete optional header";
    if (std::string problem = read_optional_header(headers, optional_size, layout);
        !problem.empty()) {
        return problem;
    }
    if (layout.size_of_headers > file_size)
        return "declares headers larger than the file";
    return read_sections(headers, file_size, sections, layout);
}

const PeSection* resource_section(const PeLayout& layout) {
    if (layout.resource_rva == 0)
        return nullptr;
    for (const PeSection& section : layout.sections) {
        const std::uint32_t span = std::max(section.virtual_size, section.raw_size);
        if (layout.resource_rva >= section.virtual_address &&
            layout.resource_rva - section.virtual_address < span) {
            return &section;
        }
    }
    return nullptr;
}

std::string replace_resources(std::vector<std::uint8_t>& image, const PeLayout& layout,
                              const std::vector<Resource>& resources) {
    const PeSection* section = resource_section(layout);
    if (section == nullptr)
        return "has no resource section";
    if (section->virtual_address != layout.resource_rva)
        return "has a resource section that holds more than the resources";
    // Rewritten, a section's data must not reach into the headers that describe it.
    const std::size_t headers_end = pe_section_header_offset(layout, layout.sections.size());
    if (section->raw_offset < layout.size_of_headers || section->raw_offset < headers_end)
        return "has its resource section's data inside its headers";
    for (const PeSection& other : layout.sections) {
        if (&other == section)
            continue;
        if (other.virtual_address >= section->virtual_address ||
            (other.raw_size != 0 && other.raw_offset >= section->raw_offset)) {
            return "has its resource section before the " + other.name +
                   " section, where its size can't change";
        }
        // A section whose data runs on into the resources would lose its end to the new ones.
        if (other.raw_size != 0 &&
            std::uint64_t{other.raw_offset} + other.raw_size > section->raw_offset) {
            return "has a section (" + other.name + ") whose data overlaps its resources";
        }
    }
    // Linkers may pad the file to its alignment behind a last section that declares less.
    const std::uint64_t raw_end = std::uint64_t{section->raw_offset} + section->raw_size;
    if (layout.image_end != raw_end || image.size() < raw_end ||
        image.size() > align_up(raw_end, layout.file_alignment)) {
        return "has data after its last section";
    }
    std::vector<std::uint8_t> data = write_resources(resources, section->virtual_address);
    const std::uint64_t raw_size = align_up(data.size(), layout.file_alignment);
    const std::uint64_t image_size =
        align_up(std::uint64_t{section->virtual_address} + data.size(), layout.section_alignment);
    if (image_size > std::numeric_limits<std::uint32_t>::max())
        return "would grow beyond 4 GiB";
    const std::size_t index = static_cast<std::size_t>(section - layout.sections.data());
    const std::size_t header = pe_section_header_offset(layout, index);
    std::vector<std::uint8_t> result(image.begin(), image.begin() + section->raw_offset);
    result.insert(result.end(), data.begin(), data.end());
    result.resize(result.size() + (raw_size - data.size()), 0);
    put_u32(result, header + section_virtual_size_at, static_cast<std::uint32_t>(data.size()));
    put_u32(result, header + section_raw_size_at, static_cast<std::uint32_t>(raw_size));
    put_u32(result, layout.optional_offset + size_of_image_at,
            static_cast<std::uint32_t>(image_size));
    if ((section->characteristics & section_initialized_data) != 0) {
        const std::size_t at = layout.optional_offset + size_of_initialized_data_at;
        put_u32(result, at,
                static_cast<std::uint32_t>(get_u32(result, at) - section->raw_size + raw_size));
    }
    const std::size_t directory = pe_data_directory_offset(layout, resource_directory_index);
    put_u32(result, directory + 4, static_cast<std::uint32_t>(data.size()));
    PeChecksum checksum(pe_checksum_offset(layout));
    checksum.add(result);
    put_u32(result, pe_checksum_offset(layout), checksum.value());
    image = std::move(result);
    return {};
}

// --- The checksum --------------------------------------------------------------------------------

// Each byte counts at its place in a 32-bit little-endian word: folded to 16 bits in the end,
// that is the sum of the 16-bit words, since 2^16 and 2^32 both leave 1 modulo 0xFFFF.
void PeChecksum::add_slow(ByteSpan bytes) {
    for (std::uint8_t byte : bytes) {
        const bool in_field = length_ >= field_offset_ && length_ - field_offset_ < 4;
        if (!in_field)
            sum_ += std::uint64_t{byte} << (8 * (length_ % 4));
        ++length_;
    }
}

void PeChecksum::add(ByteSpan bytes) {
    while (!bytes.empty()) {
        // Byte by byte up to a word boundary, and over the checksum field.
        const bool near_field = length_ + 8 > field_offset_ && length_ < field_offset_ + 4;
        if (length_ % 4 != 0 || near_field || bytes.size() < 4) {
            add_slow(bytes.first(1));
            bytes = bytes.subspan(1);
            continue;
        }
        std::size_t words = bytes.size() / 4;
        if (length_ < field_offset_)
            words = std::min<std::uint64_t>(words, (field_offset_ - length_) / 4 - 1);
        words = std::min<std::size_t>(words, 1 << 20);  // the sum can't overflow
        std::uint64_t sum = 0;
        for (std::size_t word = 0; word < words; ++word)
            sum += get_u32(bytes, 4 * word);
        sum_ = (sum_ & 0xFFFFFFFF) + (sum_ >> 32) + sum;
        length_ += 4 * words;
        bytes = bytes.subspan(4 * words);
    }
}

std::uint32_t PeChecksum::value() const {
    std::uint64_t sum = sum_;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + length_);
}
