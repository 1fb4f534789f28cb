// The reader of the attachment chain: walks it backwards from its end towards the executable
// image, through a window of the file that it keeps. Shared by the launcher and setup_packer;
// nothing here shows UI or ends the process: failures come back as ReadFailure values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "setup_payload/adler32.h"
#include "setup_payload/payload_format.h"

// One read fills the window with up to this many bytes below the end of what is asked for: a
// whole header, and with small files the headers and data of several attachments.
inline constexpr std::size_t chain_window_size = 65536;

// The reader of one launcher file's chain. Every step takes the end of the attachment it reads as
// a value and gives back where that attachment begins, which is the end of the one before it.
struct ChainReader {
    ChainReader(std::FILE* chain_file, const Signature& chain_signature)
        : file(chain_file), signature(chain_signature) {}

    std::FILE* file;
    Signature signature;
    std::unique_ptr<std::uint8_t[]> window;
    std::size_t capacity = 0;       // bytes allocated for the window
    std::int64_t window_start = 0;  // the file offset of the window's first byte
    std::size_t window_size = 0;    // bytes of the file that it holds
};

// Makes room in the window for `size` bytes; false (and nothing changes) when the memory can't be
// had.
bool reserve_chain_window(ChainReader& reader, std::size_t size);

// The `size` bytes of the file from `start` (0 or more): from the window when it holds them, else
// after one read that refills the window with the bytes below `start + size`, as many as it takes
// and at least these. When that read fails, these bytes alone are read, so that a failure is
// always one of the bytes asked for. Null when they can't be read. Valid until the next call.
const std::uint8_t* read_chain_bytes(ChainReader& reader, std::int64_t start, std::size_t size);

// The sum of data_size over the chain that ends at `chain_end`, stepping by header_size as
// stored. -1 when a signature or header can't be read, when a step would not move back by at
// least a header's fixed part, would move before the file's start, or the sum would overflow.
std::int64_t total_data_size(ChainReader& reader, std::int64_t chain_end);

// Reads the attachment whose signature ends at `end`, checking in the launcher's order:
// signature (signature_unreadable; not the signature or end < 12: end of chain), fixed fields
// (before_file_start when they would begin before the file's start, header_unreadable),
// header_size (header_size_mismatch), parameters (parameters_unreadable), name
// (name_unreadable), a file without a name (file_without_name), the LCID field
// (lcid_unreadable; skipped over with has_lcid even when the attachment is no command), an unsafe
// file name (unsafe_file_name), a command with neither name nor data (command_without_program),
// and data reaching before the file's start (before_file_start). A text or LCID field that would
// begin before the file's start is before_file_start. A name that U+0000 cuts to nothing is
// unsafe for a file and missing for a command. Does not read the data.
HeaderResult read_attachment_header(ChainReader& reader, std::int64_t end);

// ---- Driving the reader: the walk along the chain and the copy of an attachment's data ----

// What a walk does with each attachment it reads; false stops the walk.
using AttachmentVisitor = bool (*)(void* context, const AttachmentHeader& header);

struct ChainWalk {
    // The header the walk ended at: end_of_chain when the chain was read to its end, error (with
    // its failure and what was read of the header) when one can't be taken, attachment when the
    // visitor stopped the walk there.
    HeaderResult last;
    std::size_t attachments = 0;  // headers read, a failed one included
};

// Walks the chain that ends at `chain_end` back towards the image, as the launcher does: reads one
// header after the other (read_attachment_header; a chain_end below 12 ends it at once) and hands
// each attachment to `visit`, until the chain ends, a header fails or `visit` stops. errno is 0
// before each header is read: a failure shows a system error only when a read made one.
ChainWalk walk_chain(ChainReader& reader, std::int64_t chain_end, AttachmentVisitor visit,
                     void* context);

// What the copy of an attachment's data hands each chunk to; false stops the copy.
using ChunkSink = bool (*)(void* context, const std::uint8_t* bytes, std::size_t size);

enum class CopyFailure : std::uint8_t {
    none,
    memory,  // the window can't be made large enough for a chunk
    read,    // a chunk can't be read; errno was 0 before the read
    sink,    // the sink stopped the copy
};

struct DataCopy {
    CopyFailure failure = CopyFailure::none;
    std::uint32_t checksum = adler32_initial;  // of the data handed to the sink
};

// Copies the `size` bytes of data at `start` in chunks of at most `chunk_size` bytes (at least 1):
// one read each, through the window (a chunk that lies in it comes from there, with the headers
// and data around it; a larger one fills it on its own), one call of `sink` each, one update of
// the checksum each.
DataCopy copy_attachment_data(ChainReader& reader, std::int64_t start, std::uint64_t size,
                              std::uint64_t chunk_size, ChunkSink sink, void* context);