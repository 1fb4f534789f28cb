// The launcher's entry on POSIX systems: the same sequence as on Windows, with terminal stand-ins
// for the windows.
#include "attachments.h"
#include "error_report.h"
#include "string_table.h"

int main() {
    install_out_of_memory_report();
    init_string_table();
    launch();
}
