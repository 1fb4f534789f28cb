#!/usr/bin/env bash
# The installed CMake package: the example project (examples/cmake) finds it, builds its branded
# setup file as a target, and builds it again exactly when an input changed: the icon, an
# argument, setup_packer; not when nothing did.
#   cmake_package_test.sh BUILD_DIR
set -u
build_dir=$(realpath "${1:?build directory}")
root=$(cd "$(dirname "$0")/../../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../../../../testing/checks.sh
source "$root/testing/checks.sh"

if ! cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
    if grep -q "launcher is missing" "$work/install.log"; then
        echo "skipped: $(grep -o "The .* launcher is missing: [^ ]*" "$work/install.log" | head -1)"
        exit 77
    fi
    cat "$work/install.log"
    exit 1
fi
packer=$work/prefix/bin/setup_packer
# example_checks GENERATOR: the example, built with that generator from a fresh copy.
example_checks() {
    local generator=$1 out
    rm -rf "$work/example" "$work/build"
    cp -r "$root/examples/cmake" "$work/example"
    example=$work/build
    setup=$example/example-setup.exe
    echo "---- $generator"
    configure() {
        cmake -S "$work/example" -B "$example" -G "$generator" -DCMAKE_PREFIX_PATH="$work/prefix" \
            "$@" >"$work/configure.log" 2>&1
    }
    configure
    check "the example configures against the installed package" 0 $?
    check "the first build packs" packed "$(build)"
    check_true "it wrote example-setup.exe" '[[ -f $setup ]]'
    out=$("$packer" verify "$setup" 2>&1)
    check "verify accepts it" "$setup: OK: 2 attachments, $(stat -c %s "$work/example/payload/readme.txt") bytes of file data, the i686 launcher (PE32)" \
        "$(head -1 <<<"$out")"
    check "its version details" "$setup: file version 2.1.0.0, product version 2.1.0.0
$setup: ProductName 'Example Tool'
$setup: CompanyName 'Example Company'" \
        "$(grep -E 'file version|ProductName|CompanyName' <<<"$out")"
    check "its icon: the example's four images" \
        "$setup: icon: 256x256 32-bit PNG, 48x48 32-bit, 32x32 32-bit, 16x16 32-bit" \
        "$(grep 'icon:' <<<"$out")"

    check "nothing changed: nothing is packed" - "$(build)"
    configure
    check "configured again with the same arguments: nothing is packed" - "$(build)"
    touch "$work/example/example.ico"
    check "a newer icon: packed again" packed "$(build)"
    touch "$work/example/payload/readme.txt"
    check "a newer payload file: packed again" packed "$(build)"
    configure -DEXAMPLE_COMPANY="Other Company"
    check "another argument: packed again" packed "$(build)"
    check "with it" "$setup: CompanyName 'Other Company'" \
        "$("$packer" list "$setup" | grep CompanyName)"
    touch "$work/example/CMakeLists.txt"
    check "a configuration that changes no argument: nothing is packed" - "$(build)"
    touch "$packer"
    check "a newer setup_packer: packed again" packed "$(build)"
}

# build: builds the example; prints "packed" when setup_packer ran, "-" when it did not.
build() {
    cmake --build "$example" >"$work/build.log" 2>&1 || {
        cat "$work/build.log"
        echo failed
        return
    }
    if grep -q "Packing the setup file" "$work/build.log"; then echo packed; else echo -; fi
}

# Ninja sees a changed command by itself; Makefiles only through the arguments' file.
example_checks Ninja
if command -v make >/dev/null; then
    example_checks "Unix Makefiles"
else
    skip "the example with Unix Makefiles: make is not installed"
fi

echo "cmake package: $failures failures"
[[ $failures -eq 0 ]]
