#include "error_report.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

// Appends the current table's text for `key`, formatted with the arguments that follow.
void append_section(std::u16string& message, const char* key, ...) {
    va_list args;
    va_start(args, key);
    message += format_wide_v(get_text(key).c_str(), args);
    va_end(args);
}

}  // namespace

ErrorReport compose_error_report(const char* source_path, int line, std::uint32_t last_error,
                                 int errno_value, const char16_t* system_text,
                                 const char16_t* format, va_list args) {
    ErrorReport report;
    report.message = format_wide_v(format, args);
    append_section(report.message, text_key("error_msg_file_and_line"), source_path, line);
    if (errno_value != 0) {
        const std::u16string description = widen(std::strerror(errno_value));
        append_section(report.message, text_key("error_msg_errno"), errno_value,
                       description.c_str());
    }
    if (last_error != 0) {
        append_section(report.message, text_key("error_GetLastError"), static_cast<int>(last_error),
                       system_text);
    }
    // The copy-help text is a format without arguments: a '%' in it is interpreted.
    append_section(report.message, text_key("error_msg_copy_help"));
    report.title = get_text(text_key("error_msg_title"));
    return report;
}

namespace {

// The report of fatal_error and fatal_error_key; `key` names the format when `format` is null.
ErrorReport compose_failure(const char* source_path, int line, const char16_t* format,
                            const char* key, va_list args) {
    // Both codes are read before anything else can change them.
    const std::uint32_t last_error = last_error_code();
    const int errno_value = errno;
    const char16_t* system_text = last_error != 0 ? system_error_text(last_error) : nullptr;
    if (format == nullptr)
        format = get_text(key).c_str();
    return compose_error_report(source_path, line, last_error, errno_value, system_text, format,
                                args);
}

}  // namespace

void fatal_error(const char* source_path, int line, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const ErrorReport report = compose_failure(source_path, line, format, nullptr, args);
    va_end(args);
    end_with_report(report);
}

void fatal_error_key(const char* source_path, int line, const char* key, ...) {
    va_list args;
    va_start(args, key);
    const ErrorReport report = compose_failure(source_path, line, nullptr, key, args);
    va_end(args);
    end_with_report(report);
}

namespace {

// Held back so that the report itself still finds memory once an allocation has failed.
char* memory_reserve = nullptr;

void report_out_of_memory() {
    delete[] memory_reserve;
    memory_reserve = nullptr;
    std::set_new_handler(nullptr);  // a second failure inside the report ends the process
    FATAL_ERROR("error_internal");
}

}  // namespace

void install_out_of_memory_report() {
    if (memory_reserve == nullptr)
        memory_reserve = new char[64 * 1024];
    std::set_new_handler(report_out_of_memory);
}
