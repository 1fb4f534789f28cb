# The part both fault tests share (faults_native_test.sh, faults_wine_test.sh): their arguments, a
# private mount namespace where one can be had, the work directory and the payload. Sourced by
# them with `mode` set (native or wine) and their own arguments:
#   BUILD_DIR LAUNCHER PACKER HELPER [UI_DRIVER]
# shellcheck shell=bash
build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?launcher}")
packer=$(realpath "${3:?packer}")
helper=${4:+$(realpath "$4")}  # native: FAULTS_TEST_LAUNCH, wine: FAULTS_TEST_EXE
ui_driver=${5:+$(realpath "$5")}
here=$(cd "$(dirname "$0")" && pwd)

# A private mount namespace, when this machine allows one: tmpfs mounts made in it vanish with it.
# FAULTS_TEST_NO_MOUNT=1 takes the way of machines without one.
can_mount=0
if [[ ${FAULTS_TEST_NO_MOUNT:-} == 1 ]]; then
    :
elif [[ ${FAULTS_TEST_IN_NAMESPACE:-} == 1 ]]; then
    can_mount=1
elif [[ $(id -u) == 0 ]] && unshare -m --propagation private true 2>/dev/null; then
    if [[ $mode == wine ]]; then
        # Wine's server opens files for the launcher: it must see the same mounts, so the whole
        # test runs in the namespace.
        FAULTS_TEST_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
    fi
    can_mount=1
fi

work=$(mktemp -d "$build_dir/faults_test.$mode.XXXXXX") || exit 1
# shellcheck source=/dev/null
source "$here/../../../../testing/checks.sh"
# Launcher files from manifest entries (pack_entries); the native launcher is no PE image, so
# setup_packer packs behind a stand-in.
# shellcheck source=../../../../testing/pe_stub.sh
source "$here/../../../../testing/pe_stub.sh"

mkdir -p "$work/payload"
cd "$work/payload" || exit 1
head -c $((2 * 1024 * 1024)) /dev/urandom >big.bin
head -c $((25 * 1024 * 1024)) /dev/urandom >huge.bin
printf '%0100d' 0 >small.txt
printf 'first\n' >a.txt
printf 'held\n' >held.txt
printf 'third\n' >c.txt

# Ends the test: the count of failures, and the work directory removed when there were none.
faults_finish() {
    echo "$failures failures"
    cd "$build_dir" || exit 1
    ((failures == 0)) && rm -rf "$work"
    ((failures == 0))
}
