// The launcher's own file and path, the temporary extraction directory, and running commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "private_directory.h"

// ---- Own file and path ----

// Positions the launcher's own file (origin SEEK_SET or SEEK_END) and returns the position
// reached, past SEEK_END from tell_file. A failure returns -1 in the tolerant mode and is reported
// as "error_reading" otherwise.
std::int64_t seek_file(std::FILE* file, std::int64_t offset, int origin, bool tolerant);
// The current position; a failure is reported as "error_reading".
std::int64_t tell_file(std::FILE* file);
// True when the path opens for reading as a file; a directory gives false.
bool file_exists(const std::u16string& path);

std::u16string own_path();
std::u16string own_file_name();  // name and extension, e.g. setup.exe
std::u16string own_directory();  // drive and directory with the closing separator

// A path split into drive ("C:"), directory (up to and including the last "\" or "/"), file name
// and extension (from the last "." of the name).
struct PathParts {
    std::u16string drive;
    std::u16string directory;
    std::u16string name;
    std::u16string extension;
};
PathParts split_path(std::u16string_view path);

// ---- The extraction directory ----

// The extraction directory with its closing separator, as the process's first extraction_path made
// it; empty until then. The launcher makes one per process; nothing but this unit changes it.
extern std::u16string extraction_root;

// The path of a relative name inside the extraction directory. Creates the directory on the
// first call of the process and every missing intermediate directory of the name ("/" and "\"
// both separate). An empty name gives the directory itself with its closing separator.
// Windows gets the name back as passed. Elsewhere "\" is an ordinary character of a file name,
// so there every "\" of the name becomes "/", in the directories created and in the result.
std::u16string extraction_path(const std::u16string& relative_name);
// Creates the file `relative_name` in the extraction directory for writing, where
// extraction_path(relative_name) names it (which makes the directories above it): exclusively,
// never through a link or reparse point.
NewFile create_extracted_file(const std::u16string& relative_name);
// The extraction directory's security descriptor on Windows, as descriptor text: a protected
// DACL granting full control to SYSTEM and the Administrators group and, unless the process is
// elevated, to the user of the textual SID as well; every entry inherited by what is made inside.
std::u16string private_directory_sddl(bool elevated, std::u16string_view user_sid);
// The "VOQSETUP<n>" directory name chosen for a base directory: the first n from `number` (2 at
// first) whose name is free, `number` left at that n. The search ends early at a name whose
// status can't be read, which comes back not `readable`; the path is empty when every
// candidate is taken.
struct DirectoryCandidate {
    std::u16string path;
    bool readable = true;
};
DirectoryCandidate unique_directory_name(const std::u16string& base, std::uint32_t& number);
// True when a directory search on the path opens (a regular file gives false).
bool directory_exists(const std::u16string& path);
// Deletes everything below an open directory through it, each entry reached from its own
// directory without following a link, with retries; reports nothing, and what can't be deleted
// stays.
void delete_directory_tree(DirectoryHandle directory);
// Deletes the extraction directory (creating it first if nothing has): what it holds through
// the directory held open since its creation, then the directory itself.
void delete_extraction_dir();

// ---- Running commands ----

struct LaunchCommand {
    std::u16string program;
    std::u16string parameters;
    std::uint16_t lcid = 0;
    std::uint8_t run_in_extraction_dir = 0;
    std::uint8_t quiet = 0;
};

// Opens the program through the shell in the extraction directory or the launcher's own
// directory, waits until it ends and releases it. Failures are reported unless quiet.
void run_command(const std::u16string& program, const std::u16string& parameters,
                 bool run_in_extraction_dir, bool quiet);

// Splits a parameter line into arguments by the rules of CommandLineToArgvW: blanks and tabs
// separate arguments outside quotes; 2n backslashes before a quote give n backslashes and the
// quote opens or closes a quoted part; 2n+1 backslashes before a quote give n backslashes and a
// literal quote; backslashes before anything else stay as they are; inside a quoted part, two
// quotes give one literal quote and end the quoted part.
std::vector<std::u16string> split_command_line(std::u16string_view line);
