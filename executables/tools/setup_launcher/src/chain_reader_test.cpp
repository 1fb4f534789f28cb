#include "chain_reader.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "adler32.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Signature signature = attachment_signature();

// A launcher file in memory behind a stream that notes every read: where it began (the stream
// is positioned for each) and how many bytes came. A read that reaches one offset fails there,
// as at a bad sector.
struct CountedFile {
    struct Read {
        std::int64_t offset;
        std::size_t size;
        bool operator==(const Read&) const = default;
    };
    Bytes bytes;
    std::int64_t position = 0;
    std::int64_t bad_offset = -1;
    std::vector<Read> reads;
    std::FILE* stream = nullptr;

    explicit CountedFile(Bytes content) : bytes(std::move(content)) {
        const cookie_io_functions_t functions{deliver, nullptr, seek, nullptr};
        stream = fopencookie(this, "rb", functions);
        // Unbuffered, the stream asks for its bytes one at a time, so that they are told apart.
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    ~CountedFile() { std::fclose(stream); }
    CountedFile(const CountedFile&) = delete;
    CountedFile& operator=(const CountedFile&) = delete;

    static ssize_t deliver(void* cookie, char* buffer, std::size_t size) {
        auto& file = *static_cast<CountedFile*>(cookie);
        if (file.position == file.bad_offset)
            return -1;
        if (file.position >= static_cast<std::int64_t>(file.bytes.size()) || size == 0)
            return 0;
        *buffer = static_cast<char>(file.bytes[static_cast<std::size_t>(file.position++)]);
        if (!file.reads.empty())
            ++file.reads.back().size;
        return 1;
    }
    static int seek(void* cookie, off64_t* offset, int whence) {
        auto& file = *static_cast<CountedFile*>(cookie);
        if (whence != SEEK_SET)
            return -1;
        file.position = *offset;
        file.reads.push_back({file.position, 0});
        return 0;
    }
};

Bytes numbered(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

bool holds(const std::uint8_t* got, const Bytes& bytes, std::int64_t start, std::size_t size) {
    return got != nullptr && std::memcmp(got, bytes.data() + start, size) == 0;
}

TEST(ReadChainBytes, FillsTheWindowBelowWhatIsAskedAndServesFromIt) {
    CountedFile file(numbered(200000));
    ChainReader reader(file.stream, signature);

    EXPECT_TRUE(holds(read_chain_bytes(reader, 150000, 12), file.bytes, 150000, 12));
    ASSERT_EQ(file.reads.size(), 1u);
    EXPECT_EQ(file.reads.back(), (CountedFile::Read{150012 - 65536, 65536}));
    // Anything below, down to the window's start, comes without a read.
    EXPECT_TRUE(
        holds(read_chain_bytes(reader, 150012 - 65536, 100), file.bytes, 150012 - 65536, 100));
    EXPECT_TRUE(holds(read_chain_bytes(reader, 149000, 1012), file.bytes, 149000, 1012));
    EXPECT_EQ(file.reads.size(), 1u);

    // One byte beyond either end: a new window that ends with what is asked.
    EXPECT_TRUE(holds(read_chain_bytes(reader, 150012 - 65537, 1), file.bytes, 150012 - 65537, 1));
    EXPECT_EQ(file.reads.back(), (CountedFile::Read{150012 - 65536 - 65536, 65536}));
    EXPECT_TRUE(holds(read_chain_bytes(reader, 150000, 13), file.bytes, 150000, 13));
    EXPECT_EQ(file.reads.size(), 3u);

    // Near the file's start the window reaches down to it; more than a window is read as asked.
    EXPECT_TRUE(holds(read_chain_bytes(reader, 10, 20), file.bytes, 10, 20));
    EXPECT_EQ(file.reads.back(), (CountedFile::Read{0, 30}));
    EXPECT_TRUE(holds(read_chain_bytes(reader, 1000, 150000), file.bytes, 1000, 150000));
    EXPECT_EQ(file.reads.back(), (CountedFile::Read{1000, 150000}));
    EXPECT_TRUE(holds(read_chain_bytes(reader, 149000, 2000), file.bytes, 149000, 2000));
    EXPECT_EQ(file.reads.size(), 5u);
}

TEST(ReadChainBytes, AFailureIsOneOfTheBytesAskedFor) {
    CountedFile file(numbered(100000));
    file.bad_offset = 50000;
    ChainReader reader(file.stream, signature);

    // The window below would take in the bad byte; the bytes asked for are read alone.
    EXPECT_TRUE(holds(read_chain_bytes(reader, 60000, 33), file.bytes, 60000, 33));
    EXPECT_EQ(file.reads.back(), (CountedFile::Read{60000, 33}));
    EXPECT_EQ(read_chain_bytes(reader, 49990, 20), nullptr);
    EXPECT_TRUE(holds(read_chain_bytes(reader, 50001, 10), file.bytes, 50001, 10));

    // Bytes past the file's end can't be read, and after a failed read the window is gone.
    EXPECT_EQ(read_chain_bytes(reader, 99990, 11), nullptr);
    const std::size_t reads = file.reads.size();
    EXPECT_TRUE(holds(read_chain_bytes(reader, 50005, 2), file.bytes, 50005, 2));
    EXPECT_GT(file.reads.size(), reads)
        << "a window whose read failed is dropped, never handed out";
    EXPECT_TRUE(holds(read_chain_bytes(reader, 99990, 10), file.bytes, 99990, 10));
}

// Appends one attachment: its data, then its header.
void append_file(Bytes& chain, const std::u16string& name, std::size_t size) {
    const Bytes data = numbered(size);
    AttachmentPlan plan;
    plan.name = name;
    plan.flags = flag_is_file;
    plan.data_size = size;
    plan.checksum = adler32(adler32_initial, data.data(), data.size());
    chain.insert(chain.end(), data.begin(), data.end());
    const Bytes header = encode_attachment_header(plan, signature);
    chain.insert(chain.end(), header.begin(), header.end());
}

TEST(ChainReader, WalksManySmallAttachmentsInAFewReads) {
    Bytes chain(4096, 'i');
    std::int64_t data_total = 0;
    for (int i = 0; i < 400; ++i) {
        const std::size_t size = 200 + static_cast<std::size_t>(i) * 37 % 4800;
        append_file(chain, u"dir" + std::u16string(1, u'a' + i % 26) + u"/file.bin", size);
        data_total += static_cast<std::int64_t>(size);
    }
    const auto chain_end = static_cast<std::int64_t>(chain.size());
    CountedFile file(chain);
    ChainReader reader(file.stream, signature);

    // The sizing pass and the reading pass each read the chain once, a window at a time.
    const std::size_t windows = chain.size() / chain_window_size + 1;
    EXPECT_EQ(total_data_size(reader, chain_end), data_total);
    EXPECT_LE(file.reads.size(), 2 * windows);
    file.reads.clear();
    int attachments = 0;
    std::int64_t end = chain_end;
    for (;;) {
        const HeaderResult result = read_attachment_header(reader, end);
        if (result.status != HeaderStatus::attachment) {
            EXPECT_EQ(result.status, HeaderStatus::end_of_chain) << result.error_key;
            break;
        }
        const AttachmentHeader& header = result.header;
        const std::uint8_t* data = read_chain_bytes(
            reader, header.data_start, static_cast<std::size_t>(header.fields.data_size));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(adler32(adler32_initial, data, header.fields.data_size), header.fields.checksum);
        ++attachments;
        end = header.data_start;
    }
    EXPECT_EQ(attachments, 400);
    EXPECT_EQ(end, 4096);
    EXPECT_LE(file.reads.size(), 2 * windows) << "not a read per attachment";
}

TEST(ChainReader, ReadsAHeaderLargerThanTheWindow) {
    Bytes chain(100, 'i');
    AttachmentPlan plan;
    plan.name = u"run.exe";
    plan.parameters = std::u16string(50000, u'p');  // 100,000 bytes of parameters
    plan.flags = flag_is_command;
    const Bytes header = encode_attachment_header(plan, signature);
    chain.insert(chain.end(), header.begin(), header.end());
    CountedFile file(chain);
    ChainReader reader(file.stream, signature);

    const HeaderResult result =
        read_attachment_header(reader, static_cast<std::int64_t>(chain.size()));
    ASSERT_EQ(result.status, HeaderStatus::attachment);
    EXPECT_EQ(result.header.parameters, plan.parameters);
    EXPECT_EQ(result.header.name, u"run.exe");
    EXPECT_EQ(result.header.data_start, 100);
    EXPECT_EQ(file.reads.size(), 3u) << "the window, then each text beyond it";
}

}  // namespace
