# shellcheck shell=bash
# Debian roots for tests, made once per machine and shared by every checkout. Source it, then:
#
#   test_root_ensure NAME SUITE [PACKAGE...]
#       makes, or reuses, the root NAME: Debian SUITE (debootstrap, variant minbase) with those
#       packages, at $TEST_ROOTS_DIR/NAME; prints its path. It is made again when its recipe (a
#       hash of the suite and the packages, kept inside it) changes, and made in a temporary place
#       and renamed when complete. Fails with the reason when it can't (no root privileges, no
#       debootstrap, no mirror).
#   test_root_run ROOT [--bind PATH]... -- COMMAND [ARG...]
#       runs COMMAND inside ROOT in a mount namespace of its own, with /proc, /dev, /sys and each
#       PATH at the same path, and passes its exit status through. ROOT itself never changes: the
#       run writes to a layer that goes with it, so every run starts from the root as made.
#       Nothing stays mounted after it returns, however it ends.
#
# (A minimal version of this interface; the Windows test root brings the full one.)

TEST_ROOTS_DIR=${TEST_ROOTS_DIR:-/var/lib/setup_launcher/roots}
TEST_ROOTS_MIRROR=${TEST_ROOTS_MIRROR:-http://deb.debian.org/debian}

_test_root_error() {
    echo "test_roots: $*" >&2
    return 1
}

test_root_ensure() {
    local name=${1:-} suite=${2:-} hash root new
    [[ $name =~ ^[A-Za-z0-9][A-Za-z0-9_-]*$ && -n $suite ]] ||
        _test_root_error "usage: test_root_ensure NAME SUITE [PACKAGE...]" || return 1
    shift 2
    [[ $(id -u) == 0 ]] || _test_root_error "making a test root needs root privileges" || return 1
    command -v debootstrap >/dev/null ||
        _test_root_error "making a test root needs debootstrap, which is not installed" || return 1
    hash=$(printf 'suite %s\n' "$suite"; printf 'package %s\n' "$@" | LC_ALL=C sort -u)
    hash=$(sha256sum <<<"$hash" | cut -d' ' -f1)
    root=$TEST_ROOTS_DIR/$name
    mkdir -p "$TEST_ROOTS_DIR" || return 1
    (
        flock 9
        [[ -r $root/.test_root_recipe && $(<"$root/.test_root_recipe") == "$hash" ]] && exit 0
        echo "test_roots: making $root (Debian $suite; a few minutes, once per machine)" >&2
        new=$(mktemp -d "$TEST_ROOTS_DIR/.$name.new.XXXXXX") && chmod 755 "$new" || exit 1
        local include=()
        (($#)) && include=("--include=$(IFS=,; echo "$*")")
        if ! debootstrap --variant=minbase "${include[@]}" "$suite" "$new" "$TEST_ROOTS_MIRROR" \
            >"$new.log" 2>&1; then
            tail -n 20 "$new.log" >&2
            rm -rf --one-file-system "$new" "$new.log"
            _test_root_error "debootstrap of $suite failed" || exit 1
        fi
        echo "$hash" >"$new/.test_root_recipe" && rm -f "$new.log" &&
            rm -rf --one-file-system "$root" && mv "$new" "$root"
    ) 9>"$TEST_ROOTS_DIR/.$name.lock" || return 1
    echo "$root"
}

test_root_run() {
    local root=${1:?test_root_run needs the root} binds=()
    shift
    while [[ ${1:-} == --bind ]]; do
        binds+=("$(realpath "${2:?--bind needs a path}")")
        shift 2
    done
    [[ ${1:-} == -- ]] || _test_root_error "usage: test_root_run ROOT [--bind PATH]... -- COMMAND" ||
        return 1
    shift
    local layer status=0
    layer=$(mktemp -d /tmp/test_root_layer.XXXXXX) || return 1
    # The namespace's mounts end with its last process; only the layer is left to remove.
    unshare --mount --pid --fork --propagation private /bin/bash -ec '
        root=$1 layer=$2 count=$3
        shift 3
        binds=("${@:1:count}")
        shift "$count"
        mkdir -p "$layer/upper" "$layer/work" "$layer/merged"
        mount -t overlay overlay \
            -o "lowerdir=$root,upperdir=$layer/upper,workdir=$layer/work" "$layer/merged"
        mount -t proc proc "$layer/merged/proc"
        mount --rbind /dev "$layer/merged/dev"
        mount --rbind /sys "$layer/merged/sys"
        for path in "${binds[@]}"; do
            mkdir -p "$layer/merged$path"
            mount --rbind "$path" "$layer/merged$path"
        done
        exec chroot "$layer/merged" "$@"' test_root_run "$root" "$layer" "${#binds[@]}" \
        "${binds[@]}" "$@" || status=$?
    rm -rf --one-file-system "$layer"
    return "$status"
}
