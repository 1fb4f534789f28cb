// What setup_packer needs from the operating system beyond standard C++: opening files by a
// std::filesystem::path (wide on Windows), directories reached without following links, files
// created only where nothing stands, renaming without replacing, removing a partial file when the
// process is interrupted, terminals, and the command line as UTF-8.
// Implemented by packer_io_posix.cpp and packer_io_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "setup_payload/directory_handles.h"  // DirectoryHandle, EntryType

// fopen by path; `mode` is one of the C library's modes, always used with "b". Sets errno.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// Opens an existing file for reading in binary mode, only when it is a regular file (links
// followed). Anything else is refused without waiting for a writer or reading from it (a named
// pipe, a device, a directory): null with its kind in `type`. Null with errno and `type` none
// when it can't be opened.
std::FILE* open_regular_file(const std::filesystem::path& path, std::filesystem::file_type& type);

// What one look at a path (links followed) tells of a file: its kind, its size and its identity.
struct FileStatus {
    int error = 0;  // the errno of a failed look; nothing else is set then
    std::filesystem::file_type type = std::filesystem::file_type::none;
    std::uint64_t size = 0;
    // Equal in two looks only when both paths name the same file.
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
FileStatus file_status(const std::filesystem::path& path);

inline bool same_file(const FileStatus& a, const FileStatus& b) {
    return a.error == 0 && b.error == 0 && a.volume == b.volume && a.index == b.index;
}

// An input file open for reading, closed with the object. Read without a stream: a build copies
// many files once each, and a stream would cost an allocation and a system call per file.
class InputFile {
public:
    InputFile() = default;
    explicit InputFile(int descriptor) : descriptor_(descriptor) {}
    // Not opened: what stood there instead of a regular file.
    explicit InputFile(std::filesystem::file_type refused) : refused_(refused) {}
    InputFile(InputFile&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1)), refused_(other.refused_) {}
    InputFile& operator=(InputFile&&) = delete;
    ~InputFile();

    bool is_open() const { return descriptor_ >= 0; }
    // When not open: the kind of file that was refused, or none when the open failed (errno).
    std::filesystem::file_type refused() const { return refused_; }
    // Reads up to `size` bytes: the count read, 0 at the end, -1 with errno on failure.
    std::int64_t read(void* buffer, std::size_t size);

private:
    int descriptor_ = -1;  // the C runtime's on Windows as well
    std::filesystem::file_type refused_ = std::filesystem::file_type::none;
};

// Looks at and opens the input files of a build one after another, as file_status does and as
// open_regular_file does (errno when it fails; a file that is not regular is refused unread). On
// POSIX a file is looked up inside the directory of the file before when it lies in the same one: a
// payload of many files in few directories would otherwise walk every path from its start twice.
class InputFiles {
public:
    InputFiles() = default;
    InputFiles(const InputFiles&) = delete;
    InputFiles& operator=(const InputFiles&) = delete;
    ~InputFiles();

    FileStatus status(const std::filesystem::path& path);
    InputFile open(const std::filesystem::path& path);

private:
    // POSIX: the directory to look `path` up in (-1 for the current one) and where in the path
    // the name to look up begins.
    std::intptr_t directory_of(const std::filesystem::path& path, std::size_t& name_at);
    std::filesystem::path::string_type directory_;  // as written in the path, "" for none
    std::intptr_t handle_ = -1;
};

// Why a PinnedDirectory could not be opened.
struct DirectoryProblem {
    enum class Kind { none, symbolic_link, not_a_directory, system_error } kind = Kind::none;
    std::filesystem::path path;  // of the component that failed
    std::error_code error;       // with system_error
};

// A path's units as the directory calls take them (setup_payload/directory_handles.h): the bytes
// of a POSIX path as from_path_bytes reads them, the UTF-16 units of a Windows path.
std::u16string native_units(const std::filesystem::path& path);
// The error of the system call that failed last: errno on POSIX, the thread's last error on
// Windows.
std::error_code last_system_error();
// True on Windows for the error of opening a file as the directory a path names, which is told as
// "is not a directory" there; elsewhere that error is told as it is.
bool names_a_file(const std::error_code& error);

// A directory that stays the one it was when opened: `base` (followed if it is a link, since the
// user named it), then each component inside the one before, never following a link (on Windows
// neither a symbolic link nor a junction), all of them held open (on Windows without delete
// sharing: see setup_payload/directory_handles.h). Files are made, renamed and removed inside it
// by name, so a component swapped for a link meanwhile can't send them elsewhere.
class PinnedDirectory {
public:
    PinnedDirectory() = default;
    PinnedDirectory(PinnedDirectory&& other) noexcept;
    PinnedDirectory& operator=(PinnedDirectory&& other) noexcept;
    PinnedDirectory(const PinnedDirectory&) = delete;
    PinnedDirectory& operator=(const PinnedDirectory&) = delete;
    ~PinnedDirectory();

    // Opens the directory; with `create`, makes what is missing (`base` with its parents, and
    // the components). On failure the result is not open and `problem` says why. An empty
    // `base` is the current directory.
    static PinnedDirectory open(const std::filesystem::path& base,
                                const std::vector<std::filesystem::path>& components, bool create,
                                DirectoryProblem& problem);

    bool is_open() const { return !handles_.empty(); }
    const std::filesystem::path& path() const { return path_; }  // for messages

    // A new file for writing in binary mode; null (errno EEXIST) when anything has that name.
    // The file can be removed while it is open (remove_on_interrupt).
    std::FILE* create_file(const std::filesystem::path& name) const;
    EntryType entry_type(const std::filesystem::path& name) const;
    // Renames `from` to `to` in this directory. Without `replace`, fails with an "exists" error
    // instead of replacing `to`, and never leaves a moment in which another file under `to`
    // could be overwritten.
    std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to,
                           bool replace) const;
    void remove(const std::filesystem::path& name) const;  // quietly, when it can

private:
    friend void remove_on_interrupt(const PinnedDirectory&, const std::filesystem::path&);
    void close();
    std::filesystem::path path_;
    // The base and every component, the directory itself last.
    std::vector<DirectoryHandle> handles_;
};

// While set, a signal that would end the process (POSIX: every one that can be caught, SIGINT,
// SIGTERM, SIGHUP and SIGQUIT as well as the crashes and the real-time signals; on Windows Ctrl+C,
// Ctrl+Break and closing the console) removes the file `name` in `directory` and then ends the
// process as the signal would have: the handlers do nothing else. SIGXFSZ is ignored from the
// first call on, so that a write beyond the file size limit fails as any other write. One file
// at a time; a later call replaces it. The directory must stay open until forget_partial_file.
void remove_on_interrupt(const PinnedDirectory& directory, const std::filesystem::path& name);
void forget_partial_file();

// True when the stream goes to an interactive terminal or console.
bool is_terminal(std::FILE* stream);

// Writes UTF-8 text to a stream; a Windows console receives it as UTF-16, so that names outside
// the console's code page read correctly.
void write_text(std::FILE* stream, std::string_view utf8);

// The program's arguments (without the program itself) as UTF-8. On Windows they come from the
// wide command line, since the narrow argv is in the ANSI code page.
std::vector<std::string> utf8_arguments(int argc, char** argv);
