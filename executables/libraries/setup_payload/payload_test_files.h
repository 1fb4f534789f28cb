// Test-only helpers of the payload library's tests: launcher files in memory and in temporary
// files, attachments as a builder appends them, and the names a file may not have.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "setup_payload/adler32.h"
#include "setup_payload/chain_reader.h"
#include "setup_payload/file_handle.h"
#include "setup_payload/file_names.h"
#include "setup_payload/payload_format.h"
#include "setup_payload/text_encoding.h"

namespace payload_test {

using Bytes = std::vector<std::uint8_t>;

inline const Signature signature = attachment_signature();

using File = FileHandle;

// A real temporary file holding `bytes`, removed when it is closed.
inline File file_with(const Bytes& bytes) {
    File file(std::tmpfile());
    if (!file)
        throw std::runtime_error("no temporary file");
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0) {
        throw std::runtime_error("the temporary file can't be written");
    }
    return file;
}

inline std::int64_t size_of(const Bytes& bytes) {
    return static_cast<std::int64_t>(bytes.size());
}

inline void append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

inline Bytes filler(std::size_t size, std::uint8_t value = 0xCC) {
    return Bytes(size, value);
}

// Adler-32 of the data.
inline std::uint32_t checksum_of(const Bytes& data) {
    return static_cast<std::uint32_t (*)(std::uint32_t, const void*, std::uint64_t)>(adler32)(
        adler32_initial, data.data(), data.size());
}

inline AttachmentPlan file_spec(std::u16string name, const Bytes& data,
                                std::uint8_t more_flags = 0) {
    AttachmentPlan plan;
    plan.name = std::move(name);
    plan.flags = flag_is_file | more_flags;
    plan.data_size = data.size();
    plan.checksum = checksum_of(data);
    return plan;
}

inline AttachmentPlan command_spec(std::u16string program, std::u16string parameters,
                                   std::uint8_t more_flags = 0, std::uint16_t lcid = 0) {
    AttachmentPlan plan;
    plan.name = std::move(program);
    plan.parameters = std::move(parameters);
    plan.flags = flag_is_command | more_flags;
    plan.lcid = lcid;
    plan.checksum = 0;
    return plan;
}

// Appends one attachment: its data, then its header.
inline void append_attachment(Bytes& chain, const AttachmentPlan& plan, const Bytes& data = {}) {
    append(chain, data);
    append(chain, encode_attachment_header(plan, signature));
}

inline Bytes with_attachment(Bytes chain, const AttachmentPlan& plan, const Bytes& data = {}) {
    append_attachment(chain, plan, data);
    return chain;
}

// Changes the stored fixed fields of the attachment at the end of `chain`.
inline Bytes with_last_fields(Bytes chain, const std::function<void(FixedFields&)>& change) {
    std::uint8_t* bytes = chain.data() + chain.size() - header_overhead;
    FixedFields fields = decode_fixed_fields(bytes);
    change(fields);
    encode_fixed_fields(fields, bytes);
    return chain;
}

// `size` filler bytes with a signature ending at each of `ends`.
inline Bytes with_signatures_ending_at(std::size_t size, std::initializer_list<std::size_t> ends) {
    Bytes bytes = filler(size);
    for (const std::size_t end : ends) {
        std::copy(signature.begin(), signature.end(), bytes.begin() + (end - signature_size));
    }
    return bytes;
}

inline std::int64_t chain_end_in(const Bytes& bytes, std::int64_t search_end) {
    const File file = file_with(bytes);
    return find_chain_end(file.get(), search_end, signature);
}

inline std::int64_t chain_end_in(const Bytes& bytes) {
    return chain_end_in(bytes, size_of(bytes));
}

// The header that ends at `end`, as a fresh reader reads it.
inline HeaderResult header_at(std::FILE* file, std::int64_t end) {
    ChainReader reader{file, signature};
    return read_attachment_header(reader, end);
}

inline std::int64_t total_of(std::FILE* file, std::int64_t chain_end) {
    ChainReader reader{file, signature};
    return total_data_size(reader, chain_end);
}

inline std::int64_t total_in(const Bytes& bytes, std::int64_t chain_end) {
    const File file = file_with(bytes);
    return total_of(file.get(), chain_end);
}

struct NameCase {
    std::u16string_view name;
    NameProblem problem;
};

// Every kind of name that Windows would not create as written below the extraction directory.
inline const std::vector<NameCase> refused_names = {
    {u"", NameProblem::empty},
    {u"/etc/passwd", NameProblem::leading_separator},
    {u"\\a", NameProblem::leading_separator},
    {u"\\\\?\\C:\\a", NameProblem::leading_separator},
    {u"\\\\.\\COM1", NameProblem::leading_separator},
    {u"//server/share", NameProblem::leading_separator},
    {u"C:a", NameProblem::colon},
    {u"C:\\a", NameProblem::colon},
    {u"file.txt:stream", NameProblem::colon},
    {u"dir/a:b", NameProblem::colon},
    {u"a\tb", NameProblem::control_character},
    {u"a\u0001", NameProblem::control_character},
    {u"dir\u001f/b", NameProblem::control_character},
    {u"a<b", NameProblem::reserved_character},
    {u"a>b", NameProblem::reserved_character},
    {u"a\"b", NameProblem::reserved_character},
    {u"a|b", NameProblem::reserved_character},
    {u"dir/?.txt", NameProblem::reserved_character},
    {u"*.*", NameProblem::reserved_character},
    {u"a//b", NameProblem::empty_component},
    {u"a\\/b", NameProblem::empty_component},
    {u"dir\\", NameProblem::empty_component},
    {u".", NameProblem::dots_component},
    {u"..", NameProblem::dots_component},
    {u"./a", NameProblem::dots_component},
    {u"a\\.\\b", NameProblem::dots_component},
    {u"..\\a", NameProblem::dots_component},
    {u"a/..", NameProblem::dots_component},
    {u"...", NameProblem::dots_component},
    {u". .", NameProblem::dots_component},
    {u" ", NameProblem::dots_component},
    {u"a\\.. \\b", NameProblem::dots_component},
    {u"a.", NameProblem::trailing_dot_or_space},
    {u"a ", NameProblem::trailing_dot_or_space},
    {u"dir./x", NameProblem::trailing_dot_or_space},
    {u"dir /x", NameProblem::trailing_dot_or_space},
    {u"setup.exe.", NameProblem::trailing_dot_or_space},
    {u"CON .", NameProblem::trailing_dot_or_space},
    {u"con", NameProblem::device_name},
    {u"CON", NameProblem::device_name},
    {u"Con.txt", NameProblem::device_name},
    {u"nul.tar.gz", NameProblem::device_name},
    {u"PRN", NameProblem::device_name},
    {u"aux.h", NameProblem::device_name},
    {u"COM1", NameProblem::device_name},
    {u"com9.log", NameProblem::device_name},
    {u"COM0", NameProblem::device_name},
    {u"lpt1", NameProblem::device_name},
    {u"LPT9.txt", NameProblem::device_name},
    {u"COM\u00b9", NameProblem::device_name},
    {u"lpt\u00b3.txt", NameProblem::device_name},
    {u"CONIN$", NameProblem::device_name},
    {u"conout$.x", NameProblem::device_name},
    {u"CON .txt", NameProblem::device_name},
    {u"nul  ..txt", NameProblem::device_name},
    {u"deep/er/con.txt", NameProblem::device_name},
    {u"NUL\\x.txt", NameProblem::device_name},
};

}  // namespace payload_test
