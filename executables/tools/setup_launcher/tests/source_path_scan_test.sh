#!/usr/bin/env bash
# Reports name their source file relative to the repository. The built executables must hold
# those relative paths and never a path of the build machine.
#
#   source_path_scan_test.sh SOURCE_DIR EXECUTABLE...
set -euo pipefail
source_dir=${1:?source directory}
shift
status=0
for executable in "$@"; do
    if grep -q -a -F "$source_dir" "$executable"; then
        echo "FAIL: $executable holds the build machine's path $source_dir"
        status=1
    fi
    if ! grep -q -a -F "executables/tools/setup_launcher/src/attachments.cpp" "$executable"; then
        echo "FAIL: $executable lacks the relative source path of its reports"
        status=1
    fi
done
[[ $status -eq 0 ]] && echo "ok: only relative source paths in $*"
exit "$status"
