// The few operating-system services that the portable units need for texts and the error report.
// Implemented by platform_win32.cpp on Windows and platform_posix.cpp elsewhere.
#pragma once

#include <cstdint>
#include <string>

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
