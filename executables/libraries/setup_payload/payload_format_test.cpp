#include "setup_payload/payload_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "setup_payload/adler32.h"
#include "setup_payload/chain_reader.h"
#include "setup_payload/payload_test_files.h"

namespace {

using namespace payload_test;

// zlib's adler32 shares the name; the cast picks zlib's.
std::uint32_t zlib_checksum_of(const Bytes& data) {
    return static_cast<std::uint32_t>(static_cast<uLong (*)(uLong, const Bytef*, uInt)>(::adler32)(
        1, data.data(), static_cast<uInt>(data.size())));
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

// The file attachment of a typical payload ("update.msp", 7,248,384 bytes), as launcher files
// store it.
TEST(FixedFields, ReadAndWriteTheBytesOfATypicalFileAttachment) {
    const Bytes stored = {0x0a, 0x00, 0x00, 0x00, 0x00, 0x9a, 0x6e, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x56, 0xbb, 0xcb, 0x33, 0x01, 0x35, 0x00, 0x00, 0x00};
    const FixedFields fields{.name_length = 10,
                             .parameters_length = 0,
                             .data_size = 7248384,
                             .checksum = 0x33CBBB56,
                             .flags = flag_is_file,
                             .header_size = computed_header_size(10, 0, false)};
    Bytes bytes(fixed_fields_size);
    encode_fixed_fields(fields, bytes.data());
    EXPECT_EQ(bytes, stored);
    const FixedFields back = decode_fixed_fields(stored.data());
    EXPECT_EQ(back.name_length, 10);
    EXPECT_EQ(back.data_size, 7248384u);
    EXPECT_EQ(back.checksum, 0x33CBBB56u);
    EXPECT_EQ(back.flags, flag_is_file);
    EXPECT_EQ(back.header_size, 53u);
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

// The forward search, which setup_packer runs over a launcher executable, reads the same windows
// in the other direction and must find a signature wherever it lies, first one first.
TEST(FindFirstSignature, FindsTheFirstSignatureAcrossEveryWindowBorderAndTellsFailures) {
    const auto first_in = [](const Bytes& bytes, std::int64_t search_end) {
        const File file = file_with(bytes);
        return find_first_signature(file.get(), search_end, signature);
    };
    // Reads at 0, 8192, 16384 and 24576, each searched with the last 11 bytes of the one before.
    constexpr std::size_t size = 3 * 8192 + 100;
    for (const std::size_t border : {std::size_t{8192}, std::size_t{16384}, std::size_t{24576}}) {
        for (std::size_t split = 0; split <= signature_size; ++split) {
            const std::size_t end = border + split;  // `split` bytes lie in the later window
            EXPECT_EQ(first_in(with_signatures_ending_at(size, {end}), size),
                      std::int64_t(end - signature_size))
                << "border " << border << ", split " << split;
        }
    }
    EXPECT_EQ(first_in(with_signatures_ending_at(30000, {100, 20000}), 30000), 88);
    EXPECT_EQ(first_in(with_signatures_ending_at(12, {12}), 12), 0);
    const Bytes bytes = with_signatures_ending_at(20000, {19000});
    EXPECT_EQ(first_in(bytes, 18999), -1) << "a signature cut by the search end";
    EXPECT_EQ(first_in(bytes, 19000), 18988);
    EXPECT_EQ(first_in({}, 0), -1);
    EXPECT_EQ(first_in(filler(3 * 8192 + 5), 3 * 8192 + 5), -1);
    Bytes cut = filler(3 * 8192);  // only the first 11 signature bytes, across a border
    std::copy(signature.begin(), signature.end() - 1, cut.begin() + 8192 - 5);
    EXPECT_EQ(first_in(cut, size_of(cut)), -1);
    EXPECT_EQ(first_in(filler(100), 101), -2) << "past the end can't be read";
    EXPECT_EQ(first_in(filler(100), -1), -2);
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
