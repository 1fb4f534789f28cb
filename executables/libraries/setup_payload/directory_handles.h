// Directories held open, and what is made, opened and removed inside them: one name at a time,
// relative to the directory held above it, never through a link. POSIX: descriptors and the *at
// calls (directory_handles_posix.cpp). Windows: handles and NtCreateFile relative to the handle
// above, a reparse point (a symbolic link or a junction) opened as itself and never followed
// (directory_handles_win32.cpp). Shared by the launcher, which makes and deletes its extraction
// directory this way, and setup_packer, which writes the files it extracts and builds this way.
// Failures leave the system's error: errno on POSIX, the thread's last error on Windows (and errno
// as well where a stream is made, create_file_at).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// An open directory: a descriptor or a handle.
using DirectoryHandle = std::intptr_t;
inline constexpr DirectoryHandle no_directory = -1;

// How a directory is made and held.
enum DirectoryFlags : unsigned {
    // Makes a directory that is missing (open_directory_at, open_directory_path_at).
    create_missing = 0x1,
    // POSIX: made with mode 0700 whatever the umask, and opened only while it is a directory of
    // this process's user with that mode. Windows: no effect; a new directory inherits the
    // descriptor of the one above, or gets its own (create_directory_at).
    private_to_user = 0x2,
    // Windows: held with listing access and without delete sharing, so that nobody can rename or
    // replace it while it is held (sharing is checked only against handles with data access).
    // POSIX: no effect.
    pinned = 0x4,
};

// Opens the directory that `path` names now, links included: a directory that the user chose.
// no_directory when it can't be opened or is no directory.
DirectoryHandle open_directory(const std::u16string& path, unsigned flags);

// Opens the entry `name` of `parent` when it is a plain directory, never a link or reparse point;
// with create_missing, makes it first when nothing has that name. "." and ".." are refused. On
// Windows an entry that is something else fails as the creation of a directory of that name would
// (ERROR_ALREADY_EXISTS); elsewhere with the system's error for opening it (ELOOP, ENOTDIR).
DirectoryHandle open_directory_at(DirectoryHandle parent, std::u16string_view name, unsigned flags);

// open_directory_at for each component of `relative` ("/" separates, and on Windows "\" as well),
// each one relative to the one before; empty components are passed over. Another handle of
// `start` for an empty `relative`. The caller closes the result.
DirectoryHandle open_directory_path_at(DirectoryHandle start, std::u16string_view relative,
                                       unsigned flags);

void close_directory(DirectoryHandle directory);

// Makes the directory `name` in `parent` and opens it, failing when anything has that name (a
// dangling link included), so that nothing else can take its place in between. On Windows
// `security` is the descriptor text (SDDL) that it gets instead of inheriting one; elsewhere it
// is ignored.
enum class NewDirectoryStatus {
    created,
    name_taken,  // something of that name exists, seen or not (a link whose target is gone)
    failed,
};
NewDirectoryStatus create_directory_at(DirectoryHandle parent, std::u16string_view name,
                                       unsigned flags, std::u16string_view security,
                                       DirectoryHandle& created);

// A new file in `parent`, open for writing ("wb").
enum class NewFileStatus {
    created,
    name_taken,  // an entry of that name exists: a file, a link (dangling or not), a device...
    failed,      // anything else, a directory of that name included
};
struct NewFile {
    NewFileStatus status = NewFileStatus::failed;
    std::FILE* file = nullptr;
};
// Creates the file `name` in `parent` exclusively: never opens what exists, never follows a link.
// A name that exists is no failure of the system's and leaves errno (and the last error) 0; a
// directory of that name fails as opening it for writing would (EISDIR; EACCES on Windows). With
// `removable_while_open`, Windows lets the file be deleted by its path while it is open.
NewFile create_file_at(DirectoryHandle parent, std::u16string_view name,
                       bool removable_while_open = false);

// What stands under a name in a directory, the name itself not followed if it is a link.
enum class EntryType { none, regular_file, directory, symbolic_link, other };
EntryType entry_type_at(DirectoryHandle parent, std::u16string_view name);

// One entry of a directory listing. `attributes` is the system's attribute word: exactly
// 0x10 for a plain directory. Where the system keeps no such word, a directory gives 0x10, a
// symbolic link 0x400 (so that it is deleted as an entry and never followed) and anything else
// 0x20.
struct DirectoryEntry {
    std::u16string name;
    std::uint32_t attributes;
};
inline constexpr std::uint32_t attribute_directory = 0x10;

// The entries of an open directory, without "." and ".."; none when it can't be listed.
std::vector<DirectoryEntry> list_directory_at(DirectoryHandle directory);

// Deletes the entry `name` of `parent` that is no directory: a file, or a link itself, never what
// it points to. False when it stays.
bool delete_file_at(DirectoryHandle parent, std::u16string_view name);

// What tells one directory from every other on the system while it exists.
struct DirectoryIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
bool directory_identity(DirectoryHandle directory, DirectoryIdentity& identity);
// Removes the empty directory `name` of `parent` while that name still names the directory of
// that identity: what stands there instead (put there by whoever may rename entries of
// `parent`) stays. False when it stays. On Windows the directory must not be held without delete
// sharing.
bool remove_directory_at(DirectoryHandle parent, std::u16string_view name,
                         const DirectoryIdentity& identity);
// remove_directory_at for the directory that `held` holds, as create_directory_at made it. On
// Windows `held` is closed first (a directory held without delete sharing can't be deleted, not
// even by its holder) and becomes no_directory; elsewhere it stays open until the caller closes
// it, so that the directory can't go and another take its identity in between.
bool remove_held_directory_at(DirectoryHandle parent, std::u16string_view name,
                              DirectoryHandle& held, const DirectoryIdentity& identity);
