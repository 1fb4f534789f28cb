// What the tests and fuzzers see of the error report beyond the launcher's own use: the composed
// report, and a handler that receives it in place of the error box.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "error_report.h"

// The composed report: the message text and the box's title.
struct ErrorReport {
    std::u16string message;
    std::u16string title;
};

// Composes the sections of a report from the current string table. `system_text` is the system's
// text for `last_error` (null when it has none); `errno_value` 0 and `last_error` 0 leave their
// sections out.
ErrorReport compose_error_report(const char* source_path, int line, std::uint32_t last_error,
                                 int errno_value, const char16_t* system_text,
                                 const char16_t* format, va_list args);

// Receives every report before the process ends. The default shows the error box and exits;
// tests and fuzzers install a handler that throws, so that one input fails cleanly. A handler
// that returns still ends the process with code 1.
using FatalErrorHandler = void (*)(const ErrorReport& report);
FatalErrorHandler set_fatal_error_handler(FatalErrorHandler handler);
