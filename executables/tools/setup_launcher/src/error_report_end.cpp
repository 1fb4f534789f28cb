// The end of every report in the launcher's own programs: the report is shown to the user, then
// the process ends with code 1. Kept apart from error_report.cpp so that the unit tests and
// fuzzers, which must survive a report, can end it their own way.
#include "error_report.h"
#include "platform.h"

void end_with_report(const ErrorReport& report) {
    show_error_box(report.message, report.title);
    exit_process(1);
}
