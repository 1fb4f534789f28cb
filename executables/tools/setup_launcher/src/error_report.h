// The launcher's one way to fail: compose a localized report, show it, exit with code 1.
#pragma once

// Shows the report for a failure and ends the process with exit code 1. Never returns. The
// arguments follow `format` in placeholder order.
[[noreturn]] void fatal_error(const char* source_path, int line, const char16_t* format, ...);

// fatal_error with the current string table's text for `key` as the format.
[[noreturn]] void fatal_error_key(const char* source_path, int line, const char* key, ...);

// Makes a failed allocation end in the one error report ("error_internal") instead of a crash.
void install_out_of_memory_report();

// Reports the current table's text for `key`, stamped with the caller's source file and line.
#define FATAL_ERROR(key, ...) fatal_error_key(__FILE__, __LINE__, key __VA_OPT__(, ) __VA_ARGS__)

// Reports a fixed format that is not a table entry.
#define FATAL_ERROR_FORMAT(format, ...) \
    fatal_error(__FILE__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)
