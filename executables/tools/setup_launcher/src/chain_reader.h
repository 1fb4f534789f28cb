// The reader of the attachment chain: walks it backwards from its end towards the executable
// image, through a window of the file that it keeps. Shared by the launcher and setup_packer;
// nothing here shows UI or ends the process: failures come back as error keys of the launcher's
// string table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "payload_format.h"

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
// signature ("error_reading_signature"; not the signature or end < 12: end of chain), fixed
// fields ("error_reading" when they would begin before the file's start, "error_reading_header"),
// header_size ("error_corrupt_header"), parameters ("error_reading_parameters"), name
// ("error_reading_file_name"), a file without a name ("error_file_without_name"), the LCID field
// ("error_reading_LCID"; skipped over with has_lcid even when the attachment is no command), an
// unsafe file name ("error_invalid_file_name"), a command with neither name nor data
// ("error_corrupt_header"), and data reaching before the file's start ("error_reading").
// A text or LCID field that would begin before the file's start is "error_reading". A name that
// U+0000 cuts to nothing is unsafe for a file and missing for a command. Does not read the data.
HeaderResult read_attachment_header(ChainReader& reader, std::int64_t end);
