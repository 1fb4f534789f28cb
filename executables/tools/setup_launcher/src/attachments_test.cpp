#include "attachments.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "setup_launcher.h"
#include "setup_payload/adler32.h"
#include "string_table.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// One attachment as a builder would append it: its data, then its header.
struct Piece {
    AttachmentPlan plan;
    std::string data;
};

Piece file_piece(const std::u16string& name, std::string data) {
    Piece piece;
    piece.plan.name = name;
    piece.plan.flags = flag_is_file;
    piece.plan.data_size = data.size();
    piece.plan.checksum = adler32(adler32_initial, data.data(), data.size());
    piece.data = std::move(data);
    return piece;
}

Piece command_piece(const std::u16string& program, std::uint8_t extra_flags = 0) {
    Piece piece;
    piece.plan.name = program;
    piece.plan.flags = static_cast<std::uint8_t>(flag_is_command | extra_flags);
    piece.plan.checksum = 0;
    return piece;
}

// A launcher file: an image without the signature, then the pieces in file order.
std::string launcher_file(const std::vector<Piece>& pieces, std::size_t image_size = 4096) {
    std::string bytes(image_size, 'i');
    for (const Piece& piece : pieces) {
        bytes += piece.data;
        const std::vector<std::uint8_t> header =
            encode_attachment_header(piece.plan, attachment_signature());
        bytes.append(header.begin(), header.end());
    }
    return bytes;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each test extracts into its own temporary directory with English texts, no commands collected
// and the progress window shown.
class ReadAttachmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "attachments_test.XXXXXX";
        temp_dir = mkdtemp(pattern.data());
        tmp.emplace("TMP", temp_dir.c_str());
        refill_string_tables();
        reset_extraction_root_for_tests();
        common_commands().clear();
        localized_commands().clear();
    }
    void TearDown() override {
        close_progress_window();
        fs::remove_all(temp_dir);
    }

    // Writes the launcher file and reads its whole chain as the launcher does. Returns the size
    // of the reader's window, which holds the largest chunk of data that was read.
    std::size_t read_chain(const std::string& bytes) {
        const fs::path path = fs::path(temp_dir) / "setup.bin";
        std::ofstream(path, std::ios::binary) << bytes;
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            throw std::runtime_error("the launcher file can't be opened");
        create_progress_window(1);
        reset_progress_counters(bytes.size());
        ChainReader chain{file, attachment_signature()};
        try {
            read_attachments(chain, static_cast<std::int64_t>(bytes.size()));
        } catch (...) {
            std::fclose(file);
            throw;
        }
        std::fclose(file);
        return chain.capacity;
    }

    // The report that reading the chain raises; nothing when it reads to the end.
    std::optional<std::u16string> report_of_reading(const std::string& bytes) {
        ThrowOnFatalError guard;
        try {
            read_chain(bytes);
        } catch (const FatalErrorRaised& raised) {
            return raised.report.message;
        }
        return std::nullopt;
    }

    fs::path extracted(const std::string& name) const {
        return fs::path(temp_dir) / "VOQSETUP2" / name;
    }

    std::string temp_dir;
    std::optional<ScopedEnv> tmp;
    ScopedUiLanguage language{"en_US.UTF-8"};
};

// The data moves in chunks of at most 10 MiB, each read whole into the reader's window; the copy
// itself, one step of the progress window per chunk, is tested with the chain reader.
TEST_F(ReadAttachmentTest, ChunksAreTenMebibytesWithOneProgressStepEach) {
    const std::size_t chunk = 10485760;
    std::string exact(chunk, '\0');
    for (std::size_t i = 0; i < exact.size(); i += 4093)
        exact[i] = static_cast<char>(i);
    EXPECT_EQ(read_chain(launcher_file({file_piece(u"exact.bin", exact)})), chunk);
    EXPECT_EQ(progress_bytes_done(), chunk);
    EXPECT_EQ(read_file(extracted("exact.bin")), exact);

    reset_extraction_root_for_tests();
    fs::remove_all(fs::path(temp_dir) / "VOQSETUP2");
    EXPECT_EQ(read_chain(launcher_file({file_piece(u"more.bin", exact + "!")})), chunk)
        << "the last byte comes in a chunk of its own";
    EXPECT_EQ(progress_bytes_done(), chunk + 1);
    EXPECT_EQ(read_file(extracted("more.bin")), exact + "!");
}

TEST_F(ReadAttachmentTest, EmptyFileCommandWithDataAndCollectedCommands) {
    Piece empty = file_piece(u"sub/empty.txt", "");
    ASSERT_EQ(empty.plan.checksum, 1u);
    Piece tool = file_piece(u"tool.exe", "program bytes");
    tool.plan.flags |= flag_is_command | flag_run_in_extraction_dir;
    Piece german = command_piece(u"de.exe", flag_has_lcid | flag_quiet);
    german.plan.lcid = 0x0407;
    german.plan.parameters = u"/q";
    read_chain(launcher_file({command_piece(u"first.exe"), german, tool, empty}));

    EXPECT_TRUE(fs::exists(extracted("sub/empty.txt")));
    EXPECT_EQ(fs::file_size(extracted("sub/empty.txt")), 0u);
    EXPECT_EQ(read_file(extracted("tool.exe")), "program bytes");
    // Reading order: nearest the end of the file first.
    ASSERT_EQ(common_commands().size(), 2u);
    EXPECT_EQ(common_commands()[0].program, u"tool.exe");
    EXPECT_EQ(common_commands()[0].run_in_extraction_dir, 1);
    EXPECT_EQ(common_commands()[1].program, u"first.exe");
    ASSERT_EQ(localized_commands().size(), 1u);
    EXPECT_EQ(localized_commands()[0].lcid, 0x0407);
    EXPECT_EQ(localized_commands()[0].parameters, u"/q");
    EXPECT_EQ(localized_commands()[0].quiet, 1);
}

TEST_F(ReadAttachmentTest, PayloadFaultsAreReportedWithTheirKeys) {
    Piece bad = file_piece(u"b.txt", "hello world");
    bad.data[3] ^= 0x20;  // the stored checksum no longer fits
    EXPECT_EQ(report_of_reading(launcher_file({bad}))->substr(0, 54),
              u"Error reading 'unit_tests': file 'b.txt' is corrupted\n");
    EXPECT_EQ(read_file(extracted("b.txt")), bad.data) << "written whole and left in place";

    reset_extraction_root_for_tests();
    Piece long_header = file_piece(u"c.txt", "c");
    std::string bytes = launcher_file({long_header});
    bytes[bytes.size() - 16] += 1;  // header_size one too large
    EXPECT_TRUE(
        report_of_reading(bytes)->starts_with(u"Error reading 'unit_tests': header corrupt\n"));

    reset_extraction_root_for_tests();
    const auto twice = report_of_reading(
        launcher_file({file_piece(u"same.txt", "older"), file_piece(u"same.txt", "newer")}));
    ASSERT_TRUE(twice.has_value());
    EXPECT_TRUE(twice->starts_with(u"File '" + extraction_path(u"same.txt") + u"' already exists"))
        << to_utf8(*twice);
}

// A report carries the errno line only when a system call failed for it: the calls that succeed
// on the way (the extraction directory's names looked up, files created) leave errno as they
// please, and a damaged payload is no failure of the system.
TEST_F(ReadAttachmentTest, ReportsCarryASystemErrorOnlyWhenACallFailedForThem) {
    Piece corrupted = file_piece(u"b.txt", "hello world");
    corrupted.data[3] ^= 0x20;
    std::string long_header = launcher_file({file_piece(u"c.txt", "c")});
    long_header[long_header.size() - 16] += 1;
    std::string cut = launcher_file({file_piece(u"c.txt", "c")}, 0);
    cut.erase(0, 5);  // the name now begins before the file does
    const struct {
        const char* what;
        std::string bytes;
        std::u16string begins;
        bool system_error;
    } cases[] = {
        {"corrupted file", launcher_file({corrupted}),
         u"Error reading 'unit_tests': file 'b.txt' is corrupted\n", false},
        {"header corrupt", long_header, u"Error reading 'unit_tests': header corrupt\n", false},
        {"header before the file's start", cut, u"Error reading 'unit_tests'\n", false},
        {"unsafe name", launcher_file({file_piece(u"../x.txt", "x")}),
         u"Error reading 'unit_tests': invalid file name '../x.txt'\n", false},
        {"name too long for the path", launcher_file({file_piece(std::u16string(250, u'n'), "x")}),
         u"Error reading 'unit_tests': invalid file name 'nnn", false},
        {"name taken", launcher_file({file_piece(u"same.txt", "a"), file_piece(u"same.txt", "b")}),
         u"File '", false},
        // A directory where the file goes: creating the file failed, and says why.
        {"directory in the way",
         launcher_file({file_piece(u"d", "x"), file_piece(u"d/i.txt", "i")}),
         u"Error opening 'd' for writing\n", true},
    };
    for (const auto& [what, bytes, begins, system_error] : cases) {
        reset_extraction_root_for_tests();
        fs::remove_all(fs::path(temp_dir) / "VOQSETUP2");
        errno = ENOENT;  // as a lookup on the way may leave it
        const std::optional<std::u16string> report = report_of_reading(bytes);
        ASSERT_TRUE(report.has_value()) << what;
        EXPECT_TRUE(report->starts_with(begins)) << what << ": " << to_utf8(*report);
        EXPECT_EQ(report->find(u"\nerrno==") != std::u16string::npos, system_error)
            << what << ": " << to_utf8(*report);
    }
}

TEST_F(ReadAttachmentTest, WhatHasTheNameAlreadyIsNeverWrittenThrough) {
    // A link where the file goes, dangling: the file it names is not made.
    const fs::path outside = fs::path(temp_dir) / "outside.txt";
    fs::create_symlink(outside, to_utf8(extraction_path(u"planted.txt")));
    const auto planted = report_of_reading(launcher_file({file_piece(u"planted.txt", "x")}));
    ASSERT_TRUE(planted.has_value());
    EXPECT_TRUE(
        planted->starts_with(u"File '" + extraction_path(u"planted.txt") + u"' already exists\n"))
        << to_utf8(*planted);
    EXPECT_EQ(planted->find(u"errno"), std::u16string::npos) << "no system error caused it";
    EXPECT_FALSE(fs::exists(outside));

    // A directory where the file goes can't be opened for writing, as it never could.
    reset_extraction_root_for_tests();
    // The piece nearest the end is read first.
    const auto directory =
        report_of_reading(launcher_file({file_piece(u"d", "x"), file_piece(u"d/inner.txt", "i")}));
    ASSERT_TRUE(directory.has_value());
    EXPECT_TRUE(directory->starts_with(u"Error opening 'd' for writing\n")) << to_utf8(*directory);
}

TEST_F(ReadAttachmentTest, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
    for (const std::u16string name : {u"../escape.txt", u"/etc/x", u"a/CON.txt", u"C:x", u"a/b."}) {
        reset_extraction_root_for_tests();
        const auto report = report_of_reading(launcher_file({file_piece(name, "x")}));
        ASSERT_TRUE(report.has_value()) << to_utf8(name);
        EXPECT_TRUE(
            report->starts_with(u"Error reading 'unit_tests': invalid file name '" + name + u"'\n"))
            << to_utf8(*report);
    }
    EXPECT_FALSE(fs::exists(fs::path(temp_dir).parent_path() / "escape.txt"));
}

// A chain that can't be sized falls back to an estimate of its data; an estimate of exactly 0
// must still show progress, or the first chunk would read as the user's cancel and the damaged
// file would end the run silently with exit code 0.
TEST_F(ReadAttachmentTest, UnsizableChainIsReportedEvenWhenTheEstimateIsZero) {
    Piece broken = file_piece(u"a.txt", "a");
    Piece good = file_piece(u"b.txt", "hello");
    std::string front = launcher_file({broken}, 0);
    front[front.size() - 16] = 0;  // header_size 0: the size pass can't step over it
    const std::size_t image = 153600 - front.size() - launcher_file({good}, 0).size();
    const std::string bytes = std::string(image, 'i') + front + launcher_file({good}, 0);
    ASSERT_EQ(bytes.size(), 153600u);
    const fs::path path = fs::path(temp_dir) / "setup.bin";
    std::ofstream(path, std::ios::binary) << bytes;

    EXPECT_EXIT(
        {
            std::FILE* file = std::fopen(path.c_str(), "rb");
            std::int64_t chain_end = 0;
            extract_chain(file, attachment_signature(), chain_end);
        },
        testing::ExitedWithCode(1), "header corrupt");
}

// Every read failure is worded by the key the launcher has always shown for it, and both tables
// have a text for each: a key without one would show an empty report.
TEST(ReadFailureKey, NamesAKeyWithTextsInBothLanguagesForEveryFailure) {
    const std::pair<ReadFailure, std::string> expected[] = {
        {ReadFailure::signature_unreadable, "error_reading_signature"},
        {ReadFailure::before_file_start, "error_reading"},
        {ReadFailure::header_unreadable, "error_reading_header"},
        {ReadFailure::header_size_mismatch, "error_corrupt_header"},
        {ReadFailure::parameters_unreadable, "error_reading_parameters"},
        {ReadFailure::name_unreadable, "error_reading_file_name"},
        {ReadFailure::file_without_name, "error_file_without_name"},
        {ReadFailure::lcid_unreadable, "error_reading_LCID"},
        {ReadFailure::unsafe_file_name, "error_invalid_file_name"},
        {ReadFailure::command_without_program, "error_corrupt_header"},
    };
    ASSERT_EQ(std::size(expected) + 1, read_failure_count) << "every failure but none";
    ScopedUiLanguage language{"en_US.UTF-8"};
    refill_string_tables();
    for (const auto& [failure, key] : expected) {
        EXPECT_EQ(read_failure_key(failure), key);
        for (const std::uint16_t lcid : {lcid_english, lcid_german}) {
            ASSERT_TRUE(select_language(lcid));
            EXPECT_FALSE(get_text(read_failure_key(failure)).empty()) << key << " in " << lcid;
        }
    }
}

}  // namespace
