#include "setup_payload/chain_reader.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "setup_payload/adler32.h"
#include "setup_payload/payload_test_files.h"

namespace {

using namespace payload_test;

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
            EXPECT_EQ(result.status, HeaderStatus::end_of_chain)
                << static_cast<int>(result.failure);
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

// The walk that both tools drive: every attachment once, nearest the file's end first, until the
// chain ends, a header fails or the visitor stops it; errno cleared before every header read.
TEST(WalkChain, HandsEachAttachmentToTheVisitorUntilTheEndAFailureOrAStop) {
    const Bytes data(5, 'd');
    Bytes chain = filler(40);
    append_attachment(chain, file_spec(u"first.txt", data), data);
    append_attachment(chain, command_spec(u"run.exe", u"/x"));
    append_attachment(chain, file_spec(u"last.txt", data), data);
    struct Visits {
        std::vector<std::u16string> names;
        std::size_t stop_after = 0;  // 0: never
    };
    const auto visit = [](void* context, const AttachmentHeader& header) {
        Visits& visits = *static_cast<Visits*>(context);
        EXPECT_EQ(errno, 0) << "cleared before the read";
        errno = EIO;
        visits.names.push_back(header.name);
        return visits.names.size() != visits.stop_after;
    };
    const File file = file_with(chain);
    const auto walk = [&](std::int64_t chain_end, Visits& visits) {
        ChainReader reader{file.get(), signature};
        return walk_chain(reader, chain_end, visit, &visits);
    };

    Visits all;
    ChainWalk result = walk(size_of(chain), all);
    EXPECT_EQ(result.last.status, HeaderStatus::end_of_chain);
    EXPECT_EQ(result.attachments, 3u);
    EXPECT_EQ(all.names, (std::vector<std::u16string>{u"last.txt", u"run.exe", u"first.txt"}));

    Visits stopped{{}, 2};
    result = walk(size_of(chain), stopped);
    EXPECT_EQ(result.last.status, HeaderStatus::attachment);
    EXPECT_EQ(result.last.header.name, u"run.exe");
    EXPECT_EQ(result.attachments, 2u);

    for (const std::int64_t nothing : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{11}}) {
        Visits none;
        result = walk(nothing, none);
        EXPECT_EQ(result.last.status, HeaderStatus::end_of_chain) << nothing;
        EXPECT_EQ(result.attachments, 0u) << nothing;
    }

    Bytes damaged = with_last_fields(chain, [](FixedFields& f) { ++f.header_size; });
    const File damaged_file = file_with(damaged);
    ChainReader reader{damaged_file.get(), signature};
    Visits before_failure;
    result = walk_chain(reader, size_of(damaged), visit, &before_failure);
    EXPECT_EQ(result.last.status, HeaderStatus::error);
    EXPECT_EQ(result.last.failure, ReadFailure::header_size_mismatch);
    EXPECT_EQ(result.attachments, 1u) << "the failed header counts";
    EXPECT_TRUE(before_failure.names.empty());
}

// The copy that both tools drive with their own chunk size: one read, one sink call and one
// checksum update per chunk, the last one shorter.
TEST(CopyAttachmentData, HandsChunksOfTheGivenSizeToTheSinkAndSumsThem) {
    struct Chunks {
        Bytes bytes;
        std::vector<std::size_t> sizes;
        std::size_t stop_at = 0;  // 0: never
    };
    const auto sink = [](void* context, const std::uint8_t* bytes, std::size_t size) {
        Chunks& chunks = *static_cast<Chunks*>(context);
        chunks.bytes.insert(chunks.bytes.end(), bytes, bytes + size);
        chunks.sizes.push_back(size);
        return chunks.sizes.size() != chunks.stop_at;
    };
    const Bytes file_bytes = numbered(300000);
    CountedFile file(file_bytes);
    const struct {
        std::int64_t start;
        std::uint64_t size;
        std::uint64_t chunk;
        std::vector<std::size_t> sizes;
    } cases[] = {
        {100, 0, 10, {}},
        {100, 10, 10, {10}},
        {100, 11, 10, {10, 1}},
        {7, 25, 10, {10, 10, 5}},
        {1000, 200000, 65536, {65536, 65536, 65536, 3392}},
        {0, 300000, 1 << 20, {300000}},
    };
    for (const auto& c : cases) {
        ChainReader reader{file.stream, signature};
        Chunks chunks;
        const DataCopy copy = copy_attachment_data(reader, c.start, c.size, c.chunk, sink, &chunks);
        EXPECT_EQ(copy.failure, CopyFailure::none) << c.size;
        EXPECT_EQ(chunks.sizes, c.sizes) << c.size;
        const Bytes expected(file_bytes.begin() + c.start,
                             file_bytes.begin() + c.start + static_cast<std::int64_t>(c.size));
        EXPECT_EQ(chunks.bytes, expected) << c.size;
        EXPECT_EQ(copy.checksum, checksum_of(expected)) << c.size;
    }

    ChainReader reader{file.stream, signature};
    Chunks stopped{{}, {}, 2};
    EXPECT_EQ(copy_attachment_data(reader, 0, 50, 10, sink, &stopped).failure, CopyFailure::sink);
    EXPECT_EQ(stopped.sizes.size(), 2u);
    Chunks beyond;
    errno = EIO;
    EXPECT_EQ(copy_attachment_data(reader, 299990, 20, 10, sink, &beyond).failure,
              CopyFailure::read);
    EXPECT_EQ(beyond.sizes, (std::vector<std::size_t>{10})) << "the part that could be read";
}

TEST(TotalDataSize, SumsTheChainUpToTheImageOrTheFileStart) {
    const Bytes a(100, 'a'), b(30, 'b');
    Bytes chain;
    append_attachment(chain, file_spec(u"a.bin", a), a);
    append_attachment(chain, command_spec(u"setup.exe", u"/q", flag_has_lcid, 0x0407));
    append_attachment(chain, file_spec(u"dir/b.bin", b, flag_has_lcid), b);

    Bytes launcher = filler(40);
    append(launcher, chain);
    const std::int64_t chain_end = size_of(launcher);
    // header_size is not checked here: one too large steps a byte too far, where the walk ends.
    const Bytes too_far = with_last_fields(launcher, [](FixedFields& f) { ++f.header_size; });
    append(launcher, filler(7));

    EXPECT_EQ(total_in(launcher, chain_end), 130);
    EXPECT_EQ(total_in(chain, size_of(chain)), 130) << "a chain at offset 0";
    EXPECT_EQ(total_in(chain, 11), 0);
    EXPECT_EQ(total_in(too_far, chain_end), 30);
}

TEST(TotalDataSize, RefusesStepsThatStallRunBeforeTheStartOrOverflow) {
    const Bytes image = filler(64);
    const Bytes command = with_attachment(image, command_spec(u"run.exe", u""));
    const std::int64_t end = size_of(command);
    const std::int64_t header_start = end - 14 - 33;
    const auto changed = [&](std::uint32_t header_size, std::uint64_t data_size) {
        return total_in(with_last_fields(command,
                                         [&](FixedFields& f) {
                                             f.header_size = header_size;
                                             f.data_size = data_size;
                                         }),
                        end);
    };
    EXPECT_EQ(changed(47, 0), 0) << "as written";
    EXPECT_EQ(changed(0, 0), -1) << "would stay in place";
    EXPECT_EQ(changed(0xFFFFFFDF, 0), -1) << "-33 would move forward";
    EXPECT_EQ(changed(0xFFFFFF9C, 132), -1) << "-100 + 132 moves only 32 back";
    EXPECT_EQ(changed(47, header_start + 1), -1) << "before the file's start";
    EXPECT_EQ(changed(35, 0xFFFFFFFFFFFFFFFE), -1) << "data_size -2 as signed, a step of 33";
    EXPECT_EQ(changed(47, 0x8000000000000000), -1);

    EXPECT_EQ(total_in(command, end + 1), -1) << "the signature can't be read";
    EXPECT_EQ(total_in(with_signatures_ending_at(30, {30}), 30), -1) << "no room for fields";
}

// One attachment with a fault; the reader names the first fault in its order of checks.
struct HeaderCase {
    const char* what;
    Bytes bytes;
    std::int64_t end;     // -1: the end of `bytes`
    ReadFailure failure;  // none: the end of the chain
};

TEST(ReadAttachmentHeader, NamesTheFirstFaultInTheReadersOrder) {
    const Bytes image = filler(40);
    const Bytes data(5, 'd');
    const Bytes file = with_attachment(image, file_spec(u"a.txt", data), data);
    const Bytes command = with_attachment(image, command_spec(u"run.exe", u"/x"));
    const auto fields = [](Bytes bytes, const std::function<void(FixedFields&)>& change) {
        return with_last_fields(std::move(bytes), change);
    };
    const auto at_file_start = [](const AttachmentPlan& plan, std::size_t dropped) {
        const Bytes header = encode_attachment_header(plan, signature);
        return Bytes(header.begin() + dropped, header.end());
    };
    AttachmentPlan nameless = file_spec(u"", {});
    AttachmentPlan nameless_localized = file_spec(u"", {}, flag_has_lcid);
    AttachmentPlan unsafe = file_spec(u"..\\a.dll", data);
    AttachmentPlan unsafe_unreachable = unsafe;
    unsafe_unreachable.data_size = 1000;
    AttachmentPlan nul_name = file_spec(std::u16string(u"\0x", 2), data);
    AttachmentPlan nameless_with_data;
    nameless_with_data.data_size = data.size();

    const std::vector<HeaderCase> cases = {
        {"the image's bytes", image, -1, ReadFailure::none},
        {"an end below 12", with_signatures_ending_at(12, {12}), 11, ReadFailure::none},
        {"a negative end", file, -5, ReadFailure::none},
        {"a signature cut by the file's end", file, size_of(file) + 1,
         ReadFailure::signature_unreadable},
        {"no room for the fixed fields", with_signatures_ending_at(32, {32}), -1,
         ReadFailure::before_file_start},
        {"header_size one too large", fields(file, [](auto& f) { ++f.header_size; }), -1,
         ReadFailure::header_size_mismatch},
        {"has_lcid not counted", fields(command, [](auto& f) { f.flags |= flag_has_lcid; }), -1,
         ReadFailure::header_size_mismatch},
        {"header_size before the parameters",
         fields(command, [](auto& f) { f.parameters_length = 60000; }), -1,
         ReadFailure::header_size_mismatch},
        {"parameters before the file start",
         fields(command,
                [](auto& f) {
                    f.parameters_length = 60000;
                    f.header_size = 120033 + 14;
                }),
         -1, ReadFailure::before_file_start},
        {"name before the file start",
         fields(command,
                [](auto& f) {
                    f.name_length = 60000;
                    f.header_size = 120033 + 4;
                }),
         -1, ReadFailure::before_file_start},
        {"a file without name", with_attachment(image, nameless), -1,
         ReadFailure::file_without_name},
        {"data without name", with_attachment(image, nameless_with_data, data), -1,
         ReadFailure::file_without_name},
        {"no name before no LCID field", at_file_start(nameless_localized, 2), -1,
         ReadFailure::file_without_name},
        {"LCID field before the file start",
         at_file_start(command_spec(u"run.exe", u"", flag_has_lcid, 0x0407), 2), -1,
         ReadFailure::before_file_start},
        {"an unsafe name", with_attachment(image, unsafe, data), -1, ReadFailure::unsafe_file_name},
        {"an unsafe name before data out of reach", with_attachment(image, unsafe_unreachable), -1,
         ReadFailure::unsafe_file_name},
        {"a file name cut to nothing", with_attachment(image, nul_name, data), -1,
         ReadFailure::unsafe_file_name},
        {"a command without program", with_attachment(image, command_spec(u"", u"/x")), -1,
         ReadFailure::command_without_program},
        {"a program cut to nothing",
         with_attachment(image, command_spec(std::u16string(u"\0run", 4), u"")), -1,
         ReadFailure::command_without_program},
        {"data before the file start", fields(file, [](auto& f) { f.data_size = 40 + 5 + 1; }), -1,
         ReadFailure::before_file_start},
    };
    for (const HeaderCase& c : cases) {
        const File file_of_case = file_with(c.bytes);
        const std::int64_t end = c.end == -1 ? size_of(c.bytes) : c.end;
        const HeaderResult result = header_at(file_of_case.get(), end);
        if (c.failure == ReadFailure::none) {
            EXPECT_EQ(result.status, HeaderStatus::end_of_chain) << c.what;
        } else {
            EXPECT_EQ(result.status, HeaderStatus::error) << c.what;
            EXPECT_EQ(result.failure, c.failure) << c.what;
        }
    }
}

TEST(ReadAttachmentHeader, CutsTextsAtTheirFirstNulAndLetsCommandsNameAnyProgram) {
    Bytes chain = filler(16);
    append_attachment(
        chain, command_spec(std::u16string(u"setup.exe\0junk", 14), std::u16string(u"/q\0/x", 5)));
    append_attachment(chain, command_spec(u"C:\\Windows\\system32\\msiexec.exe", u"/i a.msi"));
    AttachmentPlan nothing;  // neither file nor command: read, then without effect
    append_attachment(chain, nothing);
    const File file = file_with(chain);
    ChainReader reader{file.get(), signature};

    const HeaderResult last = read_attachment_header(reader, size_of(chain));
    ASSERT_EQ(last.status, HeaderStatus::attachment);
    EXPECT_EQ(last.header.fields.header_size, 33u);
    const HeaderResult absolute = read_attachment_header(reader, last.header.data_start);
    ASSERT_EQ(absolute.status, HeaderStatus::attachment) << static_cast<int>(absolute.failure);
    EXPECT_EQ(absolute.header.name, u"C:\\Windows\\system32\\msiexec.exe");
    const HeaderResult cut = read_attachment_header(reader, absolute.header.data_start);
    ASSERT_EQ(cut.status, HeaderStatus::attachment);
    EXPECT_EQ(cut.header.name, u"setup.exe");
    EXPECT_EQ(cut.header.parameters, u"/q");
    EXPECT_EQ(cut.header.fields.name_length, 14);
    EXPECT_EQ(cut.header.data_start, 16);
}

TEST(ReadAttachmentHeader, PassesTheLcidFieldOfAnyAttachmentSoTheWalkGoesOn) {
    const Bytes a(7, 'a'), b(3, 'b');
    Bytes chain = filler(20);
    const std::int64_t a_start = size_of(chain);
    append_attachment(chain, file_spec(u"a.bin", a), a);
    const std::int64_t b_start = size_of(chain);
    AttachmentPlan localized_file = file_spec(u"b.txt", b, flag_has_lcid | 0x40);
    localized_file.lcid = 0x0407;
    append_attachment(chain, localized_file, b);
    const std::int64_t note_start = size_of(chain);
    AttachmentPlan note;  // has_lcid alone: neither file nor command
    note.name = u"note";
    note.flags = flag_has_lcid;
    note.lcid = 0x0409;
    append_attachment(chain, note);
    const std::int64_t command_start = size_of(chain);
    append_attachment(chain, command_spec(u"run.exe", u"", flag_has_lcid, 0x040C));
    const File file = file_with(chain);

    struct Expected {
        std::u16string name;
        std::uint16_t lcid;
        std::int64_t data_start;
    };
    ChainReader reader{file.get(), signature};
    std::int64_t end = size_of(chain);
    for (const Expected& expected :
         {Expected{u"run.exe", 0x040C, command_start}, Expected{u"note", 0x0409, note_start},
          Expected{u"b.txt", 0x0407, b_start}, Expected{u"a.bin", 0, a_start}}) {
        const HeaderResult result = read_attachment_header(reader, end);
        ASSERT_EQ(result.status, HeaderStatus::attachment) << to_utf8(expected.name);
        EXPECT_EQ(result.header.name, expected.name);
        EXPECT_EQ(result.header.lcid, expected.lcid);
        EXPECT_EQ(result.header.data_start, expected.data_start);
        end = result.header.data_start;
    }
    EXPECT_EQ(read_attachment_header(reader, end).status, HeaderStatus::end_of_chain);
    EXPECT_EQ(total_data_size(reader, size_of(chain)), 10);
}

TEST(ReadAttachmentHeader, LetsDataStartAtTheFileStart) {
    const Bytes data(9, 'x');
    const Bytes chain = with_attachment({}, file_spec(u"x", data), data);
    const File file = file_with(chain);
    const HeaderResult result = header_at(file.get(), size_of(chain));
    ASSERT_EQ(result.status, HeaderStatus::attachment);
    EXPECT_EQ(result.header.header_start, 9);
    EXPECT_EQ(result.header.data_start, 0);
}

TEST(ReadAttachmentHeader, RefusesEveryUnsafeFileNameButTakesItAsAProgram) {
    const Bytes image = filler(40);
    const Bytes data(3, 'd');
    for (const NameCase& c : refused_names) {
        const std::string shown = to_utf8(std::u16string(c.name));
        for (const bool with_data : {false, true}) {
            const Bytes file_bytes =
                with_data ? with_attachment(image, file_spec(std::u16string(c.name), data), data)
                          : with_attachment(image, file_spec(std::u16string(c.name), {}));
            const File file = file_with(file_bytes);
            const HeaderResult result = header_at(file.get(), size_of(file_bytes));
            EXPECT_EQ(result.status, HeaderStatus::error) << shown;
            if (!c.name.empty()) {
                EXPECT_EQ(result.failure, ReadFailure::unsafe_file_name) << shown;
                EXPECT_EQ(result.header.name, c.name) << "the report names it";
            }
        }
        if (c.name.empty())
            continue;
        const Bytes command = with_attachment(image, command_spec(std::u16string(c.name), u"/x"));
        const File file = file_with(command);
        EXPECT_EQ(header_at(file.get(), size_of(command)).status, HeaderStatus::attachment)
            << shown << ": a program is opened by the shell, never created";
    }
}

}  // namespace
