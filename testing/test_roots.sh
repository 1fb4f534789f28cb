# shellcheck shell=bash
# Debian roots for tests: a system of another Debian release, made once per machine and shared by
# every checkout and every run on it. Source this file, then:
#
#   test_root_ensure [--then COMMAND]... NAME SUITE [PACKAGE...]
#       makes, or reuses, the root NAME: Debian SUITE (debootstrap, variant minbase) with those
#       packages (PACKAGE:ARCH adds that architecture) and then each COMMAND run in it by sh.
#       Prints its path. It is made again when that recipe changes (its hash is kept in the
#       root), and made in a temporary place and renamed when complete, so a half-made root is
#       never used. Needs root privileges, debootstrap and the package mirror.
#   test_root_find [--then COMMAND]... NAME SUITE [PACKAGE...]
#       prints the path of that root if it exists and was made from that recipe; otherwise fails,
#       saying why. Makes nothing.
#   test_root_run ROOT [--bind PATH]... [--isolate-network] -- COMMAND [ARG...]
#       runs COMMAND inside ROOT and passes its exit status through. It runs in namespaces of its
#       own: its mounts (a fresh /proc, /dev and /sys from the host, an empty /tmp, and each PATH
#       at the same path), its processes and, with --isolate-network, its network (a loopback
#       only, so that X displays and abstract sockets can't meet another run's). ROOT itself
#       never changes: the run writes to a layer that goes with it. Whatever the run mounted and
#       started is gone when it returns, however it ends: failure, Ctrl+C, or the caller killed.
#
# The roots live in $TEST_ROOTS_DIR (/var/lib/setup_launcher/roots); the packages come from
# $TEST_ROOTS_MIRROR (http://deb.debian.org/debian).

TEST_ROOTS_DIR=${TEST_ROOTS_DIR:-/var/lib/setup_launcher/roots}
TEST_ROOTS_MIRROR=${TEST_ROOTS_MIRROR:-http://deb.debian.org/debian}
# Part of every recipe: raised when the way a root is made changes.
_TEST_ROOTS_FORMAT=1
# In a root: the recipe's hash, and the file every run holds a shared lock on.
_TEST_ROOT_RECIPE=.test_root_recipe
_TEST_ROOT_IN_USE=.test_root_in_use

_test_root_error() {
    echo "test_roots: $*" >&2
    return 1
}

# ---------------------------------------------------------------------------- the recipe

# _test_root_parse ARGS...: sets _then (the --then commands), _name, _suite and _packages.
_test_root_parse() {
    _then=()
    while [[ ${1:-} == --then ]]; do
        [[ $# -ge 2 ]] || _test_root_error "--then needs a command" || return 1
        _then+=("$2")
        shift 2
    done
    _name=${1:-} _suite=${2:-}
    [[ $_name =~ ^[A-Za-z0-9][A-Za-z0-9_-]*$ && -n $_suite ]] ||
        _test_root_error "usage: test_root_ensure|test_root_find [--then COMMAND]... NAME SUITE [PACKAGE...]" ||
        return 1
    shift 2
    _packages=("$@")
}

# The recipe's hash: the suite, the packages in any order, the commands in theirs.
_test_root_hash() {
    {
        echo "format $_TEST_ROOTS_FORMAT"
        echo "suite $_suite"
        printf 'package %s\n' "${_packages[@]}" | LC_ALL=C sort -u
        printf 'then %s\n' "${_then[@]}"
    } | sha256sum | cut -d' ' -f1
}

# _test_root_state ROOT HASH: "ready", or why that root can't be used as it stands.
_test_root_state() {
    local recorded=
    [[ -d $1 ]] || {
        echo "it has not been made yet"
        return
    }
    [[ -r $1/$_TEST_ROOT_RECIPE ]] && read -r recorded <"$1/$_TEST_ROOT_RECIPE"
    if [[ $recorded == "$2" ]]; then
        echo ready
    else
        echo "it was made from another recipe"
    fi
}

test_root_find() {
    local _then _name _suite _packages state
    _test_root_parse "$@" || return 1
    local root=$TEST_ROOTS_DIR/$_name
    state=$(_test_root_state "$root" "$(_test_root_hash)")
    [[ $state == ready ]] || _test_root_error "the test root $root can't be used: $state" || return 1
    echo "$root"
}

# ---------------------------------------------------------------------------- making one

_test_root_check_host() {
    [[ $(id -u) == 0 ]] || _test_root_error "making a test root needs root privileges" || return 1
    local tool
    for tool in debootstrap unshare setpriv chroot; do
        command -v "$tool" >/dev/null ||
            _test_root_error "making a test root needs $tool, which is not installed" || return 1
    done
}

test_root_ensure() {
    local _then _name _suite _packages hash
    _test_root_parse "$@" || return 1
    local root=$TEST_ROOTS_DIR/$_name
    hash=$(_test_root_hash)
    if [[ $(_test_root_state "$root" "$hash") != ready ]]; then
        _test_root_check_host || return 1
        mkdir -p "$TEST_ROOTS_DIR" || return 1
        # One maker at a time; whoever waited finds the root made.
        (
            flock 9
            [[ $(_test_root_state "$root" "$hash") == ready ]] || _test_root_make "$root" "$hash"
        ) 9>"$TEST_ROOTS_DIR/.$_name.lock" || return 1
    fi
    _test_root_remove_old "$_name"
    echo "$root"
}

# _test_root_make ROOT HASH: made beside it, then renamed into place; the root it replaces is
# renamed aside and removed once no run uses it.
_test_root_make() {
    local root=$1 hash=$2 new log started=$SECONDS
    new=$(mktemp -d "$TEST_ROOTS_DIR/.$_name.new.XXXXXX") && chmod 755 "$new" || return 1
    log=$new.log
    echo "test_roots: making the test root $root (Debian $_suite with ${#_packages[@]} packages;" \
        "a few minutes, once per machine)" >&2
    if ! debootstrap --variant=minbase "$_suite" "$new" "$TEST_ROOTS_MIRROR" >"$log" 2>&1 ||
        ! _test_root_install "$new" >>"$log" 2>&1; then
        tail -n 25 "$log" >&2
        rm -rf --one-file-system "$new"
        _test_root_error "making the test root $root failed; the lines above end its log, $log"
        return 1
    fi
    : >"$new/$_TEST_ROOT_IN_USE" && echo "$hash" >"$new/$_TEST_ROOT_RECIPE" || return 1
    if [[ -e $root ]]; then
        mv "$root" "$(mktemp -u "$TEST_ROOTS_DIR/.$_name.old.XXXXXX")" || return 1
    fi
    mv "$new" "$root" && rm -f "$log" &&
        echo "test_roots: made $root in $((SECONDS - started)) s" >&2
}

# The packages and the commands, inside the new root, with the network of the host. Services
# that packages would start are refused, as in any chroot. Without packages, the root stays as
# debootstrap made it, apt's lists included.
# shellcheck disable=SC2016
_test_root_install() {
    local new=$1 package architectures=()
    ((${#_packages[@]} + ${#_then[@]})) || return 0
    for package in "${_packages[@]}"; do
        [[ $package == *:* ]] && architectures+=("${package##*:}")
    done
    printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d" && chmod 755 "$new/usr/sbin/policy-rc.d" &&
        _test_root_enter "$new" writable shared -- /bin/sh -ec '
            export DEBIAN_FRONTEND=noninteractive
            for architecture in $1; do dpkg --add-architecture "$architecture"; done
            shift
            apt-get update -q
            apt-get install -y -q --no-install-recommends "$@"
            apt-get clean
            rm -rf /var/lib/apt/lists/*' sh "${architectures[*]}" "${_packages[@]}" &&
        for command in "${_then[@]}"; do
            _test_root_enter "$new" writable shared -- /bin/sh -ec "$command" || return 1
        done &&
        rm -f "$new/usr/sbin/policy-rc.d"
}

# Roots that were replaced: each goes once no run holds its lock.
_test_root_remove_old() {
    local old lock_fd
    for old in "$TEST_ROOTS_DIR/.$1".old.*; do
        [[ -d $old ]] || continue
        exec {lock_fd}<"$old/$_TEST_ROOT_IN_USE" || continue
        if flock -n -x "$lock_fd"; then
            rm -rf --one-file-system "$old"
        fi
        exec {lock_fd}<&-
    done
}

# ---------------------------------------------------------------------------- running in one

test_root_run() {
    local root=${1:-} binds=() network=shared path
    shift
    while (($#)); do
        case $1 in
        --bind)
            path=$(realpath -e "${2:-}") || _test_root_error "--bind: no such path: ${2:-}" || return 1
            binds+=("$path")
            shift 2
            ;;
        --isolate-network) network=isolated && shift ;;
        --) shift && break ;;
        *) _test_root_error "test_root_run: unknown option $1" || return 1 ;;
        esac
    done
    (($#)) || _test_root_error "usage: test_root_run ROOT [--bind PATH]... [--isolate-network] -- COMMAND [ARG...]" || return 1
    [[ -f $root/$_TEST_ROOT_RECIPE ]] || _test_root_error "$root is not a test root" || return 1
    _test_root_enter "$root" layered "$network" "${binds[@]}" -- "$@"
}

# _test_root_enter ROOT writable|layered shared|isolated [PATH...] -- COMMAND [ARG...]
#
# The caller holds a shared lock on the root while the run lasts, so that a newer root replacing
# it can't remove it under the run. unshare gets SIGKILL if the caller dies (setpriv), and the
# first process of the new PID namespace gets it if unshare dies (--kill-child); when that
# process ends, the kernel ends every other process of the namespace, and with the last of them
# goes the mount namespace and everything mounted in it.
_test_root_enter() {
    local root=$1 mode=$2 network=$3 lock_fd status=0 options=(--mount --pid --fork --kill-child --propagation private)
    shift 3
    [[ $network == isolated ]] && options+=(--net)
    if [[ $mode != writable ]]; then
        exec {lock_fd}<>"$root/$_TEST_ROOT_IN_USE" && flock -s "$lock_fd" || return 1
    fi
    mkdir -p "$TEST_ROOTS_DIR/.scratch" &&
        setpriv --pdeathsig KILL unshare "${options[@]}" \
            bash -c "$_TEST_ROOT_INIT" test_root_init "$root" "$mode" "$network" \
            "$TEST_ROOTS_DIR/.scratch" "$PWD" "$@" || status=$?
    [[ -z ${lock_fd:-} ]] || exec {lock_fd}<&-
    return "$status"
}

# The first process of the run's namespaces: it mounts, then runs the command in the root as its
# child, in the foreground, and ends with its status. Ctrl+C reaches the command, not this
# process (the first process of a PID namespace gets no signal it has no handler for).
# shellcheck disable=SC2016
_TEST_ROOT_INIT='
set -e
root=$1 mode=$2 network=$3 scratch=$4 directory=$5
shift 5
if [[ $mode == layered ]]; then
    mount -t tmpfs -o mode=0755 test_root_layer "$scratch"
    mkdir "$scratch/upper" "$scratch/work" "$scratch/merged"
    mount -t overlay test_root -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" \
        "$scratch/merged"
    root=$scratch/merged
fi
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
[[ $network == isolated ]] && ip link set lo up 2>/dev/null || true
[[ $network == shared && -f /etc/resolv.conf ]] && cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
while [[ $1 != -- ]]; do
    if [[ -d $1 ]]; then
        mkdir -p "$root$1"
    else
        mkdir -p "$(dirname "$root$1")" && touch "$root$1"
    fi
    mount --rbind "$1" "$root$1"
    shift
done
shift
set +e
chroot "$root" /bin/sh -c "cd \"\$1\" 2>/dev/null || cd /; shift; exec \"\$@\"" test_root \
    "$directory" "$@"
exit
'
