#!/usr/bin/env python3
"""File-level benchmarks and the report, run by bench/run_benchmarks.sh.

Times the native launcher extracting a 1 GiB file attachment and `setup_packer build` packing
it, each against `cp` of the same bytes, and `setup_packer verify` of a 512 MiB attachment
against zlib's Adler-32 over the same bytes, in alternating runs; measures the launcher's peak
resident memory with GNU time; then writes docs/performance.md from these figures, the Adler-32
benchmarks (Google Benchmark's JSON for x86-64, the timing program's lines for a Windows build
under Wine: the i686 one, or the x86-64 one on a host without 32-bit support), the language
collection benchmark and the size of the i686 launcher image.

With --verify-only it measures `setup_packer verify` alone and prints its ratio; with
--many-files-only, the 10,000-file payload of bench/many_files.py alone.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
import types

import many_files

GIB = 1 << 30
LOG = "/dev/null"  # set to a file in the scratch directory by main()

TARGETS = {
    "adler32_native": 5.0,  # at least, dispatched vs zlib, x86-64 with AVX2
    "adler32_wine": 3.0,  # at least, dispatched vs zlib, Windows build under Wine
    "extraction_ratio": 1.15,  # at most, median of paired ratios to cp
    "extraction_user_cpu": 0.10,  # at most, seconds per GiB
    "packer_ratio": 1.15,  # at most, median of paired ratios to cp
    "verify_vs_zlib": 5.0,  # at least, zlib's user CPU over setup_packer verify's (medians)
    "peak_rss_mib": 16.0,  # at most
    "image_bytes": 67584,  # at most, as the ctest launcher_image_size
    "lcid_seconds": 1.0,  # at most, collecting 65,535 distinct languages
}


def run_timed(command, env=None):
    """Runs a command; returns wall seconds, user and system CPU seconds of that process.
    Its output goes to a file (a terminal would get the launcher's progress bar), shown when
    the command fails."""
    with open(LOG, "w+b") as log:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=log)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            log.seek(0)
            sys.stderr.write(log.read().decode(errors="replace"))
            sys.exit(f"measure: {command} failed with exit code {code}")
    return {"wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime}


def paired_runs(pairs, first, second, after=None):
    """Runs `first` and `second` alternately, `pairs` times each after one untimed warm-up
    pair; the order within a pair alternates too. Returns the two lists of timings."""
    results = ([], [])
    for index in range(pairs + 1):
        order = (0, 1) if index % 2 == 0 else (1, 0)
        timings = [None, None]
        for which in order:
            timings[which] = (first, second)[which]()
            if after:
                after()
        if index > 0:
            results[0].append(timings[0])
            results[1].append(timings[1])
    return results


def peak_rss_kib(command, env):
    """The peak resident set size of a command, as GNU time -v reports it."""
    completed = subprocess.run(["/usr/bin/time", "-v", *command], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, check=True)
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", completed.stderr)
    return int(match.group(1))


def median_of(values):
    return statistics.median(values)


def remove(path):
    if os.path.exists(path):
        os.remove(path)


# ------------------------------------------------------------------------------- Adler-32


def native_adler32(path):
    """{(name, size): bytes per second} from Google Benchmark's JSON output."""
    with open(path, encoding="utf-8") as file:
        data = json.load(file)
    figures = {}
    for entry in data["benchmarks"]:
        match = re.match(r"adler32/([^/]+)/(\d+)", entry.get("run_name", entry["name"]))
        if match and entry.get("aggregate_name", "median") == "median":
            figures[(match.group(1), int(match.group(2)))] = entry["bytes_per_second"]
    return figures, data.get("context", {})


def wine_adler32(path):
    """{(name, size): bytes per second} and the dispatched path from the timing program."""
    figures = {}
    dispatched = "?"
    with open(path, encoding="utf-8", errors="replace") as file:
        for line in file:
            fields = line.split()
            if len(fields) == 2 and fields[0] == "dispatched":
                dispatched = fields[1]
            elif len(fields) == 3:
                figures[(fields[0], int(fields[1]))] = float(fields[2])
    return figures, dispatched


def adler32_table(figures):
    names = []
    for name, _ in figures:
        if name not in names:
            names.append(name)
    sizes = sorted({size for _, size in figures})
    header = "| Path | " + " | ".join(f"{size >> 20} MiB: GB/s | vs zlib" for size in sizes)
    lines = [header + " |", "|---" * (1 + 2 * len(sizes)) + "|"]
    for name in names:
        cells = []
        for size in sizes:
            value = figures.get((name, size))
            zlib = figures.get(("zlib", size))
            cells.append(f"{value / 1e9:.1f}" if value else "-")
            cells.append(f"{value / zlib:.1f}x" if value and zlib else "-")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return lines


def dispatched_ratios(figures):
    return {size: figures[("dispatched", size)] / figures[("zlib", size)]
            for (name, size) in figures if name == "dispatched" and ("zlib", size) in figures}


# ------------------------------------------------------------------------------- languages


def lcid_collection(path):
    """{name: (seconds, languages)} from lcid_bench's Google Benchmark JSON."""
    with open(path, encoding="utf-8") as file:
        data = json.load(file)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    figures = {}
    for entry in data["benchmarks"]:
        name = entry.get("run_name", entry["name"]).split("/")[1]
        figures[name] = (entry["real_time"] * scale[entry["time_unit"]], entry["languages"])
    return figures


# ------------------------------------------------------------------------------- report


def load_average():
    with open("/proc/loadavg", encoding="utf-8") as file:
        return " ".join(file.read().split()[:3])


def machine_lines(args):
    def command_output(command):
        try:
            return subprocess.run(command, capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return "?"

    cpu = "?"
    flags = set()
    with open("/proc/cpuinfo", encoding="utf-8") as file:
        for line in file:
            if line.startswith("model name") and cpu == "?":
                cpu = line.split(":", 1)[1].strip()
            if line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    vector = " ".join(f for f in ("sse2", "ssse3", "avx2", "avx512f") if f in flags)
    with open("/proc/meminfo", encoding="utf-8") as file:
        memory_kib = int(file.readline().split()[1])
    filesystem = command_output(["findmnt", "-n", "-o", "FSTYPE", "--target", args.scratch])
    return [
        f"- Processor: {cpu}, {os.cpu_count()} logical CPUs; vector extensions: {vector}",
        f"- Memory: {memory_kib / (1 << 20):.1f} GiB; scratch file system: {filesystem}",
        f"- System: {platform.system()} {platform.release()}; "
        f"{args.wine_version}",
        f"- Compilers: {command_output(['clang++', '--version']).splitlines()[0]} (native), "
        f"{command_output([args.wine_compiler, '--version']).splitlines()[0]} "
        f"({args.wine_build})",
        f"- Load average (1, 5, 15 min) before the file benchmarks: {args.load_before}; after: "
        f"{load_average()}. Wall times on a shared machine vary with its load; the CPU times "
        "per GiB vary much less.",
    ]


def verdict(ok):
    return "met" if ok else "**missed**"


def write_report(args, extraction, packer, rss_kib, linger, verify, many):
    native, context = native_adler32(args.adler32_native)
    wine, wine_dispatched = wine_adler32(args.adler32_wine)
    native_ratios = dispatched_ratios(native)
    wine_ratios = dispatched_ratios(wine)
    image_bytes = os.path.getsize(args.image)
    lcids = lcid_collection(args.lcids)
    lcid_seconds, lcid_count = lcids["launcher"]
    former_seconds = lcids["scan_and_insert_in_front"][0]

    launcher_runs, cp_runs = extraction
    extraction_walls = [run["wall"] - linger for run in launcher_runs]
    extraction_ratios = [w / c["wall"] for w, c in zip(extraction_walls, cp_runs)]
    raw_ratios = [l["wall"] / c["wall"] for l, c in zip(launcher_runs, cp_runs)]
    data_gib = args.data_bytes / GIB
    launcher_user = median_of([r["user"] for r in launcher_runs]) / data_gib
    launcher_sys = median_of([r["sys"] for r in launcher_runs]) / data_gib
    cp_user = median_of([r["user"] for r in cp_runs]) / data_gib
    cp_sys = median_of([r["sys"] for r in cp_runs]) / data_gib
    packer_runs, packer_cp_runs = packer
    packer_ratios = [p["wall"] / c["wall"] for p, c in zip(packer_runs, packer_cp_runs)]
    rss_mib = rss_kib / 1024
    verify_runs, verify_zlib_runs = verify
    verify_vs_zlib, verify_user, verify_zlib_user = verify_ratio(verify)

    def ratio_text(ratios):
        return " / ".join(f"{ratios[size]:.1f}x ({size >> 20} MiB)" for size in sorted(ratios))

    summary = [
        ("Adler-32 dispatched vs zlib, x86-64 "
         f"({context.get('adler32_dispatched_path', '?')})",
         ratio_text(native_ratios), "at least 5x",
         bool(native_ratios) and min(native_ratios.values()) >= TARGETS["adler32_native"]),
        (f"Adler-32 dispatched vs zlib, {args.wine_build} build under Wine ({wine_dispatched})",
         ratio_text(wine_ratios), "at least 3x",
         bool(wine_ratios) and min(wine_ratios.values()) >= TARGETS["adler32_wine"]),
        ("Extraction of 1 GiB vs cp, median of paired wall-time ratios",
         f"{median_of(extraction_ratios):.2f}x", "at most 1.15x",
         median_of(extraction_ratios) <= TARGETS["extraction_ratio"]),
        ("Extraction, user CPU per GiB (median)", f"{launcher_user:.3f} s", "at most 0.10 s",
         launcher_user <= TARGETS["extraction_user_cpu"]),
        ("setup_packer build of 1 GiB vs cp, median of paired wall-time ratios",
         f"{median_of(packer_ratios):.2f}x", "at most 1.15x",
         median_of(packer_ratios) <= TARGETS["packer_ratio"]),
        (f"setup_packer verify of {args.verify_bytes >> 20} MiB vs zlib's Adler-32 of the same "
         "bytes, user CPU (medians)", f"{verify_vs_zlib:.1f}x", "at least 5x",
         verify_vs_zlib >= TARGETS["verify_vs_zlib"]),
        ("Peak resident memory of the launcher extracting 1 GiB", f"{rss_mib:.1f} MiB",
         "at most 16 MiB", rss_mib <= TARGETS["peak_rss_mib"]),
        *many_files.summary_rows(many),
        ("i686 launcher image (setup_launcher.exe, resources included)",
         f"{image_bytes:,} bytes", f"at most {TARGETS['image_bytes']:,} bytes",
         image_bytes <= TARGETS["image_bytes"]),
        (f"Collecting {lcid_count:,.0f} distinct languages (Release)",
         f"{lcid_seconds * 1000:.1f} ms", "under 1 s", lcid_seconds < TARGETS["lcid_seconds"]),
    ]

    lines = [
        "# Performance",
        "",
        f"Written by `bench/run_benchmarks.sh` on {datetime.date.today().isoformat()}; run it "
        "again to regenerate this file. Ratios compare runs made in the same run of the script, "
        "on the machine below.",
        "",
        "## Machine",
        "",
        *machine_lines(args),
        "",
        "## Summary",
        "",
        "| Figure | Measured | Target | |",
        "|---|---|---|---|",
        *(f"| {name} | {value} | {target} | {verdict(ok)} |"
          for name, value, target, ok in summary),
        "",
        "## Adler-32, x86-64",
        "",
        "Google Benchmark (`build/release/bench/adler32_bench`, the release preset: clang, "
        "optimised), over random data: 10 MiB is one extraction chunk and stays in the cache between passes; "
        "256 MiB streams from memory. Each figure is the median of five repetitions; GB/s are "
        "10^9 bytes per second. `dispatched` is the "
        "`adler32` the launcher calls; the rows below it are the paths this processor can run. "
        "The Debian build of the benchmark library warns that it was built as a debug library; "
        "that affects only its own bookkeeping, not the timed loop.",
        "",
        *adler32_table(native),
        "",
        f"## Adler-32, {args.wine_build} build under Wine",
        "",
        "`bench/adler32_timing_win32.cpp`, linked with the launcher's payload library as the "
        f"{args.wine_build} Windows preset builds it (MinSizeRel) and with MinGW's zlib, run "
        "under Wine in the Windows test root on this processor (the i686 build where 32-bit code "
        "runs natively, else the x86-64 build: emulated code would time the emulator); each "
        "figure is the median rate of five rounds of passes, each round filling "
        "a tenth of a second, after one warm-up pass.",
        "",
        *adler32_table(wine),
        "",
        "## Extraction of a 1 GiB file attachment",
        "",
        "The native launcher (Release build of the POSIX twin) with one file attachment of "
        f"{args.data_bytes:,} random bytes, packed by `setup_packer build --file big.bin` behind a "
        "stand-in PE image and joined to the launcher (`pack_behind` of testing/pe_stub.sh: "
        "setup_packer takes only a Windows image), run with TMPDIR set to a scratch directory on the "
        "same disk: it creates its extraction directory, copies and verifies the file in 10 MiB "
        "chunks, removes the directory and exits. Against it, `cp` of big.bin into the same "
        "directory followed by `rm` of the copy, since the launcher removes what it wrote too. "
        f"Both read from the page cache. {args.pairs} pairs after one warm-up pair, the order "
        "alternating from pair to pair; CPU times (user + system) are the process's own (wait4). After the last "
        f"chunk the launcher keeps its finished progress display for {linger * 1000:.0f} ms by "
        "design; that pause is subtracted from its wall time for the extraction ratio (the raw "
        "ratio is shown as well).",
        "",
        "| Pair | launcher wall s | minus pause s | launcher CPU s | cp + rm wall s | "
        "cp + rm CPU s | ratio | raw ratio |",
        "|---|---|---|---|---|---|---|---|",
        *(f"| {i + 1} | {l['wall']:.3f} | {w:.3f} | {l['user'] + l['sys']:.3f} | "
          f"{c['wall']:.3f} | {c['user'] + c['sys']:.3f} | {r:.2f} | {q:.2f} |"
          for i, (l, w, c, r, q) in enumerate(
              zip(launcher_runs, extraction_walls, cp_runs, extraction_ratios, raw_ratios))),
        "",
        f"Median ratio {median_of(extraction_ratios):.2f}x (raw {median_of(raw_ratios):.2f}x). "
        f"CPU per GiB, medians: launcher user {launcher_user:.3f} s, system "
        f"{launcher_sys:.3f} s; cp + rm user {cp_user:.3f} s, system {cp_sys:.3f} s.",
        "",
        "## setup_packer build of 1 GiB",
        "",
        "`setup_packer build --launcher <a 4 KiB stand-in PE image> --file big.bin --output "
        "out.bin --force` (it reads big.bin once, checksums it and writes the launcher file) against "
        "`cp big.bin` to a second file; each output is removed, untimed, after its run. "
        f"{args.pairs} pairs after one warm-up pair, alternating.",
        "",
        "| Pair | setup_packer wall s | setup_packer CPU s | cp wall s | cp CPU s | ratio |",
        "|---|---|---|---|---|---|",
        *(f"| {i + 1} | {p['wall']:.3f} | {p['user'] + p['sys']:.3f} | {c['wall']:.3f} | "
          f"{c['user'] + c['sys']:.3f} | {r:.2f} |"
          for i, (p, c, r) in enumerate(zip(packer_runs, packer_cp_runs, packer_ratios))),
        "",
        f"Median ratio {median_of(packer_ratios):.2f}x; CPU per GiB, medians: setup_packer "
        f"user {median_of([r['user'] for r in packer_runs]) / data_gib:.3f} s, system "
        f"{median_of([r['sys'] for r in packer_runs]) / data_gib:.3f} s.",
        "",
        f"## setup_packer verify of {args.verify_bytes >> 20} MiB",
        "",
        "`setup_packer verify --no-progress` of a launcher file with one attachment of "
        f"{args.verify_bytes:,} random bytes (it reads the data once and recomputes its Adler-32) "
        "against `bench/zlib_adler32_file`, which reads the same bytes the same way, 1 MiB at a "
        "time, and sums them with zlib's `adler32_z`. Both read from the page cache, so their "
        "system time (the copy out of the cache) is about the same; the user CPU time is the "
        f"checksum. {args.pairs} pairs after one warm-up pair, alternating.",
        "",
        "| Pair | verify user s | verify system s | zlib user s | zlib system s |",
        "|---|---|---|---|---|",
        *(f"| {i + 1} | {v['user']:.3f} | {v['sys']:.3f} | {z['user']:.3f} | {z['sys']:.3f} |"
          for i, (v, z) in enumerate(zip(verify_runs, verify_zlib_runs))),
        "",
        f"Medians of user CPU: setup_packer verify {verify_user:.3f} s, zlib {verify_zlib_user:.3f} "
        f"s; ratio {verify_vs_zlib:.1f}x.",
        "",
        *many_files.report_lines(many, linger),
        "## Peak memory",
        "",
        "`/usr/bin/time -v` on one more extraction run of the same launcher file: maximum "
        f"resident set size {rss_kib:,} KiB ({rss_mib:.1f} MiB), of which 10 MiB is the copy "
        "buffer.",
        "",
        "## Collecting the payload's languages",
        "",
        "`build/bench/bench/lcid_bench` (Google Benchmark, Release build with clang): every "
        "distinct nonzero LCID once, in a scattered order, through `add_command_lcid`, then the "
        "list newest first as the dialog shows it. Against it, the former collection (a scan of "
        "the list per command, each new language inserted at its front), timed once.",
        "",
        "| Collection | Languages | Time | vs the launcher |",
        "|---|---|---|---|",
        f"| launcher (a set and an appended list) | {lcid_count:,.0f} | "
        f"{lcid_seconds * 1000:.1f} ms | 1.0x |",
        f"| scan and insert in front | {lcids['scan_and_insert_in_front'][1]:,.0f} | "
        f"{former_seconds * 1000:.1f} ms | {former_seconds / lcid_seconds:.0f}x |",
        "",
        "## Launcher image",
        "",
        f"`{os.path.relpath(args.image, args.root)}`, built by the Windows preset (MinSizeRel, "
        f"static, stripped): {image_bytes:,} bytes. CI keeps it within budget with the ctest "
        "`launcher_image_size`.",
        "",
        "## Commands",
        "",
        "```sh",
        *args.command_lines,
        "```",
        "",
    ]
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w", encoding="utf-8") as file:
        file.write("\n".join(lines))
    for name, value, target, ok in summary:
        print(f"{verdict(ok):>10}  {name}: {value} (target {target})")


def pe_stub_script(args):
    return os.path.join(args.root, "testing/pe_stub.sh")


def write_pe_stub(args, path):
    """A stand-in launcher for setup_packer, which takes only a Windows GUI image."""
    subprocess.run(["bash", "-c", 'source "$1" && write_pe_stub "$2" 4096', "bash",
                    pe_stub_script(args), path], check=True)


def pack_behind(args, launcher, output, *options):
    """Packs behind the native launcher, which is no PE image (testing/pe_stub.sh)."""
    subprocess.run(["bash", "-c", 'source "$1" && shift && pack_behind "$@"', "bash",
                    pe_stub_script(args), args.packer, launcher, output, *options],
                   check=True, stdout=subprocess.DEVNULL)


def random_file(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    print(f"measure: writing {size:,} random bytes to {path}", flush=True)
    with open("/dev/urandom", "rb") as source, open(path, "wb") as target:
        left = size
        while left > 0:
            piece = source.read(min(left, 16 << 20))
            target.write(piece)
            left -= len(piece)


def measure_verify(args, stub):
    """`setup_packer verify` of one attachment against zlib's Adler-32 of the same bytes."""
    data = os.path.join(args.scratch, "verify_data.bin")
    packed = os.path.join(args.scratch, "verify_packed.bin")
    random_file(data, args.verify_bytes)
    subprocess.run([args.packer, "build", "--launcher", stub, "--file", data, "--output", packed,
                    "--force", "--no-progress"], check=True, stdout=subprocess.DEVNULL)
    print(f"measure: setup_packer verify against zlib, {args.pairs} pairs", flush=True)
    runs = paired_runs(
        args.pairs,
        lambda: run_timed([args.packer, "verify", "--no-progress", packed]),
        lambda: run_timed([args.zlib_adler32, data]))
    remove(packed)
    return runs


def verify_ratio(runs):
    verify_runs, zlib_runs = runs
    verify_user = median_of([r["user"] for r in verify_runs])
    zlib_user = median_of([r["user"] for r in zlib_runs])
    return zlib_user / max(verify_user, 1e-6), verify_user, zlib_user


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--launcher", help="native setup_launcher")
    parser.add_argument("--packer", required=True, help="native setup_packer")
    parser.add_argument("--zlib-adler32", required=True, help="bench/zlib_adler32_file")
    parser.add_argument("--scratch", required=True, help="scratch directory on the same disk")
    parser.add_argument("--data-bytes", type=int, default=GIB)
    parser.add_argument("--verify-bytes", type=int, default=GIB // 2)
    parser.add_argument("--pairs", type=int, default=11)
    parser.add_argument("--linger-ms", type=int, default=0)
    parser.add_argument("--adler32-native", help="Google Benchmark JSON")
    parser.add_argument("--adler32-wine", help="timing program output")
    parser.add_argument("--wine-build", default="i686", help="the build timed under Wine")
    parser.add_argument("--wine-version", default="wine (version not given)",
                        help="what `wine --version` says where the timing ran")
    parser.add_argument("--wine-compiler", default="i686-w64-mingw32-g++-win32")
    parser.add_argument("--image", help="the i686 setup_launcher.exe")
    parser.add_argument("--lcids", help="lcid_bench's Google Benchmark JSON")
    parser.add_argument("--output")
    parser.add_argument("--command", dest="command_lines", action="append", default=[])
    parser.add_argument("--verify-only", action="store_true",
                        help="measure setup_packer verify only and print its ratio")
    parser.add_argument("--many-files-only", action="store_true",
                        help="measure the 10,000-file payload only and print its ratios")
    args = parser.parse_args()

    global LOG
    args.load_before = load_average()
    args.scratch = os.path.abspath(args.scratch)
    os.makedirs(args.scratch, exist_ok=True)
    LOG = os.path.join(args.scratch, "last_run.log")
    stub = os.path.join(args.scratch, "stub_launcher.exe")
    write_pe_stub(args, stub)
    if args.many_files_only:
        many_files.print_summary(measure_many_files(args, stub))
        return

    verify = measure_verify(args, stub)
    ratio, verify_user, zlib_user = verify_ratio(verify)
    print(f"setup_packer verify of {args.verify_bytes >> 20} MiB: user CPU {verify_user:.3f} s; "
          f"zlib's Adler-32 of the same bytes: {zlib_user:.3f} s; ratio {ratio:.1f}x "
          f"(target at least {TARGETS['verify_vs_zlib']:.0f}x)")
    if args.verify_only:
        return
    missing = [name for name in ("launcher", "adler32_native", "adler32_wine", "image", "output")
               if getattr(args, name) is None]
    if missing:
        parser.error("without --verify-only these are needed: " + ", ".join(missing))
    extraction, packer, rss_kib = measure_files(args, stub)
    many = measure_many_files(args, stub)
    many_files.print_summary(many)
    write_report(args, extraction, packer, rss_kib, args.linger_ms / 1000, verify, many)


def measure_many_files(args, stub):
    """The 10,000-file payload: the launcher against tar -x + rm -r, setup_packer against tar -c."""
    if args.launcher is None:
        sys.exit("measure: --launcher is needed for the many-files benchmark")
    harness = types.SimpleNamespace(
        run_timed=run_timed, paired_runs=paired_runs,
        pack_behind=lambda launcher, output, *options: pack_behind(args, launcher, output,
                                                                   *options))
    return many_files.measure(harness, args.launcher, args.packer, stub, args.pairs,
                              args.scratch)


def measure_files(args, stub):
    """Extraction by the launcher and setup_packer build, each against cp, and peak memory."""
    big = os.path.join(args.scratch, "big.bin")
    launcher_file = os.path.join(args.scratch, "setup.bin")
    temp = os.path.join(args.scratch, "tmp")
    shutil.rmtree(temp, ignore_errors=True)
    os.makedirs(temp)
    random_file(big, args.data_bytes)
    pack_behind(args, args.launcher, launcher_file, "--file", big, "--no-progress")
    environment = dict(os.environ, TMPDIR=temp)
    copy = os.path.join(temp, "copy.bin")

    print(f"measure: extraction, {args.pairs} pairs", flush=True)
    extraction = paired_runs(
        args.pairs,
        lambda: run_timed([launcher_file], env=environment),
        lambda: run_timed(["sh", "-c", 'cp "$1" "$2" && rm -f "$2"', "sh", big, copy]))
    leftovers = os.listdir(temp)
    if leftovers:
        sys.exit(f"measure: the launcher left {leftovers} in {temp}")

    print(f"measure: setup_packer build, {args.pairs} pairs", flush=True)
    packed = os.path.join(args.scratch, "packed.bin")
    copied = os.path.join(args.scratch, "copied.bin")
    packer = paired_runs(
        args.pairs,
        lambda: run_timed([args.packer, "build", "--launcher", stub, "--file", big,
                           "--output", packed, "--force"]),
        lambda: run_timed(["cp", big, copied]),
        after=lambda: (remove(packed), remove(copied)))

    print("measure: peak memory", flush=True)
    rss_kib = peak_rss_kib([launcher_file], environment)
    remove(launcher_file)
    return extraction, packer, rss_kib


if __name__ == "__main__":
    main()
