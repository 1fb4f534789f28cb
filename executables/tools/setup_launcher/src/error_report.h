// The launcher's one way to fail: compose a localized report, show it, exit with code 1.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "string_table.h"

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

// Shows the report for a failure and ends the process with exit code 1. Never returns.
[[noreturn]] void fatal_error(const char* source_path, int line, const char16_t* format, ...);

// Receives every report before the process ends. The default shows the error box and exits;
// tests and fuzzers install a handler that throws, so that one input fails cleanly. A handler
// that returns still ends the process with code 1.
using FatalErrorHandler = void (*)(const ErrorReport& report);
FatalErrorHandler set_fatal_error_handler(FatalErrorHandler handler);

// Makes a failed allocation end in the one error report ("error_internal") instead of a crash.
void install_out_of_memory_report();

// Reports the current table's text for `key`, stamped with the caller's source file and line.
#define FATAL_ERROR(key, ...) \
    fatal_error(__FILE__, __LINE__, get_text(key).c_str() __VA_OPT__(, ) __VA_ARGS__)

// Reports a fixed format that is not a table entry.
#define FATAL_ERROR_FORMAT(format, ...) \
    fatal_error(__FILE__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)
