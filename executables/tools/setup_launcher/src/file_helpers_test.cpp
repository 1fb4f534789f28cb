#include "file_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "string_table.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::u16string u16(const std::string& text) {
    return from_utf8(text);
}

void write_file(const fs::path& path, const std::string& content = "x") {
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The permission bits of a path, not following a link.
unsigned mode_of(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0xFFFFu;
}

// Sets the process's umask for the lifetime of the object.
struct ScopedUmask {
    mode_t previous;
    explicit ScopedUmask(mode_t mask) : previous(umask(mask)) {}
    ~ScopedUmask() { umask(previous); }
};

std::size_t entry_count(const fs::path& directory) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

// The message of the report that `action` raises; nothing when it raises none.
std::optional<std::u16string> report_of(const std::function<void()>& action) {
    ThrowOnFatalError guard;
    try {
        action();
    } catch (const FatalErrorRaised& raised) {
        return raised.report.message;
    }
    return std::nullopt;
}

bool starts_with(const std::optional<std::u16string>& message, const std::u16string& prefix) {
    return message.has_value() && message->starts_with(prefix);
}

std::string make_private_temp_dir() {
    std::string pattern = fs::temp_directory_path() / "file_helpers_test.XXXXXX";
    return mkdtemp(pattern.data());
}

// Every test gets its own empty temporary directory as TMPDIR, no TMP, English texts and no
// extraction directory yet.
class FileHelpersTest : public ::testing::Test {
protected:
    void SetUp() override {
        refill_string_tables();
        reset_extraction_root_for_tests();
    }
    void TearDown() override {
        reset_extraction_root_for_tests();
        fs::remove_all(temp);
    }

    const std::string temp = make_private_temp_dir();
    ScopedEnv tmpdir{"TMPDIR", temp.c_str()};
    ScopedEnv tmp{"TMP", nullptr};
    ScopedEnv lc_all{"LC_ALL", nullptr};
    ScopedEnv lc_messages{"LC_MESSAGES", nullptr};
    ScopedEnv lang{"LANG", "en_US.UTF-8"};
};

// ---- Own file and path ----

TEST(SplitPathTest, DriveDirectoryNameAndExtension) {
    struct Case {
        std::u16string_view path, drive, directory, name, extension;
    };
    const Case cases[] = {
        {u"C:\\Downloads\\setup.exe", u"C:", u"\\Downloads\\", u"setup", u".exe"},
        {u"Downloads\\setup.exe", u"", u"Downloads\\", u"setup", u".exe"},
        {u"/opt/launcher/setup.exe", u"", u"/opt/launcher/", u"setup", u".exe"},
        {u"C:\\my.files/mixed\\setup", u"C:", u"\\my.files/mixed\\", u"setup", u""},
        {u"archive.tar.gz", u"", u"", u"archive.tar", u".gz"},
        {u"C:setup.exe", u"C:", u"", u"setup", u".exe"},
    };
    for (const Case& c : cases) {
        const PathParts parts = split_path(c.path);
        EXPECT_EQ(parts.drive, c.drive) << to_utf8(std::u16string(c.path));
        EXPECT_EQ(parts.directory, c.directory) << to_utf8(std::u16string(c.path));
        EXPECT_EQ(parts.name, c.name) << to_utf8(std::u16string(c.path));
        EXPECT_EQ(parts.extension, c.extension) << to_utf8(std::u16string(c.path));
    }
}

TEST_F(FileHelpersTest, FileExistsOnlyForReadableFiles) {
    write_file(temp + "/file.bin");
    EXPECT_TRUE(file_exists(u16(temp + "/file.bin")));
    EXPECT_FALSE(file_exists(u16(temp)));
    EXPECT_FALSE(file_exists(u16(temp + "/missing.bin")));
}

TEST_F(FileHelpersTest, SeekAndTellUse64BitPositionsAndReportFailures) {
    const std::string name = temp + "/sparse.bin";
    const std::int64_t size = (std::int64_t{5} << 30) + 7;  // beyond what 32 bits hold
    write_file(name);
    fs::resize_file(name, static_cast<std::uintmax_t>(size));
    std::FILE* file = std::fopen(name.c_str(), "rb");
    ASSERT_NE(file, nullptr);

    EXPECT_EQ(seek_file(file, 0, SEEK_END, false), size);
    EXPECT_EQ(tell_file(file), size);
    EXPECT_EQ(seek_file(file, -size, SEEK_END, false), 0);
    EXPECT_EQ(seek_file(file, size - 1, SEEK_SET, false), size - 1);
    EXPECT_EQ(tell_file(file), size - 1);

    EXPECT_EQ(seek_file(file, -1, SEEK_SET, true), -1);
    EXPECT_EQ(seek_file(file, -size - 1, SEEK_END, true), -1);
    EXPECT_EQ(report_of([&] { seek_file(file, -4, SEEK_SET, true); }), std::nullopt);
    const auto report = report_of([&] { seek_file(file, -4, SEEK_SET, false); });
    EXPECT_TRUE(starts_with(report,
                            u"Error reading 'unit_tests'\n\n"
                            u"executables/tools/setup_launcher/src/file_helpers.cpp"))
        << to_utf8(report.value_or(u"no report"));
    std::fclose(file);

    // A pipe has no position.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::FILE* pipe_stream = fdopen(ends[0], "rb");
    EXPECT_TRUE(
        starts_with(report_of([&] { tell_file(pipe_stream); }), u"Error reading 'unit_tests'\n\n"));
    std::fclose(pipe_stream);
    close(ends[1]);
}

// ---- The extraction directory ----

TEST_F(FileHelpersTest, FirstCallCreatesNumberTwoAndLaterCallsReuseIt) {
    const std::u16string root = extraction_path(u"");
    EXPECT_EQ(root, u16(temp + "/VOQSETUP2/"));
    EXPECT_TRUE(fs::is_directory(temp + "/VOQSETUP2"));
    EXPECT_EQ(extraction_path(u""), root);
    EXPECT_EQ(extraction_path(u"update.msp"), root + u"update.msp");
    EXPECT_EQ(entry_count(temp), 1u);
    EXPECT_EQ(entry_count(temp + "/VOQSETUP2"), 0u) << "a name without a separator creates nothing";
}

TEST_F(FileHelpersTest, LeftoverNamesAreSkipped) {
    write_file(temp + "/VOQSETUP2");
    EXPECT_EQ(extraction_path(u""), u16(temp + "/VOQSETUP3/"));

    // Now 2 is a file and 3 a directory.
    reset_extraction_root_for_tests();
    EXPECT_EQ(extraction_path(u""), u16(temp + "/VOQSETUP4/"));
    std::uint32_t number = 2;
    const DirectoryCandidate candidate = unique_directory_name(u16(temp + "/"), number);
    EXPECT_EQ(candidate.path, u16(temp + "/VOQSETUP5"));
    EXPECT_TRUE(candidate.readable);
    EXPECT_EQ(number, 5u);
}

TEST_F(FileHelpersTest, ANameWhoseStatusCantBeReadEndsTheSearchWithOneReport) {
    // TMP names a file: no name below it can be looked at, and none is tried after the first.
    const std::string file = temp + "/file";
    write_file(file);
    std::uint32_t number = 2;
    const DirectoryCandidate candidate = unique_directory_name(u16(file), number);
    EXPECT_EQ(candidate.path, u16(file + "/VOQSETUP2"));
    EXPECT_FALSE(candidate.readable);
    EXPECT_EQ(number, 2u);

    ScopedEnv tmp_file("TMP", file.c_str());
    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u""); }),
                            u"Couldn't create temp directory '" + u16(file) + u"/VOQSETUP2'\n\n"));
}

TEST_F(FileHelpersTest, TmpIsTheBaseOnlyWhenItExists) {
    const std::string other = temp + "/other";
    fs::create_directory(other);
    {
        ScopedEnv tmp_set("TMP", other.c_str());
        EXPECT_EQ(extraction_path(u""), u16(other + "/VOQSETUP2/"));
    }
    reset_extraction_root_for_tests();
    {
        ScopedEnv tmp_set("TMP", (other + "/").c_str());
        EXPECT_EQ(extraction_path(u""), u16(other + "/VOQSETUP3/")) << "no doubled separator";
    }
    reset_extraction_root_for_tests();
    {
        ScopedEnv tmp_missing("TMP", (temp + "/missing").c_str());
        EXPECT_EQ(extraction_path(u""), u16(temp + "/VOQSETUP2/"));
    }
}

TEST_F(FileHelpersTest, FailedCreationReportsThePathWithoutClosingSeparator) {
    // A regular file as the base: nothing below it can be created.
    const std::string file = temp + "/not_a_directory";
    write_file(file);
    ScopedEnv tmp_file("TMP", file.c_str());
    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u""); }),
                            u16("Couldn't create temp directory '" + file + "/VOQSETUP2'\n\n")));
}

TEST_F(FileHelpersTest, IntermediateDirectoriesAreCreatedForBothSeparators) {
    const std::u16string root = extraction_path(u"");
    const std::string root8 = to_utf8(root);
    EXPECT_EQ(extraction_path(u"a/b\\c.txt"), root + u"a/b/c.txt");
    EXPECT_TRUE(fs::is_directory(root8 + "a/b"));
    EXPECT_FALSE(fs::exists(root8 + "a/b/c.txt"));
    EXPECT_EQ(entry_count(root8), 1u);
    EXPECT_EQ(entry_count(root8 + "a"), 1u);

    // Existing directories and empty components are passed over.
    EXPECT_EQ(extraction_path(u"a//b/d.txt"), root + u"a//b/d.txt");
    EXPECT_EQ(entry_count(root8 + "a/b"), 0u);
}

// Each file goes where its name says, whichever directory the one before went to.
TEST_F(FileHelpersTest, FilesOfSeveralDirectoriesGoWhereTheirNamesSay) {
    const std::u16string root = extraction_path(u"");
    const std::string root8 = to_utf8(root);
    for (const std::u16string name : {u"a/1", u"b/1", u"a/2", u"a/b/3", u"4", u"a/5", u"b\\6"}) {
        extraction_path(name);
        const NewFile created = create_extracted_file(name);
        ASSERT_EQ(created.status, NewFileStatus::created) << to_utf8(name);
        std::fputs(to_utf8(name).c_str(), created.file);
        std::fclose(created.file);
    }
    EXPECT_EQ(read_file(root8 + "a/1"), "a/1");
    EXPECT_EQ(read_file(root8 + "b/1"), "b/1");
    EXPECT_EQ(read_file(root8 + "a/2"), "a/2");
    EXPECT_EQ(read_file(root8 + "a/b/3"), "a/b/3");
    EXPECT_EQ(read_file(root8 + "4"), "4");
    EXPECT_EQ(read_file(root8 + "a/5"), "a/5");
    EXPECT_EQ(read_file(root8 + "b/6"), "b\\6");
    EXPECT_EQ(entry_count(root8 + "a"), 4u);
    EXPECT_EQ(create_extracted_file(u"a/2").status, NewFileStatus::name_taken);
    EXPECT_EQ(create_extracted_file(u"b/1").status, NewFileStatus::name_taken);

    // A file where a deeper directory goes: that one is named, not the one above it.
    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u"a/b/3/c/x.txt"); }),
                            u"Couldn't create temp directory '" + root + u"a/b/3/'\n\n"));
}

TEST_F(FileHelpersTest, RegularFileInTheWayReportsThatDirectoryWithSeparator) {
    const std::u16string root = extraction_path(u"");
    write_file(to_utf8(root) + "a");
    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u"a\\b/c.txt"); }),
                            u"Couldn't create temp directory '" + root + u"a/'\n\n"));
    EXPECT_FALSE(directory_exists(root + u"a"));
    EXPECT_TRUE(directory_exists(root));
    EXPECT_TRUE(directory_exists(root.substr(0, root.size() - 1)));
}

// ---- Nobody else may touch the extraction directory ----

TEST_F(FileHelpersTest, DirectoriesAreOnlyTheLaunchersWhateverTheUmask) {
    for (const mode_t mask : {0000, 0022, 0777}) {
        reset_extraction_root_for_tests();
        std::string root;
        {
            ScopedUmask scoped(mask);
            root = to_utf8(extraction_path(u""));
            extraction_path(u"a/b\\c.txt");
        }
        EXPECT_EQ(mode_of(root), 0700u) << "umask " << mask;
        EXPECT_EQ(mode_of(root + "a"), 0700u) << "umask " << mask;
        EXPECT_EQ(mode_of(root + "a/b"), 0700u) << "umask " << mask;
    }
}

TEST_F(FileHelpersTest, DanglingLinkTakesItsNameLikeAnyEntry) {
    fs::create_symlink(temp + "/nowhere", temp + "/VOQSETUP2");
    EXPECT_EQ(extraction_path(u""), u16(temp + "/VOQSETUP3/"));
    EXPECT_TRUE(fs::is_symlink(temp + "/VOQSETUP2"));
    EXPECT_FALSE(fs::exists(temp + "/nowhere"));
}

TEST_F(FileHelpersTest, LinksInsideAreNeverFollowed) {
    const std::string outside = temp + "/outside";
    fs::create_directory(outside);
    const std::u16string root = extraction_path(u"");
    const std::string root8 = to_utf8(root);
    fs::create_directory_symlink(outside, root8 + "sub");
    extraction_path(u"real/x.txt");
    fs::create_directory_symlink(outside, root8 + "real/deeper");

    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u"sub/x.txt"); }),
                            u"Couldn't create temp directory '" + root + u"sub/'\n\n"));
    EXPECT_TRUE(starts_with(report_of([] { extraction_path(u"real/deeper/more/x.txt"); }),
                            u"Couldn't create temp directory '" + root + u"real/deeper/'\n\n"));
    // Straight to the file, past extraction_path's checks: the link above it is refused too.
    EXPECT_EQ(create_extracted_file(u"sub/x.txt").status, NewFileStatus::failed);
    EXPECT_EQ(create_extracted_file(u"real/deeper/x.txt").status, NewFileStatus::failed);
    EXPECT_EQ(entry_count(outside), 0u);
}

TEST_F(FileHelpersTest, FilesAreCreatedNeverOpened) {
    const std::string root = to_utf8(extraction_path(u""));
    const std::string outside = temp + "/outside.txt";
    write_file(outside, "kept");

    const NewFile created = create_extracted_file(u"new.txt");
    ASSERT_EQ(created.status, NewFileStatus::created);
    std::fputs("data", created.file);
    std::fclose(created.file);
    EXPECT_EQ(read_file(root + "new.txt"), "data");
    EXPECT_EQ(create_extracted_file(u"new.txt").status, NewFileStatus::name_taken);

    fs::create_symlink(outside, root + "link.txt");
    fs::create_symlink(temp + "/made_through_link.txt", root + "dangling.txt");
    ASSERT_EQ(mkfifo((root + "fifo").c_str(), 0600), 0);
    for (const std::u16string name : {u"link.txt", u"dangling.txt", u"fifo"}) {
        EXPECT_EQ(create_extracted_file(name).status, NewFileStatus::name_taken) << to_utf8(name);
    }
    EXPECT_EQ(read_file(outside), "kept");
    EXPECT_FALSE(fs::exists(temp + "/made_through_link.txt"));

    // A directory can't be written: the failure to open, not an existing file.
    extraction_path(u"dir/x");
    errno = 0;
    EXPECT_EQ(create_extracted_file(u"dir").status, NewFileStatus::failed);
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(FileHelpersTest, PathsThatAreNotUtf8SurviveAndAreCleanedUp) {
    const std::string odd_tmp = temp + "/tmp_\xFF\xC3";
    const std::string odd_tmpdir = temp + "/tmpdir_\xE4";
    fs::create_directory(odd_tmp);
    fs::create_directory(odd_tmpdir);
    {
        ScopedEnv tmp_set("TMP", odd_tmp.c_str());
        EXPECT_EQ(extraction_path(u""), from_path_bytes(odd_tmp + "/VOQSETUP2/"));
    }
    reset_extraction_root_for_tests();
    {
        ScopedEnv tmpdir_set("TMPDIR", odd_tmpdir.c_str());
        EXPECT_EQ(extraction_path(u""), from_path_bytes(odd_tmpdir + "/VOQSETUP2/"));
    }
    EXPECT_TRUE(fs::is_directory(odd_tmp + "/VOQSETUP2"));
    EXPECT_TRUE(fs::is_directory(odd_tmpdir + "/VOQSETUP2"));

    // Names of any bytes are made as they are, and go with the directory.
    const std::u16string odd_name = from_path_bytes("sub_\x80/file_\xFE");
    extraction_path(odd_name);
    const NewFile created = create_extracted_file(odd_name);
    ASSERT_EQ(created.status, NewFileStatus::created);
    std::fclose(created.file);
    EXPECT_TRUE(fs::is_regular_file(odd_tmpdir + "/VOQSETUP2/sub_\x80/file_\xFE"));
    delete_extraction_dir();
    EXPECT_EQ(entry_count(odd_tmpdir), 0u);
}

TEST_F(FileHelpersTest, DescriptorGrantsTheUserOnlyWhenNotElevated) {
    EXPECT_EQ(private_directory_sddl(true, u"S-1-5-21-1-2-3-1001"),
              u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_EQ(private_directory_sddl(false, u"S-1-5-21-1-2-3-1001"),
              u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)");
}

TEST_F(FileHelpersTest, DeletionRemovesEverythingAndFollowsNoLink) {
    const std::string outside = temp + "/outside";
    fs::create_directories(outside + "/inner");
    write_file(outside + "/keep.txt");
    const std::string root = to_utf8(extraction_path(u"sub/deeper/leaf.txt"));
    extraction_path(u"empty/x");
    write_file(root.substr(0, root.size() - std::string("sub/deeper/leaf.txt").size()) + "top.txt");
    write_file(root);
    const std::string base = temp + "/VOQSETUP2";
    fs::create_directory_symlink(outside, base + "/directory_link");
    fs::create_directory_symlink(outside, base + "/sub/nested_link");
    fs::create_symlink(outside + "/keep.txt", base + "/file_link");
    fs::create_symlink(temp + "/nowhere", base + "/dangling_link");

    delete_extraction_dir();
    EXPECT_FALSE(fs::exists(fs::symlink_status(base)));
    EXPECT_EQ(read_file(outside + "/keep.txt"), "x");
    EXPECT_TRUE(fs::is_directory(outside + "/inner"));
}

// Whoever may rename entries of TMP can move the extraction directory away and put something
// else under its name: a link to a directory of the same layout, or a directory of their own.
// The launcher deletes what it made, where it now is, and leaves what has the name alone.
TEST_F(FileHelpersTest, DeletionAfterTheDirectoryWasMovedAwayTouchesNothingElse) {
    for (const bool as_link : {true, false}) {
        SCOPED_TRACE(as_link ? "a link in its place" : "a directory in its place");
        reset_extraction_root_for_tests();
        const std::string victim = temp + "/victim";
        fs::create_directories(victim + "/sub");
        write_file(victim + "/sub/file.txt", "victim");
        write_file(victim + "/top.txt", "victim");
        write_file(to_utf8(extraction_path(u"sub/file.txt")));
        write_file(to_utf8(extraction_path(u"top.txt")));

        const std::string named = temp + "/VOQSETUP2";
        fs::rename(named, temp + "/moved");
        if (as_link)
            fs::create_directory_symlink(victim, named);
        else
            fs::rename(victim, named);
        delete_extraction_dir();

        const std::string other = as_link ? victim : named;
        EXPECT_EQ(read_file(other + "/sub/file.txt"), "victim");
        EXPECT_EQ(read_file(other + "/top.txt"), "victim");
        EXPECT_TRUE(fs::exists(fs::symlink_status(named))) << "what has the name stays";
        EXPECT_TRUE(fs::is_directory(temp + "/moved")) << "it can't be removed by a name";
        EXPECT_EQ(entry_count(temp + "/moved"), 0u) << "but all it held is gone";
        fs::remove_all(named);
        fs::remove_all(victim);
        fs::remove(temp + "/moved");
    }
}

TEST_F(FileHelpersTest, DeleteExtractionDirCreatesItFirstWhenNeeded) {
    delete_extraction_dir();
    EXPECT_EQ(entry_count(temp), 0u);

    reset_extraction_root_for_tests();
    write_file(to_utf8(extraction_path(u"x/y/z.bin")));
    delete_extraction_dir();
    EXPECT_EQ(entry_count(temp), 0u);
}

// ---- Running commands ----

TEST(SplitCommandLineTest, FollowsTheWindowsArgumentRules) {
    using Arguments = std::vector<std::u16string>;
    EXPECT_EQ(split_command_line(u""), Arguments{});
    EXPECT_EQ(split_command_line(u" \t "), Arguments{});
    EXPECT_EQ(split_command_line(u"  /p update.msp\tREINSTALL=ALL  "),
              (Arguments{u"/p", u"update.msp", u"REINSTALL=ALL"}));
    EXPECT_EQ(split_command_line(u"\"two words\" x\"y z\"w"), (Arguments{u"two words", u"xy zw"}));
    // Backslashes are literal unless a quote follows them.
    EXPECT_EQ(split_command_line(u"C:\\dir\\ a\\\\b"), (Arguments{u"C:\\dir\\", u"a\\\\b"}));
    // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
    EXPECT_EQ(split_command_line(u"a\\\\\"b c\" d"), (Arguments{u"a\\b c", u"d"}));
    EXPECT_EQ(split_command_line(u"\"C:\\dir\\\\\" e"), (Arguments{u"C:\\dir\\", u"e"}));
    // 2n+1 backslashes and a quote: n backslashes and a literal quote.
    EXPECT_EQ(split_command_line(u"a\\\\\\\"b c"), (Arguments{u"a\\\"b", u"c"}));
    EXPECT_EQ(split_command_line(u"\\\" \"in \\\"quotes\\\"\""),
              (Arguments{u"\"", u"in \"quotes\""}));
    // Two quotes inside a quoted part: one literal quote, and the quoted part ends.
    EXPECT_EQ(split_command_line(u"\"a\"\"b c\" d"), (Arguments{u"a\"b", u"c d"}));
    EXPECT_EQ(split_command_line(u"\"\"\" x"), (Arguments{u"\"", u"x"}));
    // Empty quotes make an empty argument; an open quoted part runs to the end.
    EXPECT_EQ(split_command_line(u"a \"\" b \"\""), (Arguments{u"a", u"", u"b", u""}));
    EXPECT_EQ(split_command_line(u"\"open  part"), (Arguments{u"open  part"}));
}

class RunCommandTest : public FileHelpersTest {
protected:
    void SetUp() override {
        FileHelpersTest::SetUp();
        // Sleeps first, so that a launcher that did not wait finds no log yet.
        write_file(script,
                   "sleep 0.2\n"
                   "for argument in \"$@\"; do printf '[%s]\\n' \"$argument\"; done > \"$LOG\"\n"
                   "pwd -P >> \"$LOG\"\n");
    }
    const std::string script = temp + "/record.sh";
    const std::string log = temp + "/log.txt";
    ScopedEnv log_env{"LOG", log.c_str()};
};

TEST_F(RunCommandTest, RunsInTheChosenDirectoryAndWaits) {
    const std::u16string parameters = u16(script) + u" one \"two words\" a\\\"b \"\"";
    run_command(u"/bin/sh", parameters, true, false);
    const std::string root = to_utf8(extraction_path(u""));
    EXPECT_EQ(read_file(log),
              "[one]\n[two words]\n[a\"b]\n[]\n" + fs::canonical(root).string() + "\n");

    run_command(u"sh", u16(script), false, false);
    EXPECT_EQ(read_file(log), fs::canonical(to_utf8(own_directory())).string() + "\n");
}

// Where others may rename entries of the temporary directory, the extraction directory can be
// moved away and something else put under its name: the commands still run beside the files
// that were verified, and cleanup leaves alone what now has the name.
TEST_F(RunCommandTest, ExtractionDirectoryMovedAwayAndReplacedByALink) {
    const std::string root = to_utf8(extraction_path(u""));
    write_file(root + "verified.txt");
    const std::string victim = temp + "/victim";
    fs::create_directory(victim);
    write_file(victim + "/precious.txt", "precious");
    fs::rename(temp + "/VOQSETUP2", temp + "/moved");
    fs::create_directory_symlink(victim, temp + "/VOQSETUP2");

    run_command(u"/bin/sh", u16(script), true, false);
    EXPECT_EQ(read_file(log), fs::canonical(temp + "/moved").string() + "\n");

    delete_extraction_dir();
    EXPECT_EQ(read_file(victim + "/precious.txt"), "precious");
    EXPECT_TRUE(fs::is_symlink(temp + "/VOQSETUP2"));
    EXPECT_EQ(entry_count(temp + "/moved"), 0u) << "what it made goes, wherever it was moved";
}

TEST_F(RunCommandTest, MissingProgramIsReportedUnlessQuiet) {
    fs::create_directory(temp + "/empty");
    ScopedEnv path("PATH", (temp + "/empty").c_str());
    const auto report = report_of([] { run_command(u"x", u"y", false, false); });
    EXPECT_TRUE(starts_with(report, u"Failed to execute 'x' with parameters 'y'\n\n"))
        << to_utf8(report.value_or(u"no report"));
    EXPECT_EQ(report_of([] { run_command(u"x", u"y", true, true); }), std::nullopt);
}

}  // namespace
