// What setup_packer needs from the operating system beyond standard C++: opening files by a
// std::filesystem::path (wide on Windows), creating a file only when nothing stands there,
// renaming without replacing, terminals, and the command line as UTF-8.
// Implemented by packer_io_posix.cpp and packer_io_win32.cpp.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// fopen by path; `mode` is one of the C library's modes, always used with "b". Sets errno.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// Creates a new file for writing in binary mode; fails (null, errno EEXIST) when anything already
// has that name, so two packers never share a temporary file.
std::FILE* create_new_file(const std::filesystem::path& path);

// Renames `from` to `to`. Without `replace`, fails with an "exists" error instead of replacing an
// existing `to`, and never leaves a moment in which someone else's file could be overwritten.
std::error_code rename_file(const std::filesystem::path& from, const std::filesystem::path& to,
                            bool replace);

// True when the stream goes to an interactive terminal or console.
bool is_terminal(std::FILE* stream);

// Writes UTF-8 text to a stream; a Windows console receives it as UTF-16, so that names outside
// the console's code page read correctly.
void write_text(std::FILE* stream, std::string_view utf8);

// The program's arguments (without the program itself) as UTF-8. On Windows they come from the
// wide command line, since the narrow argv is in the ANSI code page.
std::vector<std::string> utf8_arguments(int argc, char** argv);
