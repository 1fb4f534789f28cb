// For tests: minimal PE images of Windows GUI programs with a resource section, by default one
// that makes them stand in for this project's launchers (dialog templates 129 and 130, a manifest
// naming the assembly SetupLauncher).
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

#include "packer_pe.h"

namespace pe_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t pe_offset = 0x80;
inline constexpr std::size_t optional_offset = pe_offset + 24;
inline constexpr std::uint32_t resource_offset = 0x200;  // in the file: after the headers
inline constexpr std::uint32_t resource_rva = 0x1000;

inline Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::vector<Resource> launcher_resources(std::string_view assembly = "SetupLauncher") {
    const std::string manifest =
        "<?xml version=\"1.0\"?><assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
        "manifestVersion=\"1.0\"><assemblyIdentity type=\"win32\" name=\"" +
        std::string(assembly) + "\" version=\"1.0.0.0\"/></assembly>";
    return {{resource_id(rt_dialog), resource_id(129), 0x0409, 0, Bytes{1, 0, 0xFF, 0xFF}},
            {resource_id(rt_dialog), resource_id(130), 0x0409, 0, Bytes{1, 0, 0xFF, 0xFF}},
            {resource_id(rt_manifest), resource_id(1), 0x0409, 0, text_bytes(manifest)}};
}

inline void put(Bytes& bytes, std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Headers of an i386 (PE32) or AMD64 (PE32+) GUI program with one section, ".rsrc", at 0x200 in
// the file and 0x1000 in memory, holding `resources`. The file has `size` bytes, at least what
// the section needs: with a larger size, zeros follow it.
inline Bytes image_with_resources(bool pe32_plus, std::size_t size,
                                  const std::vector<Resource>& resources) {
    const Bytes section = write_resources(resources, resource_rva);
    const std::uint32_t raw_size = static_cast<std::uint32_t>((section.size() + 0x1FF) & ~0x1FFu);
    Bytes bytes(std::max<std::size_t>(size, resource_offset + raw_size), 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put(bytes, 0x3C, pe_offset, 4);
    put(bytes, pe_offset, 0x4550, 4);
    put(bytes, pe_offset + 4, pe32_plus ? 0x8664 : 0x14C, 2);
    put(bytes, pe_offset + 6, 1, 2);  // one section
    put(bytes, pe_offset + 20, pe32_plus ? 240 : 224, 2);
    put(bytes, optional_offset, pe32_plus ? 0x20B : 0x10B, 2);
    put(bytes, optional_offset + 32, 0x1000, 4);  // section alignment
    put(bytes, optional_offset + 36, 0x200, 4);   // file alignment
    put(bytes, optional_offset + 56, resource_rva + ((raw_size + 0xFFF) & ~0xFFFu), 4);
    put(bytes, optional_offset + 60, resource_offset, 4);  // size of the headers
    put(bytes, optional_offset + 68, 2, 2);                // the Windows GUI subsystem
    const std::size_t directories = optional_offset + (pe32_plus ? 112 : 96);
    put(bytes, directories - 4, 16, 4);  // NumberOfRvaAndSizes
    put(bytes, directories + 2 * 8, resource_rva, 4);
    put(bytes, directories + 2 * 8 + 4, static_cast<std::uint32_t>(section.size()), 4);
    const std::size_t header = optional_offset + (pe32_plus ? 240 : 224);
    std::copy_n(".rsrc", 5, bytes.begin() + header);
    put(bytes, header + 8, static_cast<std::uint32_t>(section.size()), 4);
    put(bytes, header + 12, resource_rva, 4);
    put(bytes, header + 16, raw_size, 4);
    put(bytes, header + 20, resource_offset, 4);
    put(bytes, header + 36, 0x40000040, 4);  // initialized data, readable
    std::copy(section.begin(), section.end(), bytes.begin() + resource_offset);
    return bytes;
}

}  // namespace pe_test
