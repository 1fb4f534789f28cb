#include "setup_payload/chain_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "setup_payload/adler32.h"

namespace {

constexpr std::int64_t signature_offset = signature_size;      // end - this: the signature
constexpr std::int64_t fixed_fields_offset = header_overhead;  // end - this: the fixed fields

// Reads `size` bytes at `start` into the window, which then holds exactly them. Memory for it
// is allocated as any other: a failure is the process's out-of-memory report, not a read error.
bool fill_window(ChainReader& reader, std::int64_t start, std::size_t size) {
    if (size > reader.capacity) {
        reader.window.reset(new std::uint8_t[size]);
        reader.capacity = size;
    }
    reader.window_size = 0;
    if (!seek_stream(reader.file, start, SEEK_SET) ||
        !read_exact(reader.file, reader.window.get(), size)) {
        return false;
    }
    reader.window_start = start;
    reader.window_size = size;
    return true;
}

// What ends at an offset: an attachment's signature, or other bytes (also below offset 12), where
// the chain has ended; or nothing that can be read.
enum class Mark { signature, end_of_chain, unreadable };

Mark mark_ending_at(ChainReader& reader, std::int64_t end) {
    if (end < signature_offset)
        return Mark::end_of_chain;
    const std::uint8_t* bytes = read_chain_bytes(reader, end - signature_offset, signature_size);
    if (bytes == nullptr)
        return Mark::unreadable;
    return std::memcmp(bytes, reader.signature.data(), signature_size) == 0 ? Mark::signature
                                                                            : Mark::end_of_chain;
}

// Moves `position` down over a field of `size` bytes and reads it into `bytes`. none on success,
// else the failure: before_file_start when the field would begin before the file's start,
// `read_error` when it can't be read.
ReadFailure read_field_below(ChainReader& reader, std::int64_t& position, std::size_t size,
                             const std::uint8_t*& bytes, ReadFailure read_error) {
    if (position < static_cast<std::int64_t>(size))
        return ReadFailure::before_file_start;
    position -= static_cast<std::int64_t>(size);
    bytes = read_chain_bytes(reader, position, size);
    return bytes != nullptr ? ReadFailure::none : read_error;
}

// Reads a text of `units` UTF-16LE code units that ends at `position`, keeping it up to its
// first U+0000, and moves `position` to its start. As read_field_below; an empty text reads
// nothing.
ReadFailure read_text_below(ChainReader& reader, std::int64_t& position, std::uint16_t units,
                            std::u16string& text, ReadFailure read_error) {
    if (units == 0)
        return ReadFailure::none;
    const std::uint8_t* bytes = nullptr;
    if (const ReadFailure failure =
            read_field_below(reader, position, 2 * std::size_t{units}, bytes, read_error);
        failure != ReadFailure::none) {
        return failure;
    }
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return ReadFailure::none;
}

// The texts and the LCID field below the fixed fields, and what they allow; `position` moves to
// the header's first byte. none when all is well, else the first failure.
ReadFailure read_header_texts(ChainReader& reader, std::int64_t& position,
                              AttachmentHeader& header) {
    const FixedFields& fields = header.fields;
    ReadFailure failure = read_text_below(reader, position, fields.parameters_length,
                                          header.parameters, ReadFailure::parameters_unreadable);
    if (failure == ReadFailure::none) {
        failure = read_text_below(reader, position, fields.name_length, header.name,
                                  ReadFailure::name_unreadable);
    }
    if (failure != ReadFailure::none)
        return failure;
    const bool extracted = is_extracted(fields);
    if (fields.name_length == 0 && extracted)
        return ReadFailure::file_without_name;
    // header_size counts the LCID field whenever has_lcid is set, so it is passed over also for
    // an attachment that is no command; otherwise the data would be taken two bytes off.
    if ((fields.flags & flag_has_lcid) != 0) {
        const std::uint8_t* bytes = nullptr;
        failure = read_field_below(reader, position, lcid_field_size, bytes,
                                   ReadFailure::lcid_unreadable);
        if (failure != ReadFailure::none)
            return failure;
        header.lcid = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
    }
    if (extracted && !is_safe_relative_name(header.name))
        return ReadFailure::unsafe_file_name;
    if ((fields.flags & flag_is_command) != 0 && header.name.empty())
        return ReadFailure::command_without_program;
    return ReadFailure::none;
}

}  // namespace

bool reserve_chain_window(ChainReader& reader, std::size_t size) {
    if (size <= reader.capacity)
        return true;
    std::uint8_t* window = new (std::nothrow) std::uint8_t[size];
    if (window == nullptr)
        return false;
    reader.window.reset(window);
    reader.capacity = size;
    reader.window_size = 0;
    return true;
}

const std::uint8_t* read_chain_bytes(ChainReader& reader, std::int64_t start, std::size_t size) {
    const std::int64_t end = start + static_cast<std::int64_t>(size);
    if (start < reader.window_start ||
        end > reader.window_start + static_cast<std::int64_t>(reader.window_size)) {
        const auto below = std::max(
            size, static_cast<std::size_t>(std::min<std::int64_t>(end, chain_window_size)));
        if (!fill_window(reader, end - static_cast<std::int64_t>(below), below) &&
            (below == size || !fill_window(reader, start, size))) {
            return nullptr;
        }
    }
    return reader.window.get() + (start - reader.window_start);
}

std::int64_t total_data_size(ChainReader& reader, std::int64_t chain_end) {
    constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
    std::int64_t position = chain_end;
    std::int64_t total = 0;
    for (;;) {
        const Mark mark = mark_ending_at(reader, position);
        if (mark == Mark::end_of_chain)
            return total;
        const std::uint8_t* bytes = nullptr;
        if (mark == Mark::unreadable || position < fixed_fields_offset ||
            (bytes = read_chain_bytes(reader, position - fixed_fields_offset, fixed_fields_size)) ==
                nullptr) {
            return -1;
        }
        const FixedFields fields = decode_fixed_fields(bytes);
        // header_size is taken as stored, without the check that the reader makes; so the step
        // is checked instead: it must pass at least one header's fixed part, stay within the file
        // and keep the sum representable. Otherwise a damaged chain would be walked forever.
        if (fields.data_size > static_cast<std::uint64_t>(int64_max))
            return -1;
        const auto data_size = static_cast<std::int64_t>(fields.data_size);
        const std::int64_t header_size = static_cast<std::int32_t>(fields.header_size);
        if (header_size > 0 && data_size > int64_max - header_size)
            return -1;
        const std::int64_t step = header_size + data_size;
        if (step < fixed_fields_offset || step > position || data_size > int64_max - total)
            return -1;
        total += data_size;
        position -= step;
    }
}

HeaderResult read_attachment_header(ChainReader& reader, std::int64_t end) {
    HeaderResult result;
    AttachmentHeader& header = result.header;
    header.end = end;
    const auto error = [&result](ReadFailure failure) {
        result.status = HeaderStatus::error;
        result.failure = failure;
        return result;
    };

    // Nothing but the signature marks an attachment; without it the chain has ended. Its read
    // fills the window below it, which then holds the rest of the header.
    const Mark mark = mark_ending_at(reader, end);
    if (mark == Mark::end_of_chain)
        return result;
    if (mark == Mark::unreadable)
        return error(ReadFailure::signature_unreadable);
    std::int64_t position = end - signature_offset;
    const std::uint8_t* bytes = nullptr;
    if (const ReadFailure failure = read_field_below(reader, position, fixed_fields_size, bytes,
                                                     ReadFailure::header_unreadable);
        failure != ReadFailure::none) {
        return error(failure);
    }
    header.fields = decode_fixed_fields(bytes);
    const FixedFields& fields = header.fields;
    if (computed_header_size(fields.name_length, fields.parameters_length,
                             (fields.flags & flag_has_lcid) != 0) != fields.header_size) {
        return error(ReadFailure::header_size_mismatch);
    }
    if (const ReadFailure failure = read_header_texts(reader, position, header);
        failure != ReadFailure::none) {
        return error(failure);
    }

    header.header_start = position;
    if (fields.data_size > static_cast<std::uint64_t>(position))
        return error(ReadFailure::before_file_start);
    header.data_start = position - static_cast<std::int64_t>(fields.data_size);
    result.status = HeaderStatus::attachment;
    return result;
}

ChainWalk walk_chain(ChainReader& reader, std::int64_t chain_end, AttachmentVisitor visit,
                     void* context) {
    // Each header is made in place and moved once, into the result: the launcher's image stays
    // small without an assignment of headers.
    std::size_t attachments = 0;
    for (std::int64_t end = chain_end;;) {
        errno = 0;
        HeaderResult result = read_attachment_header(reader, end);
        if (result.status != HeaderStatus::end_of_chain)
            ++attachments;
        if (result.status != HeaderStatus::attachment || !visit(context, result.header))
            return ChainWalk{std::move(result), attachments};
        end = result.header.data_start;
    }
}

DataCopy copy_attachment_data(ChainReader& reader, std::int64_t start, std::uint64_t size,
                              std::uint64_t chunk_size, ChunkSink sink, void* context) {
    DataCopy copy;
    if (!reserve_chain_window(reader, static_cast<std::size_t>(std::min(size, chunk_size)))) {
        copy.failure = CopyFailure::memory;
        return copy;
    }
    for (std::uint64_t remaining = size; remaining > 0;) {
        const auto chunk = static_cast<std::size_t>(std::min(remaining, chunk_size));
        errno = 0;
        const std::uint8_t* bytes = read_chain_bytes(reader, start, chunk);
        if (bytes == nullptr) {
            copy.failure = CopyFailure::read;
            return copy;
        }
        if (!sink(context, bytes, chunk)) {
            copy.failure = CopyFailure::sink;
            return copy;
        }
        copy.checksum = adler32(copy.checksum, bytes, chunk);
        start += static_cast<std::int64_t>(chunk);
        remaining -= chunk;
    }
    return copy;
}
