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

// The descriptor text (SDDL) that the extraction directory is made with on Windows: the one of
// private_directory_sddl for this process's token. False when the token can't be read. Elsewhere
// true with an empty text: there the directory's mode keeps it private.
bool private_directory_security(std::u16string& sddl);

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
