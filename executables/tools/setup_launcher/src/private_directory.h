// The extraction directory, private to the launcher. The launcher runs elevated and runs what it
// extracted: from the moment the directory is made until it is gone, nobody else may change
// anything in it, and the launcher reads, writes, runs and deletes only what it made. So the
// directory is held open from its creation, everything below it is reached from there, one
// component at a time, and nothing is ever reached through a link or reparse point
// (setup_payload/directory_handles.h).
#pragma once

#include <string>
#include <string_view>

#include "setup_payload/directory_handles.h"

// Creates the directory `path` (no closing separator) for the launcher alone: on Windows with a
// protected DACL (private_directory_sddl) that everything made inside it inherits; elsewhere
// with mode 0700 whatever the umask. The directory that holds it is opened once, by its path,
// and the new directory is made and opened relative to that, and stays open until
// release_private_directory: on Windows without delete sharing, so that nobody can rename it.
// Replaces an earlier one.
NewDirectoryStatus create_private_directory(const std::u16string& path);
// Makes `relative` (a path below the private directory; "/" separates, and on Windows "\" as
// well) a chain of plain directories, creating each one that is missing. False when a
// component is anything else: a file, a link, a reparse point, "." or "..". The directory asked
// for last stays open, and files made in it are made through it.
bool private_subdirectory(std::u16string_view relative);
// Creates the file `relative` exclusively (create_file_at): never opens what exists, never
// follows a link or reparse point, in the name or in the directories above it.
NewFile create_private_file(std::u16string_view relative);

// ---- Deleting the private directory, through what the launcher holds ----

// The private directory as it is held; no_directory when there is none.
DirectoryHandle private_directory();
// Lets go of the directory below it that was held open for the files made there, so that
// nothing of the launcher's own keeps it from being deleted.
void release_held_subdirectory();
// Removes the private directory itself, which must be empty by now, through the directory that
// holds it: only while its name there still names the directory that was made
// (remove_held_directory_at: on Windows the directory is let go first). False when it stays.
bool remove_private_directory();
// Lets the private directory and the directory that holds it go.
void release_private_directory();
