// The parts of a PE image that setup_packer reads and rewrites: the section table, the resource
// section's directory tree and the header fields that follow from them (section sizes,
// SizeOfImage, the resource data directory, the checksum). Plain data over bytes in memory; every
// offset and length read from an image is checked before it is used, nothing here reads files,
// prints or ends the process. Failures come back as a sentence that follows the file's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

using ByteSpan = std::span<const std::uint8_t>;

// --- Little-endian numbers at an offset, for callers that checked the bounds ---------------------

std::uint16_t get_u16(ByteSpan bytes, std::size_t at);
std::uint32_t get_u32(ByteSpan bytes, std::size_t at);
void put_u16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value);
void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value);
void append_u16(std::vector<std::uint8_t>& bytes, std::uint16_t value);
void append_u32(std::vector<std::uint8_t>& bytes, std::uint32_t value);

// --- Headers and sections ----------------------------------------------------------------------

// The headers are read from at most this many bytes at the file's start.
inline constexpr std::size_t max_pe_headers_size = 65536;

struct PeSection {
    std::string name;  // up to 8 bytes, without the padding
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;
    std::uint32_t characteristics = 0;
};

struct PeLayout {
    bool pe32_plus = false;
    std::uint16_t machine = 0;
    std::size_t optional_offset = 0;       // the optional header's file offset
    std::size_t section_table_offset = 0;  // the first section header's file offset
    std::uint32_t file_alignment = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    std::uint32_t resource_rva = 0;  // data directory 2; 0 when the image has none
    std::uint32_t resource_size = 0;
    bool has_certificate_table = false;  // a non-zero data directory 4
    std::vector<PeSection> sections;     // in the order of the section table
    std::uint64_t image_end = 0;         // the end of the headers and of every section's raw data
};

// The file offset of the checksum field, of the section header `index`, of a data directory.
std::size_t pe_checksum_offset(const PeLayout& layout);
std::size_t pe_section_header_offset(const PeLayout& layout, std::size_t index);
std::size_t pe_data_directory_offset(const PeLayout& layout, std::size_t index);

// Reads the layout from the image's first bytes (`headers`, up to max_pe_headers_size of them)
// of a file of `file_size` bytes. Empty on success, else why the image can't be read: no "MZ" or
// "PE", an optional header that is neither PE32 nor PE32+, alignments that are no powers of two,
// a section table or a section's raw data outside the file or the headers.
std::string read_pe_layout(ByteSpan headers, std::uint64_t file_size, PeLayout& layout);

// The section that holds the resource directory, or null.
const PeSection* resource_section(const PeLayout& layout);

// --- Resources ---------------------------------------------------------------------------------

inline constexpr std::uint16_t rt_icon = 3;
inline constexpr std::uint16_t rt_dialog = 5;
inline constexpr std::uint16_t rt_group_icon = 14;
inline constexpr std::uint16_t rt_version = 16;
inline constexpr std::uint16_t rt_manifest = 24;

// A resource type or name: a number, or a text when `text` is set.
struct ResourceKey {
    std::uint16_t id = 0;
    std::u16string name;
    bool text = false;
    friend bool operator==(const ResourceKey&, const ResourceKey&) = default;
};
inline ResourceKey resource_id(std::uint16_t id) {
    return {id, {}, false};
}
// The order of a resource directory: texts before numbers, texts by their code units, numbers
// ascending.
bool resource_key_less(const ResourceKey& a, const ResourceKey& b);

struct Resource {
    ResourceKey type;
    ResourceKey name;
    std::uint16_t language = 0;
    std::uint32_t codepage = 0;
    std::vector<std::uint8_t> data;
};

// Reads the three levels of the resource directory (type, name, language) at `directory_rva`
// from `section`, the raw data of the section at `section_rva`. Every resource's data must lie
// inside the section. Empty on success, else what is wrong.
std::string read_resources(ByteSpan section, std::uint32_t section_rva, std::uint32_t directory_rva,
                           std::vector<Resource>& resources);

// The first resource of that type and name, in any language; null when there is none.
const Resource* find_resource(const std::vector<Resource>& resources, const ResourceKey& type,
                              const ResourceKey& name);

// The bytes of a resource section that holds `resources` at `section_rva`: the directory tables,
// the data entries, the names and the data (each aligned to 8 bytes), in the directory's order
// whatever the order given. Not padded to the file alignment.
std::vector<std::uint8_t> write_resources(const std::vector<Resource>& resources,
                                          std::uint32_t section_rva);

// Replaces the resources of `image` (the whole file, `layout` read from it): its resource
// section must begin with the directory and be the last section, in the file and in memory, and
// nothing may follow its raw data. Sets the section's sizes, SizeOfImage, SizeOfInitializedData,
// the resource data directory, and the checksum of the image as it then is. Empty on success, else
// why the image can't take it; `image` is then unchanged.
std::string replace_resources(std::vector<std::uint8_t>& image, const PeLayout& layout,
                              const std::vector<Resource>& resources);

// --- The checksum ------------------------------------------------------------------------------

// The PE checksum (as Windows' CheckSumMappedFile computes it) of bytes handed in file order: the
// 16-bit little-endian words summed with end-around carry, the checksum field itself taken as
// zero, plus the file's length.
class PeChecksum {
public:
    explicit PeChecksum(std::uint64_t field_offset) : field_offset_(field_offset) {}
    void add(ByteSpan bytes);
    std::uint32_t value() const;  // of everything added so far

private:
    void add_slow(ByteSpan bytes);
    std::uint64_t field_offset_;
    std::uint64_t length_ = 0;
    std::uint64_t sum_ = 0;  // a sum of 32-bit words, folded now and then
};
