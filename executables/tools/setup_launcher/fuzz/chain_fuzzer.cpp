// Feeds arbitrary launcher files to the PE header reader that finds the certificate table, the
// search for the chain's end, the sizing pre-pass and the header reader, and checks what they
// report against the bytes themselves.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "setup_payload/chain_reader.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// One in-memory file, refilled for every input, read through stdio like the launcher's own file.
std::FILE* launcher_file() {
    static std::FILE* const file = [] {
        const int descriptor = memfd_create("launcher", 0);
        std::FILE* opened = descriptor >= 0 ? fdopen(descriptor, "w+b") : nullptr;
        if (opened == nullptr)
            std::abort();
        return opened;
    }();
    return file;
}

void fill(std::FILE* file, const std::uint8_t* data, std::size_t size) {
    if (std::fflush(file) != 0 || ftruncate(fileno(file), 0) != 0)
        std::abort();
    std::rewind(file);
    if (std::fwrite(data, 1, size, file) != size || std::fflush(file) != 0)
        std::abort();
}

// The end of the last signature that ends by `search_end`, found the plain way; -1 for none.
std::int64_t last_signature_end(const std::uint8_t* data, std::size_t search_end,
                                const Signature& signature) {
    for (std::size_t end = search_end; end >= signature_size; --end) {
        if (std::memcmp(data + end - signature_size, signature.data(), signature_size) == 0) {
            return static_cast<std::int64_t>(end);
        }
    }
    return -1;
}

// The little-endian number of `bytes` bytes at `at`; bytes past the end count as 0.
std::uint64_t load(const std::uint8_t* data, std::size_t size, std::uint64_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes; i-- > 0;)
        value = value << 8 | (at + i < size ? data[at + i] : 0);
    return value;
}

// The certificate table's offset read the plain way from the bytes in memory; -1 for none.
std::int64_t plain_certificate_table(const std::uint8_t* data, std::size_t size) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z')
        return -1;
    const std::uint64_t pe = load(data, size, 0x3C, 4);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0)
        return -1;
    const std::uint64_t optional_size = load(data, size, pe + 20, 2);
    const std::uint64_t magic = load(data, size, pe + 24, 2);
    if (optional_size < 2 || pe + 26 > size || (magic != 0x10B && magic != 0x20B))
        return -1;
    const std::uint64_t count_at = magic == 0x10B ? 92 : 108;
    const std::uint64_t entry_end = count_at + 4 + 5 * 8;
    if (entry_end > optional_size || pe + 24 + entry_end > size ||
        load(data, size, pe + 24 + count_at, 4) <= 4) {
        return -1;
    }
    const std::uint64_t offset = load(data, size, pe + 24 + entry_end - 8, 4);
    const std::uint64_t table_size = load(data, size, pe + 24 + entry_end - 4, 4);
    if (table_size == 0 || offset < pe + 24 + optional_size || offset > size)
        return -1;
    return static_cast<std::int64_t>(offset);
}

// Walks the chain back from `chain_end` as the launcher does and returns the sum of its data when
// the walk reaches the chain's start without an error, else -1.
std::int64_t walk(std::FILE* file, const std::uint8_t* data, std::int64_t chain_end,
                  const Signature& signature) {
    ChainReader reader{file, signature};
    std::int64_t end = chain_end;
    std::int64_t total = 0;
    for (int steps = 0; steps < 4096; ++steps) {
        const HeaderResult result = read_attachment_header(reader, end);
        if (result.status == HeaderStatus::end_of_chain)
            return total;
        if (result.status == HeaderStatus::error) {
            check(result.failure != ReadFailure::none);
            return -1;
        }
        const AttachmentHeader& header = result.header;
        const FixedFields& fields = header.fields;
        check(header.end == end);
        check(header.header_start == end - std::int64_t{fields.header_size});
        check(header.data_start >= 0 && header.data_start <= header.header_start);
        check(static_cast<std::uint64_t>(header.header_start - header.data_start) ==
              fields.data_size);
        check(header.name.size() <= fields.name_length &&
              header.parameters.size() <= fields.parameters_length);
        check(header.name.find(u'\0') == std::u16string::npos &&
              header.parameters.find(u'\0') == std::u16string::npos);
        if (is_extracted(fields))
            check(is_safe_relative_name(header.name));
        if ((fields.flags & flag_is_command) != 0)
            check(!header.name.empty());
        if ((fields.flags & flag_has_lcid) == 0)
            check(header.lcid == 0);

        // Texts without U+0000 encode back to the very bytes they were read from.
        if (header.name.size() == fields.name_length &&
            header.parameters.size() == fields.parameters_length) {
            const AttachmentPlan plan{header.name,  header.parameters, header.lcid,
                                      fields.flags, fields.data_size,  fields.checksum};
            const std::vector<std::uint8_t> bytes = encode_attachment_header(plan, signature);
            check(bytes.size() == fields.header_size);
            check(std::memcmp(bytes.data(), data + header.header_start, bytes.size()) == 0);
        }
        total += static_cast<std::int64_t>(fields.data_size);
        end = header.data_start;
    }
    return -1;
}

// Appends trailing data (zeros, like the padding of a certificate table) so long that the border
// between the two highest search windows falls inside the input, which is mostly shorter than one
// window; the result must not change.
void check_search_across_a_border(std::FILE* file, const std::uint8_t* data, std::size_t size,
                                  std::int64_t chain_end, const Signature& signature) {
    static const std::uint8_t zeros[search_window_size] = {};
    const std::size_t span = std::min(size, static_cast<std::size_t>(search_window_size));
    const std::size_t above_border = (std::size_t{data[0]} << 8 | data[size - 1]) % span;
    const std::size_t trailing = search_window_size - above_border;
    if (!seek_stream(file, 0, SEEK_END) || std::fwrite(zeros, 1, trailing, file) != trailing ||
        std::fflush(file) != 0) {
        std::abort();
    }
    check(find_chain_end(file, static_cast<std::int64_t>(size + trailing), signature) == chain_end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Signature signature = attachment_signature();
    std::FILE* const file = launcher_file();
    fill(file, data, size);
    const auto file_size = static_cast<std::int64_t>(size);

    if (size >= fixed_fields_size) {
        std::uint8_t bytes[fixed_fields_size];
        encode_fixed_fields(decode_fixed_fields(data), bytes);
        check(std::memcmp(bytes, data, fixed_fields_size) == 0);
    }

    const std::int64_t table = certificate_table_offset(file, file_size);
    check(table == plain_certificate_table(data, size));
    const std::int64_t signed_end = signed_range_end(file, file_size);
    check(signed_end == (table >= 0 ? table : file_size));
    check(find_chain_end(file, signed_end, signature) ==
          last_signature_end(data, static_cast<std::size_t>(signed_end), signature));

    const std::int64_t chain_end = find_chain_end(file, file_size, signature);
    check(chain_end == last_signature_end(data, size, signature));
    if (size > 0) {
        // A search that ends inside the file, as over a launcher with trailing data.
        const std::size_t search_end = size - (std::size_t{data[size - 1]} * 257) % (size + 1);
        check(find_chain_end(file, static_cast<std::int64_t>(search_end), signature) ==
              last_signature_end(data, search_end, signature));
    }
    if (chain_end > 0) {
        ChainReader reader{file, signature};
        const std::int64_t total = total_data_size(reader, chain_end);
        check(total >= -1);
        const std::int64_t walked = walk(file, data, chain_end, signature);
        // Over a chain that the reader accepts, the pre-pass takes the same steps.
        if (walked >= 0)
            check(total == walked);
    }
    if (size > 0)
        check_search_across_a_border(file, data, size, chain_end, signature);
    return 0;
}
