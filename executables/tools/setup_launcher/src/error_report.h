// The launcher's one way to fail: compose a localized report, show it, exit with code 1.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "built_in_texts.h"  // text_key

// Shows the report for a failure and ends the process with exit code 1. Never returns. The
// arguments follow `format` in placeholder order.
[[noreturn]] void fatal_error(const char* source_path, int line, const char16_t* format, ...);

// fatal_error with the current string table's text for `key` as the format.
[[noreturn]] void fatal_error_key(const char* source_path, int line, const char* key, ...);

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

// Where every report ends. Defined by each program apart from the rest of the launcher's code:
// the launcher's programs show the report and end with code 1 (error_report_end.cpp); the unit
// tests and fuzzers link their own, which hands the report back to the test.
[[noreturn]] void end_with_report(const ErrorReport& report);

// Makes a failed allocation end in the one error report ("error_internal") instead of a crash.
void install_out_of_memory_report();

// Reports the current table's text for `key`, stamped with the caller's source file and line. The
// key is checked when compiling (text_key).
#define FATAL_ERROR(key, ...) \
    fatal_error_key(__FILE__, __LINE__, text_key(key) __VA_OPT__(, ) __VA_ARGS__)

// Reports a fixed format that is not a table entry.
#define FATAL_ERROR_FORMAT(format, ...) \
    fatal_error(__FILE__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)
