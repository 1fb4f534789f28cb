#!/usr/bin/env bash
# Runs every benchmark and writes docs/performance.md: Adler-32 natively (Google Benchmark) and
# in a Windows build under Wine 10 in the Windows test root (the i686 one where 32-bit code runs
# natively; else the x86-64 one, since a timing of emulated code would time the emulator),
# extraction of a 1 GiB file attachment by the native launcher and `setup_packer build` of it,
# each against cp, `setup_packer verify` of a 512 MiB attachment against zlib's Adler-32 of the
# same bytes, the launcher's peak memory, the collection of 65,535 distinct languages and the
# size of the i686 launcher image, and a payload of 10,000 small files (bench/many_files.py):
# the launcher against tar -x + rm -r, setup_packer build against tar -c, in CPU time. Takes a
# few minutes; not part of the test run.
#
#   bash bench/run_benchmarks.sh          # everything, and the report
#   bash bench/run_benchmarks.sh verify   # setup_packer verify against zlib only: prints the ratio
#   bash bench/run_benchmarks.sh many     # the 10,000 small files only: prints both ratios
#
# The figures come from optimised code: the release preset (build/release: clang, optimised, no
# sanitizers, as setup_packer is installed) and build/bench-windows (the Windows preset,
# MinSizeRel as shipped; the x86-64 preset where 32-bit code is emulated). Needs about
# 3.5 GiB free on the disk of build/ for its scratch files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
native=build/release
windows=build/bench-windows
scratch=build/bench-scratch
pairs=${BENCH_PAIRS:-11}
mode=${1:-all}

if [ "$mode" = verify ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target setup_packer zlib_adler32_file
    python3 bench/measure.py --verify-only --root "$root" --scratch "$scratch" \
        --pairs "$pairs" --packer "$native/executables/tools/setup_packer/setup_packer" \
        --zlib-adler32 "$native/bench/zlib_adler32_file"
    rm -f "$scratch/verify_data.bin"
    exit 0
fi

if [ "$mode" = many ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target setup_launcher setup_packer
    python3 bench/measure.py --many-files-only --root "$root" --scratch "$scratch" \
        --pairs "$pairs" --packer "$native/executables/tools/setup_packer/setup_packer" \
        --launcher "$native/executables/tools/setup_launcher/setup_launcher" \
        --zlib-adler32 "$native/bench/zlib_adler32_file"
    exit 0
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ------------------------------------------------------------------------------ dependencies

bash scripts/install_dependencies.sh
# Beyond the build's: GNU time for the peak memory, zlib for the i686 comparison, Python for
# the measurements and the report.
missing=()
for package in time libz-mingw-w64-dev python3; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq || echo "run_benchmarks: apt-get update failed in part; going on" >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# ------------------------------------------------------------------------------ builds

cmake --preset release >/dev/null
if ! cmake --build "$native" --target help | grep -q '^adler32_bench:'; then
    echo "run_benchmarks: the build has no adler32_bench; the top-level CMakeLists.txt must" \
         "add_subdirectory(bench) for native builds" >&2
    exit 1
fi
native_targets=(adler32_bench lcid_bench zlib_adler32_file setup_launcher setup_packer)
cmake --build --preset release --target "${native_targets[@]}"

# The Wine timing runs in the Windows test root, on the i686 build where 32-bit code runs natively;
# the image size is always the i686 launcher's.
# shellcheck source-path=SCRIPTDIR source=../testing/wine/windows_root.sh
source testing/wine/windows_root.sh
windows_root_prepare
[[ -n $SETUP_TESTS_WINDOWS_ROOT ]] || {
    echo "run_benchmarks: no Windows test root: $SETUP_TESTS_NO_WINDOWS_ROOT" >&2
    exit 1
}
if [[ $SETUP_TESTS_I386 == native ]]; then
    windows_preset=windows wine_build=i686 triplet=i686-w64-mingw32
else
    windows_preset=windows-x64 wine_build=x86-64 triplet=x86_64-w64-mingw32
    echo "Adler-32 under Wine with the x86-64 build: $SETUP_TESTS_I386_REPORT"
fi
cmake --preset windows >/dev/null
cmake --build --preset windows --target setup_launcher
launcher_exe=build/windows/executables/tools/setup_launcher/setup_launcher.exe
cmake --preset "$windows_preset" -B "$windows" >/dev/null
cmake --build "$windows" --target setup_payload
timing_exe=$windows/bench/adler32_timing.exe
mkdir -p "$windows/bench"
timing_build=("$triplet-g++-win32" -std=c++20 -O2 -Wall -Wextra -Werror
              -I executables/libraries bench/adler32_timing_win32.cpp
              "$windows/executables/libraries/setup_payload/libsetup_payload.a"
              -lz -static -mconsole -o "$timing_exe")
"${timing_build[@]}"

# ------------------------------------------------------------------------------ Adler-32

native_bench=("$native/bench/adler32_bench" "--benchmark_out=$native/adler32_bench.json"
              --benchmark_out_format=json)
"${native_bench[@]}"

# ------------------------------------------------------------------------------ languages

lcid_bench=("$native/bench/lcid_bench" "--benchmark_out=$native/lcid_bench.json"
            --benchmark_out_format=json)
"${lcid_bench[@]}"

echo "Adler-32 of the $wine_build build under Wine:"
# shellcheck disable=SC2016
windows_root_run -- bash -c 'source testing/wine/wine_env.sh && wine_env_trap &&
    wine_env_init "$1" && wine --version >"$1/wine_version.txt" && wine "$2" >"$1/adler32_timing.txt"' \
    wine_timing "$windows" "$timing_exe"
cat "$windows/adler32_timing.txt"

# ------------------------------------------------------------------------------ files and report

# The launcher's deliberate pause after the last chunk, which the extraction ratio leaves out.
linger_ms=$(sed -nE 's/.*progress_linger_milliseconds = ([0-9]+);.*/\1/p' \
                executables/tools/setup_launcher/src/attachments.cpp | head -n 1)

python3 bench/measure.py \
    --root "$root" \
    --launcher "$native/executables/tools/setup_launcher/setup_launcher" \
    --packer "$native/executables/tools/setup_packer/setup_packer" \
    --zlib-adler32 "$native/bench/zlib_adler32_file" \
    --scratch "$scratch" \
    --pairs "$pairs" \
    --linger-ms "${linger_ms:-0}" \
    --adler32-native "$native/adler32_bench.json" \
    --adler32-wine "$windows/adler32_timing.txt" \
    --wine-build "$wine_build" \
    --wine-version "$(cat "$windows/wine_version.txt")" \
    --wine-compiler "$triplet-g++-win32" \
    --image "$launcher_exe" \
    --lcids "$native/lcid_bench.json" \
    --output docs/performance.md \
    --command "bash bench/run_benchmarks.sh   # all of the below" \
    --command "cmake --preset release" \
    --command "cmake --build --preset release --target ${native_targets[*]}" \
    --command "cmake --preset $windows_preset -B $windows && cmake --build $windows" \
    --command "${timing_build[*]}" \
    --command "${native_bench[*]}" \
    --command "${lcid_bench[*]}" \
    --command "wine $timing_exe   # in the Windows test root, with testing/wine/wine_env.sh's prefix" \
    --command "python3 bench/measure.py ...   # extraction, setup_packer, memory, this report"
rm -f "$scratch/big.bin" "$scratch/verify_data.bin"
echo "Wrote docs/performance.md"
