// What the unit tests, fuzzers and benchmarks do with the launcher beyond the launcher's own use:
// catch a report instead of ending with it, and start the process-wide state of a unit afresh,
// which the launcher sets up once per process. Test-only: compiled into those programs alone
// (launcher_test_hooks.cpp).
#pragma once

#include <cstdint>

#include "error_report.h"
#include "string_table.h"

// Receives every report in place of the launcher's error box. The default shows the report as
// the launcher's programs do (platform.h's show_error_box) and exits with code 1; tests and
// fuzzers install a handler that throws, so that one input fails cleanly. A handler that returns
// still ends the process with code 1. Returns the handler it replaces.
using FatalErrorHandler = void (*)(const ErrorReport& report);
FatalErrorHandler set_fatal_error_handler(FatalErrorHandler handler);

// Forgets the extraction directory (letting go of what is held of it), so that the next
// extraction_path creates a new one.
void reset_extraction_root_for_tests();

// Empties both string tables and fills them again, as init_string_table does once per process.
void refill_string_tables();
// The current table, for inspection.
const StringTable& current_string_table();

// The bytes reported to the progress window since it was last sized.
std::uint64_t progress_bytes_done();

// Forgets the collected languages.
void reset_collected_lcids();
