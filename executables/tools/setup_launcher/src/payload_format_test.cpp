#include "payload_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "adler32.h"
#include "chain_reader.h"
#include "file_handle.h"
#include "wide_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Signature signature = attachment_signature();

using File = FileHandle;

// A real temporary file holding `bytes`, removed when it is closed.
File file_with(const Bytes& bytes) {
    File file(std::tmpfile());
    if (!file)
        throw std::runtime_error("no temporary file");
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0) {
        throw std::runtime_error("the temporary file can't be written");
    }
    return file;
}

std::int64_t size_of(const Bytes& bytes) {
    return static_cast<std::int64_t>(bytes.size());
}

void append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

Bytes filler(std::size_t size, std::uint8_t value = 0xCC) {
    return Bytes(size, value);
}

// zlib's adler32 shares the name; the casts pick one of the two overloads.
std::uint32_t checksum_of(const Bytes& data) {
    return static_cast<std::uint32_t (*)(std::uint32_t, const void*, std::uint64_t)>(adler32)(
        adler32_initial, data.data(), data.size());
}

std::uint32_t zlib_checksum_of(const Bytes& data) {
    return static_cast<std::uint32_t>(static_cast<uLong (*)(uLong, const Bytef*, uInt)>(::adler32)(
        1, data.data(), static_cast<uInt>(data.size())));
}

AttachmentPlan file_spec(std::u16string name, const Bytes& data, std::uint8_t more_flags = 0) {
    AttachmentPlan plan;
    plan.name = std::move(name);
    plan.flags = flag_is_file | more_flags;
    plan.data_size = data.size();
    plan.checksum = checksum_of(data);
    return plan;
}

AttachmentPlan command_spec(std::u16string program, std::u16string parameters,
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
void append_attachment(Bytes& chain, const AttachmentPlan& plan, const Bytes& data = {}) {
    append(chain, data);
    append(chain, encode_attachment_header(plan, signature));
}

Bytes with_attachment(Bytes chain, const AttachmentPlan& plan, const Bytes& data = {}) {
    append_attachment(chain, plan, data);
    return chain;
}

// Changes the stored fixed fields of the attachment at the end of `chain`.
Bytes with_last_fields(Bytes chain, const std::function<void(FixedFields&)>& change) {
    std::uint8_t* bytes = chain.data() + chain.size() - header_overhead;
    FixedFields fields = decode_fixed_fields(bytes);
    change(fields);
    encode_fixed_fields(fields, bytes);
    return chain;
}

// `size` filler bytes with a signature ending at each of `ends`.
Bytes with_signatures_ending_at(std::size_t size, std::initializer_list<std::size_t> ends) {
    Bytes bytes = filler(size);
    for (const std::size_t end : ends) {
        std::copy(signature.begin(), signature.end(), bytes.begin() + (end - signature_size));
    }
    return bytes;
}

std::int64_t chain_end_in(const Bytes& bytes, std::int64_t search_end) {
    const File file = file_with(bytes);
    return find_chain_end(file.get(), search_end, signature);
}

std::int64_t chain_end_in(const Bytes& bytes) {
    return chain_end_in(bytes, size_of(bytes));
}

// The header that ends at `end`, as a fresh reader reads it.
HeaderResult header_at(std::FILE* file, std::int64_t end) {
    ChainReader reader{file, signature};
    return read_attachment_header(reader, end);
}

std::int64_t total_of(std::FILE* file, std::int64_t chain_end) {
    ChainReader reader{file, signature};
    return total_data_size(reader, chain_end);
}

std::int64_t total_in(const Bytes& bytes, std::int64_t chain_end) {
    const File file = file_with(bytes);
    return total_of(file.get(), chain_end);
}

TEST(AttachmentSignature, IsTheTwelveAsciiBytesOfTheFormat) {
    const std::string text = "VOQSETUP_1.0";
    EXPECT_EQ(Bytes(signature.begin(), signature.end()), Bytes(text.begin(), text.end()));
}

TEST(FixedFields, AreLittleEndianAndPackedInTheirOrder) {
    const FixedFields fields{.name_length = 0x0102,
                             .parameters_length = 0x0304,
                             .data_size = 0x05060708090A0B0C,
                             .checksum = 0x0D0E0F10,
                             .flags = 0x11,
                             .header_size = 0x12131415};
    Bytes bytes(fixed_fields_size);
    encode_fixed_fields(fields, bytes.data());
    EXPECT_EQ(bytes, (Bytes{0x02, 0x01, 0x04, 0x03, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0x06,
                            0x05, 0x10, 0x0F, 0x0E, 0x0D, 0x11, 0x15, 0x14, 0x13, 0x12}));
    const FixedFields back = decode_fixed_fields(bytes.data());
    EXPECT_EQ(back.name_length, fields.name_length);
    EXPECT_EQ(back.parameters_length, fields.parameters_length);
    EXPECT_EQ(back.data_size, fields.data_size);
    EXPECT_EQ(back.checksum, fields.checksum);
    EXPECT_EQ(back.flags, fields.flags);
    EXPECT_EQ(back.header_size, fields.header_size);

    EXPECT_EQ(computed_header_size(11, 46, false), 147u);
    EXPECT_EQ(computed_header_size(0, 0, true), 35u);
    EXPECT_EQ(computed_header_size(65535, 65535, true), 262175u) << "no 16-bit wrap";
}

TEST(EncodeAttachmentHeader, WritesTheLcidFieldOnlyWithItsFlag) {
    const Bytes localized =
        encode_attachment_header(command_spec(u"r", u"p", flag_has_lcid, 0x0407), signature);
    ASSERT_EQ(localized.size(), computed_header_size(1, 1, true));
    EXPECT_EQ(Bytes(localized.begin(), localized.begin() + 6),
              (Bytes{0x07, 0x04, 'r', 0x00, 'p', 0x00}));
    const FixedFields fields = decode_fixed_fields(localized.data() + 6);
    EXPECT_EQ(fields.flags, flag_is_command | flag_has_lcid);
    EXPECT_EQ(fields.header_size, localized.size());
    EXPECT_EQ(Bytes(localized.end() - 12, localized.end()),
              Bytes(signature.begin(), signature.end()));

    const Bytes common = encode_attachment_header(command_spec(u"r", u"", 0, 0x0407), signature);
    ASSERT_EQ(common.size(), computed_header_size(1, 0, false));
    EXPECT_EQ(common[0], 'r');

    AttachmentPlan longest = file_spec(std::u16string(65535, u'n'), {});
    EXPECT_EQ(encode_attachment_header(longest, signature).size(), 2 * 65535 + 33u);
    longest.name.push_back(u'n');
    EXPECT_TRUE(encode_attachment_header(longest, signature).empty()) << "65536 units don't fit";
}

// The typical payload: a command for every language and the file it installs, behind an image of
// 233,472 bytes and followed by a certificate table.
TEST(ExamplePayload, IsLaidOutFoundSummedAndWalkedBackToTheImage) {
    constexpr std::int64_t image_size = 233472;
    constexpr std::int64_t chain_size = 7248584;
    Bytes launcher = filler(image_size);
    launcher[0] = 'M';
    launcher[1] = 'Z';
    Bytes data(7248384);
    std::mt19937 random(2024);
    std::generate(data.begin(), data.end(), [&random] { return std::uint8_t(random()); });
    const std::uint32_t checksum = zlib_checksum_of(data);
    EXPECT_EQ(checksum_of(data), checksum);

    AttachmentPlan command =
        command_spec(u"msiexec.exe", u"/p update.msp REINSTALL=ALL REINSTALLMODE=omus");
    command.flags = 0x0A;
    append_attachment(launcher, command);
    append_attachment(launcher, file_spec(u"update.msp", data), data);
    append(launcher, filler(4400, 0x30));
    ASSERT_EQ(size_of(launcher), 7486456);

    const auto chain = launcher.begin() + image_size;
    EXPECT_EQ(Bytes(chain + 114, chain + 135),
              (Bytes{0x0b, 0x00, 0x2e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x93, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(chain + 135, chain + 147), Bytes(signature.begin(), signature.end()));
    EXPECT_EQ(Bytes(chain + 7248551, chain + 7248572), (Bytes{0x0a,
                                                              0x00,
                                                              0x00,
                                                              0x00,
                                                              0x00,
                                                              0x9a,
                                                              0x6e,
                                                              0x00,
                                                              0x00,
                                                              0x00,
                                                              0x00,
                                                              0x00,
                                                              std::uint8_t(checksum),
                                                              std::uint8_t(checksum >> 8),
                                                              std::uint8_t(checksum >> 16),
                                                              std::uint8_t(checksum >> 24),
                                                              0x01,
                                                              0x35,
                                                              0x00,
                                                              0x00,
                                                              0x00}));
    EXPECT_EQ(Bytes(chain + 7248572, chain + chain_size),
              Bytes(signature.begin(), signature.end()));

    const File file = file_with(launcher);
    const std::int64_t chain_end = image_size + chain_size;
    EXPECT_EQ(find_chain_end(file.get(), size_of(launcher), signature), chain_end);
    // One reader for the whole walk, as the launcher reads: the sizing pass, then each header.
    ChainReader reader{file.get(), signature};
    EXPECT_EQ(total_data_size(reader, chain_end), 7248384);

    const HeaderResult second = read_attachment_header(reader, chain_end);
    ASSERT_EQ(second.status, HeaderStatus::attachment);
    EXPECT_EQ(second.header.name, u"update.msp");
    EXPECT_EQ(second.header.parameters, u"");
    EXPECT_EQ(second.header.fields.flags, flag_is_file);
    EXPECT_EQ(second.header.fields.data_size, 7248384u);
    EXPECT_EQ(second.header.fields.checksum, checksum);
    EXPECT_EQ(second.header.fields.header_size, 53u);
    EXPECT_EQ(second.header.end, chain_end);
    EXPECT_EQ(second.header.header_start, chain_end - 53);
    EXPECT_EQ(second.header.data_start, image_size + 147);

    const HeaderResult first = read_attachment_header(reader, image_size + 147);
    ASSERT_EQ(first.status, HeaderStatus::attachment);
    EXPECT_EQ(first.header.name, u"msiexec.exe");
    EXPECT_EQ(first.header.parameters, u"/p update.msp REINSTALL=ALL REINSTALLMODE=omus");
    EXPECT_EQ(first.header.fields.flags, flag_is_command | flag_run_in_extraction_dir);
    EXPECT_EQ(first.header.fields.header_size, 147u);
    EXPECT_EQ(first.header.lcid, 0);
    EXPECT_EQ(first.header.header_start, image_size);
    EXPECT_EQ(first.header.data_start, image_size);

    EXPECT_EQ(read_attachment_header(reader, image_size).status, HeaderStatus::end_of_chain);
}

TEST(FindChainEnd, FindsASignatureAcrossEachWindowBorder) {
    // Windows [8292, 16484), [100, 8292) and the shortened lowest one [0, 100).
    constexpr std::size_t size = 2 * 8192 + 100;
    for (const std::size_t border : {std::size_t{8292}, std::size_t{100}}) {
        for (std::size_t split = 0; split <= signature_size; ++split) {
            const std::size_t end = border + split;  // `split` bytes lie in the upper window
            EXPECT_EQ(chain_end_in(with_signatures_ending_at(size, {end})), std::int64_t(end))
                << "border " << border << ", split " << split;
        }
    }
}

TEST(FindChainEnd, SearchesAFileShorterThanOneWindowWhole) {
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(20, {15})), 15);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(12, {12})), 12);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(8191, {12})), 12);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(8192, {12})), 12);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(8193, {12})), 12);
}

TEST(FindChainEnd, TellsNoSignatureAndFailedReadsApart) {
    EXPECT_EQ(chain_end_in({}), -1);
    EXPECT_EQ(chain_end_in(filler(11)), -1);
    EXPECT_EQ(chain_end_in(filler(3 * 8192 + 5)), -1);
    Bytes cut = filler(3 * 8192);  // only the first 11 signature bytes, across a border
    std::copy(signature.begin(), signature.end() - 1, cut.begin() + 8192 - 5);
    EXPECT_EQ(chain_end_in(cut), -1);

    const Bytes signed_file = with_signatures_ending_at(9000, {500});
    EXPECT_EQ(chain_end_in(signed_file, 9001), 0) << "a window past the end can't be read";
    EXPECT_EQ(chain_end_in(signed_file, -1), 0);
}

TEST(FindChainEnd, TakesTheLastSignatureThatEndsByTheSearchEnd) {
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(8000, {100, 5000})), 5000);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(8000, {4000, 4012})), 4012) << "adjacent";
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(30000, {100, 20000})), 20000);
    EXPECT_EQ(chain_end_in(with_signatures_ending_at(3 * 8192, {5000, 3 * 8192})), 3 * 8192);

    const Bytes bytes = with_signatures_ending_at(20000, {1000, 19000, 20000});
    EXPECT_EQ(chain_end_in(bytes, 19999), 19000) << "a signature cut by the search end";
    EXPECT_EQ(chain_end_in(bytes, 19000), 19000);
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
    std::int64_t end;  // -1: the end of `bytes`
    const char* key;   // null: the end of the chain
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
        {"the image's bytes", image, -1, nullptr},
        {"an end below 12", with_signatures_ending_at(12, {12}), 11, nullptr},
        {"a negative end", file, -5, nullptr},
        {"a signature cut by the file's end", file, size_of(file) + 1, "error_reading_signature"},
        {"no room for the fixed fields", with_signatures_ending_at(32, {32}), -1, "error_reading"},
        {"header_size one too large", fields(file, [](auto& f) { ++f.header_size; }), -1,
         "error_corrupt_header"},
        {"has_lcid not counted", fields(command, [](auto& f) { f.flags |= flag_has_lcid; }), -1,
         "error_corrupt_header"},
        {"header_size before the parameters",
         fields(command, [](auto& f) { f.parameters_length = 60000; }), -1, "error_corrupt_header"},
        {"parameters before the file start",
         fields(command,
                [](auto& f) {
                    f.parameters_length = 60000;
                    f.header_size = 120033 + 14;
                }),
         -1, "error_reading"},
        {"name before the file start",
         fields(command,
                [](auto& f) {
                    f.name_length = 60000;
                    f.header_size = 120033 + 4;
                }),
         -1, "error_reading"},
        {"a file without name", with_attachment(image, nameless), -1, "error_file_without_name"},
        {"data without name", with_attachment(image, nameless_with_data, data), -1,
         "error_file_without_name"},
        {"no name before no LCID field", at_file_start(nameless_localized, 2), -1,
         "error_file_without_name"},
        {"LCID field before the file start",
         at_file_start(command_spec(u"run.exe", u"", flag_has_lcid, 0x0407), 2), -1,
         "error_reading"},
        {"an unsafe name", with_attachment(image, unsafe, data), -1, "error_invalid_file_name"},
        {"an unsafe name before data out of reach", with_attachment(image, unsafe_unreachable), -1,
         "error_invalid_file_name"},
        {"a file name cut to nothing", with_attachment(image, nul_name, data), -1,
         "error_invalid_file_name"},
        {"a command without program", with_attachment(image, command_spec(u"", u"/x")), -1,
         "error_corrupt_header"},
        {"a program cut to nothing",
         with_attachment(image, command_spec(std::u16string(u"\0run", 4), u"")), -1,
         "error_corrupt_header"},
        {"data before the file start", fields(file, [](auto& f) { f.data_size = 40 + 5 + 1; }), -1,
         "error_reading"},
    };
    for (const HeaderCase& c : cases) {
        const File file_of_case = file_with(c.bytes);
        const std::int64_t end = c.end == -1 ? size_of(c.bytes) : c.end;
        const HeaderResult result = header_at(file_of_case.get(), end);
        if (c.key == nullptr) {
            EXPECT_EQ(result.status, HeaderStatus::end_of_chain) << c.what;
        } else {
            EXPECT_EQ(result.status, HeaderStatus::error) << c.what;
            EXPECT_STREQ(result.error_key, c.key) << c.what;
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
    ASSERT_EQ(absolute.status, HeaderStatus::attachment) << absolute.error_key;
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

struct NameCase {
    std::u16string_view name;
    NameProblem problem;
};

// Every kind of name that Windows would not create as written below the extraction directory.
const std::vector<NameCase> refused_names = {
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

TEST(RelativeName, RefusesWhatWindowsWouldNotCreateAsWritten) {
    for (const NameCase& c : refused_names) {
        const std::string shown = to_utf8(std::u16string(c.name));
        EXPECT_EQ(check_relative_name(c.name).problem, c.problem) << shown;
        EXPECT_FALSE(is_safe_relative_name(c.name)) << shown;
    }
    for (const std::u16string_view name :
         {u"update.msp", u"dir\\sub/file.txt", u"..a", u"a..b", u"...x", u"a b", u".hidden",
          u"console.txt", u"CON1", u"COM10", u"LPT", u"COM\u00b4", u"x.con", u"aux-x.txt", u" CON",
          u"n\u00e4me/\U0001F600.txt", u"a\u007f"}) {
        EXPECT_EQ(check_relative_name(name).problem, NameProblem::none)
            << to_utf8(std::u16string(name));
    }
}

TEST(RelativeName, PointsAtTheOffendingCharacterOrComponent) {
    const auto at = [](std::u16string_view name) {
        const NameCheck check = check_relative_name(name);
        return std::pair(check.position, check.length);
    };
    EXPECT_EQ(at(u"dir/sub/lpt2.txt"), std::pair(std::size_t{8}, std::size_t{8}));
    EXPECT_EQ(at(u"dir/x?y"), std::pair(std::size_t{5}, std::size_t{1}));
    EXPECT_EQ(at(u"a/b./c"), std::pair(std::size_t{2}, std::size_t{2}));
    EXPECT_EQ(at(u"a//b"), std::pair(std::size_t{2}, std::size_t{0}));
    // Characters are checked before components: the colon is named, not the device.
    EXPECT_EQ(check_relative_name(u"con:x").problem, NameProblem::colon);
}

TEST(FitsPathLimit, CountsTheFileAndEveryDirectoryWithTheirTerminators) {
    const std::u16string root = u"C:\\Temp\\VOQSETUP2\\";  // 18 units
    EXPECT_TRUE(fits_path_limit(root, std::u16string(241, u'f'))) << "259 units and the NUL";
    EXPECT_FALSE(fits_path_limit(root, std::u16string(242, u'f')));
    // Directories are created ending in their separator and may take 247 units.
    const std::u16string deepest = std::u16string(228, u'd') + u"\\f";
    EXPECT_TRUE(fits_path_limit(root, deepest));
    EXPECT_FALSE(fits_path_limit(root, u"d" + deepest));
    EXPECT_FALSE(fits_path_limit(root, std::u16string(229, u'd') + u"/f")) << "'/' as well";
    EXPECT_TRUE(fits_path_limit(root, u"a/" + std::u16string(238, u'f')));
    EXPECT_FALSE(fits_path_limit(std::u16string(259, u'r'), u"x")) << "the root alone";
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
                EXPECT_STREQ(result.error_key, "error_invalid_file_name") << shown;
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

// A PE image as the headers of a linker lay it out: DOS header, "PE\0\0" at e_lfanew, the file
// header, and an optional header whose data directories end with the security entry.
struct PeImage {
    bool pe32_plus = false;
    std::uint32_t pe_offset = 0x80;
    std::uint16_t optional_size = 0;  // 0: the standard size for 16 directories
    std::uint32_t directory_count = 16;
    std::uint32_t table_offset = 0;
    std::uint32_t table_size = 0;
    std::size_t file_size = 2048;
    std::uint16_t machine = 0;  // 0: i386 for PE32, AMD64 for PE32+
    std::uint16_t subsystem = 2;

    std::size_t count_at() const { return pe_offset + 24 + (pe32_plus ? 108 : 92); }
    Bytes bytes() const {
        Bytes image(file_size, 0);
        const auto put = [&image](std::size_t at, std::uint64_t value, int size) {
            for (int i = 0; i < size; ++i) {
                if (at + i < image.size())
                    image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
            }
        };
        put(0, 'M' | 'Z' << 8, 2);
        put(0x3C, pe_offset, 4);
        put(pe_offset, 'P' | 'E' << 8, 4);
        put(pe_offset + 4, machine != 0 ? machine : (pe32_plus ? 0x8664 : 0x14C), 2);
        put(pe_offset + 24 + 68, subsystem, 2);
        put(pe_offset + 4 + 16, optional_size != 0 ? optional_size : (pe32_plus ? 240 : 224), 2);
        put(pe_offset + 24, pe32_plus ? 0x20B : 0x10B, 2);
        put(count_at(), directory_count, 4);
        put(count_at() + 4 + 4 * 8, table_offset, 4);
        put(count_at() + 4 + 4 * 8 + 4, table_size, 4);
        return image;
    }
};

std::int64_t table_in(const Bytes& bytes) {
    const File file = file_with(bytes);
    return certificate_table_offset(file.get(), size_of(bytes));
}

TEST(CertificateTable, IsFoundInPe32AndPe32PlusHeaders) {
    for (const bool pe32_plus : {false, true}) {
        PeImage image{.pe32_plus = pe32_plus, .table_offset = 1536, .table_size = 512};
        EXPECT_EQ(table_in(image.bytes()), 1536) << pe32_plus;
        const File file = file_with(image.bytes());
        const std::optional<SecurityDirectory> directory =
            read_security_directory(file.get(), 2048);
        ASSERT_TRUE(directory.has_value());
        EXPECT_EQ(directory->size, 512u);
        EXPECT_EQ(directory->headers_end, 0x80 + 24 + (pe32_plus ? 240 : 224));
        EXPECT_EQ(signed_range_end(file.get(), 2048), 1536);

        image.table_size = 0;
        EXPECT_EQ(table_in(image.bytes()), -1) << "an empty entry: not signed";
        const File unsigned_file = file_with(image.bytes());
        EXPECT_EQ(signed_range_end(unsigned_file.get(), 2048), 2048);
    }
}

TEST(CertificateTable, EndsTheSignedRangeAtItsStartWhateverItsSize) {
    PeImage image{.table_offset = 1000, .table_size = 4000};
    EXPECT_EQ(table_in(image.bytes()), 1000) << "enlarged past the file's end";
    image.table_offset = 2048;
    EXPECT_EQ(table_in(image.bytes()), 2048) << "starting at the file's end";
    image.table_size = 8;
    image.table_offset = 1000;
    EXPECT_EQ(table_in(image.bytes()), 1000) << "followed by more data";
}

TEST(CertificateTable, NonsensicalOrCutHeadersMeanNone) {
    const PeImage sane{.table_offset = 1536, .table_size = 512};
    const auto changed = [&sane](const std::function<void(PeImage&)>& change) {
        PeImage image = sane;
        change(image);
        return table_in(image.bytes());
    };
    EXPECT_EQ(changed([](PeImage& i) { i.table_offset = 2049; }), -1) << "past the file's end";
    EXPECT_EQ(changed([](PeImage& i) { i.table_offset = 0x80 + 24 + 223; }), -1)
        << "inside the optional header";
    EXPECT_EQ(changed([](PeImage& i) { i.table_offset = 0x80 + 24 + 224; }), 0x80 + 24 + 224);
    EXPECT_EQ(changed([](PeImage& i) { i.directory_count = 4; }), -1) << "no entry 4";
    EXPECT_EQ(changed([](PeImage& i) { i.directory_count = 5; }), 1536);
    EXPECT_EQ(changed([](PeImage& i) { i.directory_count = 0xFFFFFFFF; }), 1536);
    EXPECT_EQ(changed([](PeImage& i) { i.optional_size = 96 + 5 * 8 - 1; }), -1)
        << "the declared size ends inside entry 4";
    EXPECT_EQ(changed([](PeImage& i) { i.optional_size = 96 + 5 * 8; }), 1536);
    EXPECT_EQ(changed([](PeImage& i) { i.pe_offset = 2048 - 23; }), -1) << "e_lfanew too far";
    EXPECT_EQ(changed([](PeImage& i) { i.pe_offset = 0xFFFFFFFF; }), -1);
    EXPECT_EQ(changed([](PeImage& i) { i.pe_offset = 2048 - 24 - 100; }), -1)
        << "the optional header runs past the file's end";

    Bytes bytes = sane.bytes();
    bytes[1] = 'X';
    EXPECT_EQ(table_in(bytes), -1) << "no MZ";
    bytes = sane.bytes();
    bytes[0x80 + 3] = 1;
    EXPECT_EQ(table_in(bytes), -1) << "no PE\\0\\0";
    bytes = sane.bytes();
    bytes[0x80 + 24] = 0x07;  // a ROM image's magic
    EXPECT_EQ(table_in(bytes), -1);

    // Cut anywhere: before entry 4 ends (at 288) the headers name nothing, after it the table
    // lies past the cut until the cut passes its start.
    const Bytes whole = PeImage{.table_offset = 384, .table_size = 8, .file_size = 420}.bytes();
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(table_in(cut), size >= 384 ? 384 : -1) << size;
    }
}

TEST(PeImageCheck, AcceptsGuiProgramsForI386AndAmd64AndNamesTheFirstFailedCheck) {
    const auto check = [](const Bytes& bytes) {
        const File file = file_with(bytes);
        return check_pe_image(file.get(), size_of(bytes));
    };
    for (const bool pe32_plus : {false, true}) {
        const PeImageCheck good = check(PeImage{.pe32_plus = pe32_plus}.bytes());
        EXPECT_EQ(good.problem, PeProblem::none) << pe32_plus;
        EXPECT_EQ(good.machine, pe32_plus ? pe_machine_amd64 : pe_machine_i386);
        EXPECT_EQ(good.subsystem, pe_subsystem_windows_gui);
    }
    EXPECT_EQ(check({}).problem, PeProblem::no_mz_header);
    EXPECT_EQ(check(Bytes(4096, 'x')).problem, PeProblem::no_mz_header);
    Bytes bytes = PeImage{}.bytes();
    bytes.resize(63);
    EXPECT_EQ(check(bytes).problem, PeProblem::no_mz_header) << "cut inside the DOS header";
    EXPECT_EQ(check(PeImage{.pe_offset = 2048 - 23}.bytes()).problem,
              PeProblem::pe_header_outside_file);
    bytes = PeImage{}.bytes();
    bytes[0x81] = 'X';
    const PeImageCheck no_signature = check(bytes);
    EXPECT_EQ(no_signature.problem, PeProblem::no_pe_signature);
    EXPECT_EQ(no_signature.pe_offset, 0x80);
    const PeImageCheck arm = check(PeImage{.machine = 0x1C4}.bytes());
    EXPECT_EQ(arm.problem, PeProblem::unknown_machine);
    EXPECT_EQ(arm.machine, 0x1C4);
    EXPECT_EQ(check(PeImage{.machine = pe_machine_amd64}.bytes()).problem,
              PeProblem::no_optional_header)
        << "an AMD64 image with a PE32 header";
    EXPECT_EQ(check(PeImage{.optional_size = 69}.bytes()).problem, PeProblem::no_optional_header)
        << "too short for the subsystem";
    EXPECT_EQ(check(PeImage{.optional_size = 70, .directory_count = 0}.bytes()).problem,
              PeProblem::none);
    const PeImageCheck console = check(PeImage{.subsystem = 3}.bytes());
    EXPECT_EQ(console.problem, PeProblem::not_windows_gui);
    EXPECT_EQ(console.subsystem, 3);
}

// A packed launcher, signed, then tampered with the two ways that leave Windows' verdict as it
// was: an attachment appended after the certificate table, and one inside the table with its
// lengths enlarged. The search still ends at the chain written before signing.
TEST(SignedRange, HidesAttachmentsAfterTheCertificateTablesStart) {
    Bytes launcher = PeImage{.file_size = 1024}.bytes();
    const Bytes data(50, 'p');
    append_attachment(launcher, file_spec(u"payload.msi", data), data);
    append_attachment(launcher, command_spec(u"msiexec.exe", u"/i payload.msi"));
    const std::int64_t chain_end = size_of(launcher);
    launcher.resize((launcher.size() + 7) / 8 * 8, 0);  // signing pads to 8 bytes
    const auto table_offset = static_cast<std::uint32_t>(launcher.size());
    Bytes table = filler(600, 0x30);
    append(launcher, table);
    const auto signed_with = [&](Bytes bytes, std::uint32_t table_size) {
        const PeImage header{.table_offset = table_offset, .table_size = table_size};
        const Bytes headers = header.bytes();
        std::copy(headers.begin(), headers.begin() + 1024, bytes.begin());
        return bytes;
    };
    Bytes hostile;
    append_attachment(hostile, command_spec(u"evil.exe", u""));

    Bytes after = signed_with(launcher, 600);
    append(after, hostile);
    Bytes inside = launcher;
    append(inside, hostile);
    inside = signed_with(inside, static_cast<std::uint32_t>(600 + hostile.size()));
    Bytes unsigned_after = launcher;
    append(unsigned_after, hostile);

    for (const Bytes* bytes : {&after, &inside}) {
        const File file = file_with(*bytes);
        const std::int64_t end = signed_range_end(file.get(), size_of(*bytes));
        EXPECT_EQ(end, table_offset);
        EXPECT_EQ(find_chain_end(file.get(), end, signature), chain_end);
        EXPECT_EQ(find_chain_end(file.get(), size_of(*bytes), signature), size_of(*bytes))
            << "the hostile attachment that a search from the file's end would take";
    }
    const File file = file_with(unsigned_after);
    const std::int64_t end = signed_range_end(file.get(), size_of(unsigned_after));
    EXPECT_EQ(end, size_of(unsigned_after)) << "unsigned: the whole file, as before";
    const HeaderResult last = header_at(file.get(), find_chain_end(file.get(), end, signature));
    EXPECT_EQ(last.header.name, u"evil.exe");
}

TEST(StreamPositioning, ReachesPastFourGibibytesAndRefusesNegativeTargets) {
    const File file(std::tmpfile());
    ASSERT_NE(file, nullptr);
    const std::int64_t far = (std::int64_t{1} << 32) + 100;  // a hole in a sparse file
    ASSERT_TRUE(seek_stream(file.get(), far, SEEK_SET));
    EXPECT_EQ(tell_stream(file.get()), far);
    const Bytes data(5, 'x');
    const Bytes attachment = with_attachment({}, file_spec(u"big.bin", data), data);
    ASSERT_EQ(std::fwrite(attachment.data(), 1, attachment.size(), file.get()), attachment.size());
    ASSERT_EQ(std::fflush(file.get()), 0);
    const std::int64_t end = far + size_of(attachment);

    EXPECT_EQ(find_chain_end(file.get(), end, signature), end);
    EXPECT_EQ(total_of(file.get(), end), 5);
    const HeaderResult result = header_at(file.get(), end);
    ASSERT_EQ(result.status, HeaderStatus::attachment);
    EXPECT_EQ(result.header.data_start, far);

    ASSERT_TRUE(seek_stream(file.get(), 10, SEEK_SET));
    EXPECT_FALSE(seek_stream(file.get(), -1, SEEK_SET));
    EXPECT_FALSE(seek_stream(file.get(), -end - 1, SEEK_END));
    EXPECT_EQ(tell_stream(file.get()), 10) << "a refused seek leaves the position";
    EXPECT_TRUE(seek_stream(file.get(), -3, SEEK_END));
    std::uint8_t bytes[4];
    EXPECT_FALSE(read_exact(file.get(), bytes, 4)) << "only 3 bytes are left";
    EXPECT_TRUE(read_exact(file.get(), bytes, 0));
}

}  // namespace
