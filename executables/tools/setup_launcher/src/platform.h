// The few operating-system services that the portable units need for texts and the error report.
// Implemented by platform_win32.cpp on Windows and platform_posix.cpp elsewhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
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

// The full path of the running executable.
std::u16string executable_path();

// The value of an environment variable; false when it is not set.
bool environment_variable(const char* name, std::u16string& value);

// The system's temporary directory, ending in a separator; empty on failure.
std::u16string system_temp_path();

// True when a file or directory of that name exists, or when the check is refused for lack of
// access (such a name is no candidate for a new directory either).
bool name_taken(const std::u16string& path);

// True when the path can be opened for reading as a file (a directory gives false).
bool can_open_for_reading(const std::u16string& path);

bool create_directory(const std::u16string& path);
bool is_directory(const std::u16string& path);  // a directory search on it opens
bool delete_file(const std::u16string& path);
bool remove_directory(const std::u16string& path);
void sleep_milliseconds(unsigned milliseconds);

// One entry of a directory listing. `attributes` is the system's attribute word: exactly
// 0x10 for a plain directory.
struct DirectoryEntry {
    std::u16string name;
    std::uint32_t attributes;
};
inline constexpr std::uint32_t attribute_directory = 0x10;
// The entries of a directory, "." and ".." included where the system lists them.
std::vector<DirectoryEntry> list_directory(const std::u16string& directory_with_separator);

// Opens a program through the system's shell with a parameter line in a working directory.
struct StartedProcess {
    bool started = false;     // false: the shell refused or failed
    bool has_process = false; // false: the shell started no process of its own
    std::uintptr_t handle = 0;
};
StartedProcess shell_open(const std::u16string& program, const std::u16string& parameters,
                          const std::u16string& directory, bool quiet);
void wait_for_process(const StartedProcess& process);
bool close_process(const StartedProcess& process);
