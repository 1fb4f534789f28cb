// The few operating-system services that the portable units need for texts and the error report.
// Implemented by platform_win32.cpp on Windows and platform_posix.cpp elsewhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The user's interface language as a 16-bit language identifier (0x0409 English, 0x0407 German).
std::uint16_t user_ui_language();

// The thread's last system error code; always 0 where the system keeps none.
std::uint32_t last_error_code();

// The system's text for a last-error code, exactly as the system returns it (line end included),
// or null when it has none. The text is never released: the process ends right after a report.
const char16_t* system_error_text(std::uint32_t code);

// Shows the composed error report to the user and returns once it has been dismissed.
void show_error_box(const std::u16string& message, const std::u16string& title);

// Ends the process through the runtime's normal exit (exit handlers and static destructors run).
[[noreturn]] void exit_process(int code);

// ---- Files, directories and processes (thin wrappers over the system calls) ----

// The separator that the system's own paths use: "\" on Windows, "/" elsewhere.
char16_t native_separator();

// Opens a file by its wide path with a stdio mode ("rb", "wb"); null on failure.
std::FILE* open_file(const std::u16string& path, const char* mode);

// The full path of the running executable. On Windows at most 259 units: a longer path is cut.
std::u16string executable_path();

// The value of an environment variable; false when it is not set.
bool environment_variable(const char* name, std::u16string& value);

// The system's temporary directory, ending in a separator. The length query and the fetch fail
// separately on Windows, and each failure is reported from its own place; elsewhere neither fails.
struct TempPath {
    bool length_failed = false;
    bool fetch_failed = false;
    std::u16string path;
};
TempPath system_temp_path();

// True when a file or directory of that name exists.
bool path_exists(const std::u16string& path);

// What a name for a new directory is: free (nothing of that name exists), taken (something
// does; a link counts as itself, so a dangling one takes its name as well) or unreadable (its
// status can't be read for any other reason, such as a directory above it that can't be searched).
enum class NameStatus {
    free,
    taken,
    unreadable,
};
NameStatus name_status(const std::u16string& path);

// True when the path can be opened for reading as a file (a directory gives false).
bool can_open_for_reading(const std::u16string& path);

// True when a directory search opens on `prefix`, which is empty (the current directory) or ends
// in a separator; the search adds its own wildcard.
bool is_directory(const std::u16string& prefix);
void sleep_milliseconds(unsigned milliseconds);

// ---- The extraction directory, private to the launcher ----
// The launcher runs elevated and runs what it extracted: from the moment the directory is made
// until it is gone, nobody else may change anything in it, and the launcher reads, writes, runs
// and deletes only what it made. So the directory is held open from its creation, everything
// below it is reached from there, one component at a time, and nothing is ever reached through a
// link or reparse point.

// Creates the directory `path` (no closing separator) for the launcher alone: on Windows with a
// protected DACL (private_directory_sddl) that everything made inside it inherits; elsewhere
// with mode 0700 whatever the umask. The directory that holds it is opened once, by its path,
// and the new directory is made and opened relative to that, and stays open until
// release_private_directory: on Windows without delete sharing, so that nobody can rename it.
// Replaces an earlier one.
enum class NewDirectoryStatus {
    created,
    name_taken,  // something of that name exists, seen or not (a link whose target is gone)
    failed,
};
NewDirectoryStatus create_private_directory(const std::u16string& path);
// Makes `relative` (a path below the private directory; "/" separates, and on Windows "\" as
// well) a chain of plain directories, creating each one that is missing. False when a
// component is anything else: a file, a link, a reparse point, "." or "..". The directory asked
// for last stays open, and files made in it are made through it.
bool private_subdirectory(std::u16string_view relative);

// A new file below the private directory, open for writing ("wb").
enum class NewFileStatus {
    created,
    name_taken,  // an entry of that name exists: a file, a link (dangling or not), a device...
    failed,      // anything else, a directory of that name included
};
struct NewFile {
    NewFileStatus status = NewFileStatus::failed;
    std::FILE* file = nullptr;
};
// Creates the file `relative` exclusively: never opens what exists, never follows a link or
// reparse point, in the name or in the directories above it.
NewFile create_private_file(std::u16string_view relative);

// ---- Deleting the private directory, through what the launcher holds ----
// An open directory: a descriptor or a handle. Each is reached from the one above it, by one
// name, without following a link or reparse point.
using DirectoryHandle = std::intptr_t;
inline constexpr DirectoryHandle no_directory = -1;

// One entry of a directory listing. `attributes` is the system's attribute word: exactly
// 0x10 for a plain directory. Where the system keeps no such word, a directory gives 0x10, a
// symbolic link 0x400 (so that it is deleted as an entry and never followed) and anything else
// 0x20.
struct DirectoryEntry {
    std::u16string name;
    std::uint32_t attributes;
};
inline constexpr std::uint32_t attribute_directory = 0x10;

// The private directory as it is held; no_directory when there is none.
DirectoryHandle private_directory();
// Lets go of the directory below it that was held open for the files made there, so that
// nothing of the launcher's own keeps it from being deleted.
void release_held_subdirectory();
// The entries of an open directory, without "." and ".."; none when it can't be listed.
std::vector<DirectoryEntry> list_directory_at(DirectoryHandle directory);
// Opens the entry `name` of `parent` when it is a plain directory (no link, no reparse point);
// no_directory otherwise. The caller closes it.
DirectoryHandle open_directory_at(DirectoryHandle parent, const std::u16string& name);
void close_directory(DirectoryHandle directory);
// Deletes the entry `name` of `parent` that is no directory: a file, or a link itself, never
// what it points to. False when it stays.
bool delete_file_at(DirectoryHandle parent, const std::u16string& name);
// Removes the empty directory `directory`, opened as `name` of `parent`. False when it stays,
// also when `name` no longer names it.
bool remove_directory_at(DirectoryHandle parent, const std::u16string& name,
                         DirectoryHandle directory);
// Removes the private directory itself, which must be empty by now, through the directory that
// holds it: only while its name there still names the directory that was made. False when it
// stays.
bool remove_private_directory();
// Lets the private directory and the directory that holds it go.
void release_private_directory();

// Opens a program through the system's shell with a parameter line in a working directory.
// `quiet` keeps the shell from showing error dialogs of its own. Where there is no shell, the
// parameter line is split into arguments by the rules of CommandLineToArgvW.
struct StartedProcess {
    bool started = false;      // false: the shell refused or failed
    bool has_process = false;  // false: the shell started no process of its own
    std::uintptr_t handle = 0;
};
// `in_private_directory` says that `directory` is the private directory: where the system
// allows, the process is started in the directory held open, not in whatever has its name.
StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool in_private_directory, bool quiet);
// Waits without a time limit until the process has ended.
void wait_for_process(const StartedProcess& process);
// Releases the process; false when that fails.
bool close_process(const StartedProcess& process);
