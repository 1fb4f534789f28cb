#include "launcher_test_hooks.h"

#include "file_helpers.h"
#include "platform.h"
#include "setup_launcher.h"

namespace {

void show_and_exit(const ErrorReport& report) {
    show_error_box(report.message, report.title);
    exit_process(1);
}

FatalErrorHandler fatal_error_handler = show_and_exit;

}  // namespace

void end_with_report(const ErrorReport& report) {
    fatal_error_handler(report);
    exit_process(1);
}

FatalErrorHandler set_fatal_error_handler(FatalErrorHandler handler) {
    const FatalErrorHandler previous = fatal_error_handler;
    fatal_error_handler = handler != nullptr ? handler : show_and_exit;
    return previous;
}

void reset_extraction_root_for_tests() {
    release_private_directory();
    extraction_root.clear();
}

void refill_string_tables() {
    string_tables = StringTables{};
    init_string_table();
}

const StringTable& current_string_table() {
    static const StringTable none;
    return string_tables.current != nullptr ? *string_tables.current : none;
}

std::uint64_t progress_bytes_done() {
    return progress_counters.done;
}

void reset_collected_lcids() {
    collected_languages = CollectedLanguages{};
}
