#include "setup_payload/payload_format.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <limits>

// Launcher files exceed 2 GiB; fseeko/ftello carry the offsets. The build defines
// _FILE_OFFSET_BITS=64, which widens off_t with glibc and maps both to their 64-bit forms with
// MinGW-w64.
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace {

// Offsets of the fixed fields from their first byte. Packed: data_size is not aligned.
constexpr std::size_t name_length_at = 0;
constexpr std::size_t parameters_length_at = 2;
constexpr std::size_t data_size_at = 4;
constexpr std::size_t checksum_at = 12;
constexpr std::size_t flags_at = 16;
constexpr std::size_t header_size_at = 17;

static_assert(signature_size == 12);
static_assert(header_size_at + 4 == fixed_fields_size && fixed_fields_size == 21);
static_assert(header_overhead == fixed_fields_size + signature_size);
static_assert(lcid_field_size == 2);
static_assert(max_text_length == std::numeric_limits<std::uint16_t>::max());
static_assert(search_window_size == 8192);

constexpr std::int64_t signature_offset = signature_size;  // end - this: the signature

template <typename T>
constexpr T load_le(const std::uint8_t* bytes) {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;)
        value = static_cast<T>(value << 8 | bytes[i]);
    return value;
}

template <typename T>
constexpr void store_le(T value, std::uint8_t* bytes) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value);
        value = static_cast<T>(value >> 8);
    }
}

constexpr FixedFields decode_fields(const std::uint8_t* bytes) {
    FixedFields fields;
    fields.name_length = load_le<std::uint16_t>(bytes + name_length_at);
    fields.parameters_length = load_le<std::uint16_t>(bytes + parameters_length_at);
    fields.data_size = load_le<std::uint64_t>(bytes + data_size_at);
    fields.checksum = load_le<std::uint32_t>(bytes + checksum_at);
    fields.flags = bytes[flags_at];
    fields.header_size = load_le<std::uint32_t>(bytes + header_size_at);
    return fields;
}

constexpr void encode_fields(const FixedFields& fields, std::uint8_t* bytes) {
    store_le(fields.name_length, bytes + name_length_at);
    store_le(fields.parameters_length, bytes + parameters_length_at);
    store_le(fields.data_size, bytes + data_size_at);
    store_le(fields.checksum, bytes + checksum_at);
    bytes[flags_at] = fields.flags;
    store_le(fields.header_size, bytes + header_size_at);
}

constexpr std::uint32_t header_size_for(std::uint16_t name_length, std::uint16_t parameters_length,
                                        bool has_lcid) {
    return 2 * std::uint32_t{name_length} + 2 * std::uint32_t{parameters_length} + header_overhead +
           (has_lcid ? lcid_field_size : 0);
}

// The signature is kept masked, one key per byte, and unmasked through volatile reads, so that no
// optimiser can fold it back into a constant. The launcher searches its own file for it: if the
// 12 bytes stood together in the image, the search would take the image for a payload.
constexpr std::uint8_t signature_key(std::size_t index) {
    return static_cast<std::uint8_t>(0x5A + 0x3B * index);
}

struct MaskedSignature {
    std::uint8_t bytes[signature_size];
};

constexpr MaskedSignature masked(const char (&text)[signature_size + 1]) {
    MaskedSignature result{};
    for (std::size_t i = 0; i < signature_size; ++i) {
        result.bytes[i] =
            static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ signature_key(i));
    }
    return result;
}

const volatile MaskedSignature masked_signature = masked("VOQSETUP_1.0");

// The index of the last occurrence of the signature in `bytes`, or -1.
std::int64_t last_signature_in(const std::uint8_t* bytes, std::size_t size,
                               const Signature& signature) {
    if (size < signature_size)
        return -1;
    for (std::size_t i = size - signature_size + 1; i-- > 0;) {
        if (bytes[i] == signature[0] &&
            std::memcmp(bytes + i, signature.data(), signature_size) == 0) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

// The index of the first occurrence of the signature in `bytes`, or -1.
std::int64_t first_signature_in(const std::uint8_t* bytes, std::size_t size,
                                const Signature& signature) {
    for (std::size_t i = 0; i + signature_size <= size; ++i) {
        if (bytes[i] == signature[0] &&
            std::memcmp(bytes + i, signature.data(), signature_size) == 0) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

// Each window of the search is read together with the 11 bytes next to it from the window read
// before, so that a signature lying across their border is whole in one of them.
constexpr std::size_t carry_size = signature_size - 1;
using SearchBuffer = std::array<std::uint8_t, search_window_size + carry_size>;

void append_text(std::vector<std::uint8_t>& bytes, const std::u16string& text) {
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
}

// The headers of a PE image that the tools look at: "MZ", e_lfanew, "PE\0\0" and the file
// header, and the start of the optional header up to the security data directory.
constexpr std::int64_t dos_header_size = 64;
constexpr std::size_t pe_offset_at = 0x3C;       // e_lfanew, the DOS header's last field
constexpr std::int64_t pe_header_size = 24;      // "PE\0\0" and the 20-byte file header
constexpr std::size_t machine_at = 4;            // in the PE header
constexpr std::size_t optional_size_at = 20;     // SizeOfOptionalHeader, in the PE header
constexpr std::size_t subsystem_at = 68;         // in both optional headers
constexpr std::size_t pe32_count_at = 92;        // NumberOfRvaAndSizes of PE32
constexpr std::size_t pe32_plus_count_at = 108;  // and of PE32+
constexpr std::uint32_t security_entry = 4;
constexpr std::size_t directory_entry_size = 8;
constexpr std::uint16_t pe32_magic = 0x10B;
constexpr std::uint16_t pe32_plus_magic = 0x20B;
constexpr std::size_t optional_read_size =
    pe32_plus_count_at + 4 + (security_entry + 1) * directory_entry_size;

struct PeHeaders {
    PeProblem problem = PeProblem::none;
    std::int64_t pe_offset = 0;
    std::uint16_t machine = 0;
    std::size_t optional_size = 0;  // as declared
    std::int64_t optional_start = 0;
    std::array<std::uint8_t, optional_read_size> optional{};
    std::size_t optional_read = 0;  // what of it was read: within the declared size and the file
};

PeHeaders read_pe_headers(std::FILE* file, std::int64_t file_size) {
    PeHeaders headers;
    std::uint8_t dos_header[dos_header_size];
    if (file_size < dos_header_size || !seek_stream(file, 0, SEEK_SET) ||
        !read_exact(file, dos_header, sizeof dos_header) || dos_header[0] != 'M' ||
        dos_header[1] != 'Z') {
        headers.problem = PeProblem::no_mz_header;
        return headers;
    }
    headers.pe_offset = load_le<std::uint32_t>(dos_header + pe_offset_at);
    if (headers.pe_offset > file_size - pe_header_size) {
        headers.problem = PeProblem::pe_header_outside_file;
        return headers;
    }
    std::uint8_t pe_header[pe_header_size];
    if (!seek_stream(file, headers.pe_offset, SEEK_SET) ||
        !read_exact(file, pe_header, sizeof pe_header) ||
        std::memcmp(pe_header, "PE\0\0", 4) != 0) {
        headers.problem = PeProblem::no_pe_signature;
        return headers;
    }
    headers.machine = load_le<std::uint16_t>(pe_header + machine_at);
    headers.optional_size = load_le<std::uint16_t>(pe_header + optional_size_at);
    headers.optional_start = headers.pe_offset + pe_header_size;
    const auto available = static_cast<std::size_t>(std::min<std::int64_t>(
        file_size - headers.optional_start, static_cast<std::int64_t>(optional_read_size)));
    const std::size_t wanted = std::min(available, headers.optional_size);
    if (read_exact(file, headers.optional.data(), wanted))
        headers.optional_read = wanted;
    return headers;
}

}  // namespace

Signature attachment_signature() {
    Signature signature;
    for (std::size_t i = 0; i < signature_size; ++i) {
        signature[i] = static_cast<std::uint8_t>(masked_signature.bytes[i] ^ signature_key(i));
    }
    return signature;
}

FixedFields decode_fixed_fields(const std::uint8_t* bytes) {
    return decode_fields(bytes);
}

void encode_fixed_fields(const FixedFields& fields, std::uint8_t* bytes) {
    encode_fields(fields, bytes);
}

std::uint32_t computed_header_size(std::uint16_t name_length, std::uint16_t parameters_length,
                                   bool has_lcid) {
    return header_size_for(name_length, parameters_length, has_lcid);
}

bool seek_stream(std::FILE* file, std::int64_t offset, int origin) {
    // A target before the start is refused here; with SEEK_END the runtime refuses it.
    if (origin == SEEK_SET && offset < 0)
        return false;
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tell_stream(std::FILE* file) {
    const off_t position = ftello(file);
    return position < 0 ? -1 : static_cast<std::int64_t>(position);
}

bool read_exact(std::FILE* file, void* buffer, std::size_t size) {
    return size == 0 || std::fread(buffer, 1, size, file) == size;
}

std::int64_t find_chain_end(std::FILE* file, std::int64_t search_end, const Signature& signature) {
    if (search_end < 0)
        return 0;
    // Each window is followed by the first 11 bytes of the window after it.
    SearchBuffer buffer;
    std::size_t carried = 0;
    std::int64_t start = search_end;
    while (start > 0) {
        const auto length = static_cast<std::size_t>(std::min(start, search_window_size));
        start -= static_cast<std::int64_t>(length);
        std::memmove(buffer.data() + length, buffer.data(), carried);
        if (!seek_stream(file, start, SEEK_SET) || !read_exact(file, buffer.data(), length)) {
            return 0;
        }
        const std::int64_t index = last_signature_in(buffer.data(), length + carried, signature);
        if (index >= 0)
            return start + index + signature_offset;
        carried = std::min(length, carry_size);
    }
    return -1;
}

std::int64_t find_first_signature(std::FILE* file, std::int64_t search_end,
                                  const Signature& signature) {
    if (search_end < 0)
        return -2;
    // Each window is preceded by the last 11 bytes of the window before it; `start` is the file
    // offset of the buffer's first byte.
    SearchBuffer buffer;
    std::size_t carried = 0;
    for (std::int64_t start = 0; start + static_cast<std::int64_t>(carried) < search_end;) {
        const std::int64_t next = start + static_cast<std::int64_t>(carried);
        const auto length =
            static_cast<std::size_t>(std::min(search_end - next, search_window_size));
        if (!seek_stream(file, next, SEEK_SET) ||
            !read_exact(file, buffer.data() + carried, length)) {
            return -2;
        }
        const std::size_t filled = carried + length;
        const std::int64_t index = first_signature_in(buffer.data(), filled, signature);
        if (index >= 0)
            return start + index;
        const std::size_t keep = std::min(filled, carry_size);
        std::memmove(buffer.data(), buffer.data() + filled - keep, keep);
        start += static_cast<std::int64_t>(filled - keep);
        carried = keep;
    }
    return -1;
}

std::optional<SecurityDirectory> read_security_directory(std::FILE* file, std::int64_t file_size) {
    const PeHeaders headers = read_pe_headers(file, file_size);
    if (headers.problem != PeProblem::none)
        return std::nullopt;
    std::size_t count_at = 0;
    switch (load_le<std::uint16_t>(headers.optional.data())) {
        case pe32_magic:
            count_at = pe32_count_at;
            break;
        case pe32_plus_magic:
            count_at = pe32_plus_count_at;
            break;
        default:
            return std::nullopt;
    }
    // NumberOfRvaAndSizes comes right before the directories; entry 4 must be inside the declared
    // header and inside the file.
    const std::size_t entry_at = count_at + 4 + security_entry * directory_entry_size;
    if (entry_at + directory_entry_size > headers.optional_read ||
        load_le<std::uint32_t>(headers.optional.data() + count_at) <= security_entry) {
        return std::nullopt;
    }
    SecurityDirectory directory;
    directory.offset = load_le<std::uint32_t>(headers.optional.data() + entry_at);
    directory.size = load_le<std::uint32_t>(headers.optional.data() + entry_at + 4);
    directory.headers_end =
        headers.optional_start + static_cast<std::int64_t>(headers.optional_size);
    return directory;
}

PeImageCheck check_pe_image(std::FILE* file, std::int64_t file_size) {
    const PeHeaders headers = read_pe_headers(file, file_size);
    PeImageCheck check;
    check.problem = headers.problem;
    check.pe_offset = headers.pe_offset;
    check.machine = headers.machine;
    if (check.problem != PeProblem::none)
        return check;
    if (check.machine != pe_machine_i386 && check.machine != pe_machine_amd64) {
        check.problem = PeProblem::unknown_machine;
        return check;
    }
    // An i386 image has a PE32 optional header, an AMD64 image a PE32+ one; the subsystem field
    // lies at the same offset in both.
    const std::uint16_t magic = check.machine == pe_machine_i386 ? pe32_magic : pe32_plus_magic;
    if (headers.optional_read < subsystem_at + 2 ||
        load_le<std::uint16_t>(headers.optional.data()) != magic) {
        check.problem = PeProblem::no_optional_header;
        return check;
    }
    check.subsystem = load_le<std::uint16_t>(headers.optional.data() + subsystem_at);
    if (check.subsystem != pe_subsystem_windows_gui)
        check.problem = PeProblem::not_windows_gui;
    return check;
}

std::int64_t certificate_table_offset(const SecurityDirectory& directory, std::int64_t file_size) {
    const std::int64_t offset = directory.offset;
    if (directory.size == 0 || offset < directory.headers_end || offset > file_size)
        return -1;
    return offset;
}

std::int64_t certificate_table_offset(std::FILE* file, std::int64_t file_size) {
    const std::optional<SecurityDirectory> directory = read_security_directory(file, file_size);
    return directory ? certificate_table_offset(*directory, file_size) : -1;
}

SignedRange read_signed_range(std::FILE* file, std::int64_t file_size) {
    SignedRange range;
    range.directory = read_security_directory(file, file_size);
    if (range.directory)
        range.certificate_table = certificate_table_offset(*range.directory, file_size);
    range.end = range.certificate_table >= 0 ? range.certificate_table : file_size;
    return range;
}

std::int64_t signed_range_end(std::FILE* file, std::int64_t file_size) {
    return read_signed_range(file, file_size).end;
}

std::vector<std::uint8_t> encode_attachment_header(const AttachmentPlan& plan,
                                                   const Signature& signature) {
    if (plan.name.size() > max_text_length || plan.parameters.size() > max_text_length)
        return {};
    FixedFields fields;
    fields.name_length = static_cast<std::uint16_t>(plan.name.size());
    fields.parameters_length = static_cast<std::uint16_t>(plan.parameters.size());
    fields.data_size = plan.data_size;
    fields.checksum = plan.checksum;
    fields.flags = plan.flags;
    const bool has_lcid = (plan.flags & flag_has_lcid) != 0;
    fields.header_size = header_size_for(fields.name_length, fields.parameters_length, has_lcid);

    std::vector<std::uint8_t> bytes;
    bytes.reserve(fields.header_size);
    if (has_lcid) {
        bytes.push_back(static_cast<std::uint8_t>(plan.lcid));
        bytes.push_back(static_cast<std::uint8_t>(plan.lcid >> 8));
    }
    append_text(bytes, plan.name);
    append_text(bytes, plan.parameters);
    bytes.resize(bytes.size() + fixed_fields_size);
    encode_fields(fields, bytes.data() + bytes.size() - fixed_fields_size);
    bytes.insert(bytes.end(), signature.begin(), signature.end());
    return bytes;
}
