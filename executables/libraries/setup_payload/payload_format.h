// The byte format of the attachment chain stored behind the launcher's executable image, and the
// reading of it. Shared by the launcher and setup_packer. Nothing here shows UI or ends the
// process: failures come back as values (ReadFailure) that each tool words in its own way.
//
// One attachment, in ascending file offsets (numbers little-endian, texts UTF-16LE, unterminated):
//   data (data_size bytes) | LCID (2, when has_lcid) | name | parameters | fixed fields (21) |
//   signature (12)
// The chain is read backwards from the end of its last signature towards the executable image.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "setup_payload/file_names.h"  // the rules a file name in a header must follow

inline constexpr std::size_t signature_size = 12;
inline constexpr std::size_t fixed_fields_size = 21;
// Fixed fields plus signature: the part of every header that does not depend on its texts.
inline constexpr std::uint32_t header_overhead = 33;
inline constexpr std::uint32_t lcid_field_size = 2;
// The backward search for the last signature reads the file in windows of this size.
inline constexpr std::int64_t search_window_size = 8192;

enum AttachmentFlag : std::uint8_t {
    flag_is_file = 0x01,
    flag_is_command = 0x02,
    flag_has_lcid = 0x04,
    flag_run_in_extraction_dir = 0x08,
    flag_quiet = 0x10,
};

using Signature = std::array<std::uint8_t, signature_size>;

// The 12 signature bytes, assembled at run time so that they never stand together in an
// executable image that carries this code.
Signature attachment_signature();

// The largest text a header can carry: its lengths are 16-bit counts of UTF-16 code units.
inline constexpr std::size_t max_text_length = 65535;

// The 21 fixed bytes that precede the signature.
struct FixedFields {
    std::uint16_t name_length = 0;        // UTF-16 code units
    std::uint16_t parameters_length = 0;  // UTF-16 code units
    std::uint64_t data_size = 0;          // bytes of data ahead of the header
    std::uint32_t checksum = 0;           // Adler-32 of the data
    std::uint8_t flags = 0;               // AttachmentFlag bits
    std::uint32_t header_size = 0;        // bytes from LCID field or name to signature's end
};

FixedFields decode_fixed_fields(const std::uint8_t* bytes);  // reads fixed_fields_size bytes
void encode_fixed_fields(const FixedFields& fields, std::uint8_t* bytes);  // writes them

// 2 x name_length + 2 x parameters_length + 33, plus 2 with has_lcid.
std::uint32_t computed_header_size(std::uint16_t name_length, std::uint16_t parameters_length,
                                   bool has_lcid);

// 64-bit positioning of a stdio stream. seek_stream (origin SEEK_SET or SEEK_END) returns false on
// failure (also for a negative position, which is refused before the runtime is asked; with
// SEEK_END the runtime refuses it);
// tell_stream returns -1 on failure. read_exact is true only for a complete read.
bool seek_stream(std::FILE* file, std::int64_t offset, int origin);
std::int64_t tell_stream(std::FILE* file);
bool read_exact(std::FILE* file, void* buffer, std::size_t size);

// The offset just past the last signature that ends at or before `search_end`; -1 when there is
// none; 0 when a seek or read failed (also for a negative `search_end`). Reads 8192-byte windows
// backwards, each in one read, and also finds a signature lying across two windows. Moves the
// file position.
std::int64_t find_chain_end(std::FILE* file, std::int64_t search_end, const Signature& signature);

// The offset of the first signature that lies wholly in the file's first `search_end` bytes; -1
// when there is none; -2 when a seek or read failed (also for a negative `search_end`). The same
// search as find_chain_end's, forwards: 8192-byte windows, each in one read, and a signature lying
// across two windows found as well. Moves the file position.
std::int64_t find_first_signature(std::FILE* file, std::int64_t search_end,
                                  const Signature& signature);

// One attachment's header, decoded and validated.
struct AttachmentHeader {
    FixedFields fields;
    std::u16string name;        // up to its first U+0000
    std::u16string parameters;  // up to its first U+0000; empty when there are none
    std::uint16_t lcid = 0;     // the LCID field; 0 without has_lcid
    std::int64_t end = 0;       // offset just past the signature
    std::int64_t header_start = 0;
    std::int64_t data_start = 0;  // the attachment's first byte, where the one before it ends
};

inline bool is_extracted(const FixedFields& fields) {
    return fields.data_size != 0 || (fields.flags & flag_is_file) != 0;
}

enum class HeaderStatus { attachment, end_of_chain, error };

// Why a header can't be taken. The attachment it belongs to is named by its header's `end` and,
// once read, `name`. Each tool words a failure in its own way, from one table each: the launcher
// by a key of its string table (attachments.cpp), setup_packer in its own words (packer_chain.cpp).
enum class ReadFailure : std::uint8_t {
    none,
    signature_unreadable,     // the signature can't be read
    before_file_start,        // a field, or the data, would begin before the file's start
    header_unreadable,        // the fixed fields can't be read
    header_size_mismatch,     // header_size is not what the lengths and has_lcid make
    parameters_unreadable,    // the parameters can't be read
    name_unreadable,          // the name can't be read
    file_without_name,        // a file, or data, without a name
    lcid_unreadable,          // the LCID field can't be read
    unsafe_file_name,         // a file name that would not stay inside the extraction directory
    command_without_program,  // a command whose name is empty
};
inline constexpr std::size_t read_failure_count = 11;

struct HeaderResult {
    HeaderStatus status = HeaderStatus::end_of_chain;
    ReadFailure failure = ReadFailure::none;  // with HeaderStatus::error
    AttachmentHeader header;
};

// ---- The signed range ----
//
// Authenticode signs a PE file except for its certificate table, which the security data
// directory (entry 4 of the optional header's data directories) names by file offset and size.
// Bytes after the table's start are outside the signature: they can be appended or slipped into
// an enlarged table without Windows noticing, so they are never taken for payload.

// The security data directory as stored, with the end of the headers that hold it.
struct SecurityDirectory {
    std::uint32_t offset = 0;  // a file offset, not a relative virtual address
    std::uint32_t size = 0;
    std::int64_t headers_end = 0;  // the first byte after the optional header
};

// The security data directory of a PE image: "MZ", e_lfanew pointing inside the file at
// "PE\0\0", a PE32 (0x10B) or PE32+ (0x20B) optional header with more than 4 data directories
// and room for entry 4 in its declared size, all of it inside the file. nullopt for anything
// else: a file that is no PE image, or one whose headers are cut or nonsensical. Moves the file
// position.
std::optional<SecurityDirectory> read_security_directory(std::FILE* file, std::int64_t file_size);

// Whether a file is a Windows program that a launcher image can be: the checks in their order.
enum class PeProblem {
    none,
    no_mz_header,            // shorter than a DOS header, or not beginning with "MZ"
    pe_header_outside_file,  // e_lfanew points past the end of the file
    no_pe_signature,         // no "PE\0\0" where e_lfanew points
    unknown_machine,         // neither i386 nor AMD64
    no_optional_header,      // no PE32 (i386) or PE32+ (AMD64) optional header with a subsystem
    not_windows_gui,         // the subsystem is not the Windows GUI
};

inline constexpr std::uint16_t pe_machine_i386 = 0x14C;
inline constexpr std::uint16_t pe_machine_amd64 = 0x8664;
inline constexpr std::uint16_t pe_subsystem_windows_gui = 2;

struct PeImageCheck {
    PeProblem problem = PeProblem::none;
    std::int64_t pe_offset = 0;   // e_lfanew, once the DOS header was read
    std::uint16_t machine = 0;    // once the PE header was read
    std::uint16_t subsystem = 0;  // once the optional header was read
};

// Checks the headers of a PE image for a Windows GUI program for i386 or AMD64. Moves the file
// position.
PeImageCheck check_pe_image(std::FILE* file, std::int64_t file_size);

// The certificate table's file offset when the directory names a sane one: a size above 0, an
// offset at or after the headers' end and at most `file_size`. The table need not end by the
// file's end: a table that was enlarged (or a file cut short) still ends the signed range at its
// start. -1 otherwise.
std::int64_t certificate_table_offset(const SecurityDirectory& directory, std::int64_t file_size);
std::int64_t certificate_table_offset(std::FILE* file, std::int64_t file_size);

// The part of a file that is payload: up to the certificate table in a signed file, else all of it.
struct SignedRange {
    std::optional<SecurityDirectory> directory;  // as stored, when the file is a PE image
    std::int64_t certificate_table = -1;         // its offset when it names a sane table
    std::int64_t end = 0;  // where the search for the chain's end starts: the table, or the end
};
// Moves the file position.
SignedRange read_signed_range(std::FILE* file, std::int64_t file_size);
// read_signed_range's end alone.
std::int64_t signed_range_end(std::FILE* file, std::int64_t file_size);

// What a builder says about one attachment; the header's lengths and size follow from it.
struct AttachmentPlan {
    std::u16string name;
    std::u16string parameters;
    std::uint16_t lcid = 0;  // written only with flag_has_lcid
    std::uint8_t flags = 0;
    std::uint64_t data_size = 0;
    std::uint32_t checksum = 1;
};

// The header bytes of one attachment (LCID field, name, parameters, fixed fields, signature), to
// be written right after its data. Empty when a text exceeds 65535 code units.
std::vector<std::uint8_t> encode_attachment_header(const AttachmentPlan& plan,
                                                   const Signature& signature);
