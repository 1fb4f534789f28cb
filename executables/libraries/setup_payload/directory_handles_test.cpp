#include "setup_payload/directory_handles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "setup_payload/text_encoding.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory holding a file, a directory, a link to the directory and a dangling link;
// `held` is it opened through open_directory.
class DirectoryHandles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "directory_handles_test.XXXXXX";
        root = mkdtemp(pattern.data());
        std::ofstream(root / "file") << "x";
        fs::create_directory(root / "dir");
        fs::create_directory_symlink(root / "dir", root / "link");
        fs::create_symlink(root / "nowhere", root / "dangling");
        held = open_directory(from_path_bytes(root.native()), 0);
        ASSERT_NE(held, no_directory);
    }
    void TearDown() override {
        close_directory(held);
        fs::remove_all(root);
    }
    fs::path root;
    DirectoryHandle held = no_directory;
};

// Only a plain directory opens: never a link to one (O_NOFOLLOW with O_DIRECTORY says ENOTDIR), and
// "." or ".." not at all.
TEST_F(DirectoryHandles, OpenOnlyPlainDirectoriesAndMakeMissingOnesWhenAsked) {
    const struct {
        const char16_t* name;
        unsigned flags;
        bool opens;
        int error;
    } cases[] = {
        {u"dir", 0, true, 0},
        {u"link", 0, false, ENOTDIR},
        {u"dangling", create_missing, false, ENOTDIR},
        {u"file", create_missing, false, ENOTDIR},
        {u"missing", 0, false, ENOENT},
        {u".", 0, false, EINVAL},
        {u"..", create_missing, false, EINVAL},
        {u"made", create_missing, true, 0},
    };
    for (const auto& c : cases) {
        const std::string shown = to_utf8(c.name);
        errno = 0;
        const DirectoryHandle directory = open_directory_at(held, c.name, c.flags);
        EXPECT_EQ(directory != no_directory, c.opens) << shown;
        if (!c.opens)
            EXPECT_EQ(errno, c.error) << shown;
        close_directory(directory);
    }
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(root / "made")));
    EXPECT_FALSE(fs::exists(root / "nowhere")) << "nothing made where a link points";

    const DirectoryHandle deep = open_directory_path_at(held, u"a//b/c/", create_missing);
    EXPECT_NE(deep, no_directory);
    close_directory(deep);
    EXPECT_TRUE(fs::is_directory(root / "a" / "b" / "c"));
    EXPECT_EQ(open_directory_path_at(held, u"dir/../link/x", create_missing), no_directory);
    EXPECT_FALSE(fs::exists(root / "dir" / "x"));
}

// A private directory has mode 0700 whatever the umask, and one that is not private is refused.
TEST_F(DirectoryHandles, PrivateDirectoriesAreMadeAndTakenWithMode0700Only) {
    const mode_t previous = umask(0);
    const DirectoryHandle made =
        open_directory_at(held, u"private", private_to_user | create_missing);
    umask(previous);
    ASSERT_NE(made, no_directory);
    close_directory(made);
    EXPECT_EQ(fs::status(root / "private").permissions(), fs::perms::owner_all);
    errno = 0;
    EXPECT_EQ(open_directory_at(held, u"dir", private_to_user), no_directory) << "mode 0755";
    EXPECT_EQ(errno, EPERM);

    DirectoryHandle created = no_directory;
    EXPECT_EQ(create_directory_at(held, u"dir", private_to_user, u"", created),
              NewDirectoryStatus::name_taken);
    EXPECT_EQ(create_directory_at(held, u"dangling", private_to_user, u"", created),
              NewDirectoryStatus::name_taken)
        << "a dangling link takes its name";
    ASSERT_EQ(create_directory_at(held, u"new", private_to_user, u"", created),
              NewDirectoryStatus::created);
    DirectoryIdentity identity;
    ASSERT_TRUE(directory_identity(created, identity));
    EXPECT_TRUE(remove_held_directory_at(held, u"new", created, identity));
    close_directory(created);
    EXPECT_FALSE(fs::exists(root / "new"));
}

// Files are made only where nothing stands; a name that is taken is no failure of the system's.
TEST_F(DirectoryHandles, FilesAreCreatedExclusivelyNeverThroughALink) {
    const struct {
        const char16_t* name;
        NewFileStatus status;
        int error;
    } cases[] = {
        {u"new.txt", NewFileStatus::created, 0},
        {u"file", NewFileStatus::name_taken, 0},
        {u"dangling", NewFileStatus::name_taken, 0},
        {u"dir", NewFileStatus::failed, EISDIR},
    };
    for (const auto& c : cases) {
        errno = EIO;
        const NewFile created = create_file_at(held, c.name);
        EXPECT_EQ(created.status, c.status) << to_utf8(c.name);
        EXPECT_EQ(created.file != nullptr, c.status == NewFileStatus::created);
        if (created.file != nullptr)
            std::fclose(created.file);
        else
            EXPECT_EQ(errno, c.error) << to_utf8(c.name);
    }
    EXPECT_FALSE(fs::exists(root / "nowhere"));
    EXPECT_EQ(entry_type_at(held, u"new.txt"), EntryType::regular_file);
    EXPECT_EQ(entry_type_at(held, u"dir"), EntryType::directory);
    EXPECT_EQ(entry_type_at(held, u"link"), EntryType::symbolic_link);
    EXPECT_EQ(entry_type_at(held, u"missing"), EntryType::none);
    EXPECT_TRUE(delete_file_at(held, u"link"));
    EXPECT_TRUE(fs::is_directory(root / "dir")) << "the link went, not what it pointed to";
}

// A directory is removed only while its name still names the directory it was.
TEST_F(DirectoryHandles, RemovesADirectoryOnlyWhileItsNameStillNamesIt) {
    const DirectoryHandle dir = open_directory_at(held, u"dir", 0);
    DirectoryIdentity identity;
    ASSERT_TRUE(directory_identity(dir, identity));
    fs::rename(root / "dir", root / "moved");
    fs::create_directory(root / "dir");
    EXPECT_FALSE(remove_directory_at(held, u"dir", identity)) << "another directory took the name";
    EXPECT_TRUE(fs::exists(root / "dir"));
    EXPECT_TRUE(remove_directory_at(held, u"moved", identity));
    EXPECT_FALSE(fs::exists(root / "moved"));
    close_directory(dir);

    std::vector<std::string> names;
    for (const DirectoryEntry& entry : list_directory_at(held))
        names.push_back(to_utf8(entry.name) + ":" + std::to_string(entry.attributes));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling:1024", "dir:16", "file:32", "link:1024"}));
}

}  // namespace
