// For the fault tests: runs the launch sequence on the launcher file named on the command line,
// as the launcher runs it on its own file. The launcher's own file is the running executable,
// which no other process may write to while it runs; a file named here can be cut short by
// another process while the sequence reads it.
// Usage: faults_test_launch LAUNCHER_FILE
#include "attachments.h"
#include "error_report.h"
#include "string_table.h"
#include "wide_format.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    install_out_of_memory_report();
    init_string_table();
    launch_file(from_path_bytes(argv[1]));
}
