"""The many-small-files benchmark, run by bench/measure.py (bench/run_benchmarks.sh).

A payload of 10,000 files of 200 to 5,000 bytes (about 26 MB) in 1,000 directories, on tmpfs
when the machine has one (/dev/shm), so that the figures are the programs' own work rather than
the disk's. Two pairs of programs, each in paired, alternating runs, compared in CPU time
(user + system, the process's own and its children's, from wait4):

- the native launcher extracting the payload into its extraction directory, verifying every file
  and removing the directory, against `tar -x` of the same tree followed by `rm -r` of it;
- `setup_packer build --manifest` of the tree against `tar -c` of it.

The launcher's deliberate pause after its last chunk is wall time, not CPU time; the wall
figures are shown with that pause subtracted. When strace is installed, one more run of each
extraction counts the system calls per file.
"""

import json
import os
import random
import shutil
import statistics
import subprocess
import tempfile

FILES = 10_000
PARENTS = 100  # top-level directories, each holding DIRECTORIES // PARENTS directories of files
DIRECTORIES = 1_000
SMALLEST = 200
LARGEST = 5_000
SEED = 20261209
TARGET_RATIO = 1.3  # at most, median CPU time against tar's


def scratch_root(fallback):
    """A tmpfs directory when there is one, else `fallback`; and the file system's name."""
    for candidate in ("/dev/shm",):
        if os.path.isdir(candidate) and os.access(candidate, os.W_OK):
            # A file system mounted twice is listed twice.
            kinds = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "--target", candidate],
                                   capture_output=True, text=True, check=False).stdout.split()
            if kinds[:1] == ["tmpfs"]:
                return tempfile.mkdtemp(prefix="many_files.", dir=candidate), "a tmpfs"
    os.makedirs(fallback, exist_ok=True)
    return tempfile.mkdtemp(prefix="many_files.", dir=fallback), "the scratch directory's"


def relative_names():
    """The files' names below the tree, in packing order: dNN/sN/fN.bin."""
    per_directory = FILES // DIRECTORIES
    children = DIRECTORIES // PARENTS
    names = []
    for directory in range(DIRECTORIES):
        parent, child = divmod(directory, children)
        for index in range(per_directory):
            names.append(f"d{parent:02d}/s{child}/f{index}.bin")
    return names


def make_tree(tree):
    """Writes the payload's files (random bytes, sizes drawn with a fixed seed); returns their
    names and their total size."""
    rng = random.Random(SEED)
    names = relative_names()
    total = 0
    for name in names:
        size = rng.randint(SMALLEST, LARGEST)
        path = os.path.join(tree, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(rng.randbytes(size))
        total += size
    return names, total


def write_manifest(path, tree, names):
    attachments = [{"file": os.path.join(tree, name), "name": name} for name in names]
    with open(path, "w", encoding="utf-8") as file:
        json.dump({"attachments": attachments}, file)


def cpu(run):
    return run["user"] + run["sys"]


def syscalls_per_file(command, env, files, log):
    """strace -c -f of one run: {system call: calls per file}, or None without strace."""
    if shutil.which("strace") is None:
        return None
    subprocess.run(["strace", "-f", "-c", "-o", log, *command], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    counts = {}
    with open(log, encoding="utf-8") as file:
        for line in file:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(fields) >= 5 and fields[3].isdigit() and not line.startswith("100.00"):
                counts[fields[-1]] = int(fields[3]) / files
    os.remove(log)
    return counts


def measure(harness, launcher, packer, stub, pairs, scratch):
    """Runs both comparisons; `harness` provides run_timed, paired_runs and pack_behind."""
    root, filesystem = scratch_root(scratch)
    try:
        return measure_in(harness, launcher, packer, stub, pairs, root, filesystem)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def measure_in(harness, launcher, packer, stub, pairs, root, filesystem):
    tree = os.path.join(root, "tree")
    names, total = make_tree(tree)
    manifest = os.path.join(root, "manifest.json")
    write_manifest(manifest, tree, names)
    archive = os.path.join(root, "payload.tar")
    subprocess.run(["tar", "-cf", archive, "-C", tree, "."], check=True)
    launcher_file = os.path.join(root, "setup.bin")
    harness.pack_behind(launcher, launcher_file, "--manifest", manifest, "--no-progress")
    temp = os.path.join(root, "tmp")
    os.makedirs(temp)
    environment = dict(os.environ, TMPDIR=temp)
    unpacked = os.path.join(temp, "unpacked")
    untar = ["sh", "-c", 'mkdir "$2" && tar -xf "$1" -C "$2" && rm -r "$2"', "sh", archive,
             unpacked]

    print(f"measure: {FILES:,} files, launcher against tar -x + rm -r, {pairs} pairs",
          flush=True)
    extraction = harness.paired_runs(
        pairs, lambda: harness.run_timed([launcher_file], env=environment),
        lambda: harness.run_timed(untar))
    leftovers = os.listdir(temp)
    if leftovers:
        raise SystemExit(f"measure: {leftovers} left in {temp}")

    print(f"measure: {FILES:,} files, setup_packer build against tar -c, {pairs} pairs",
          flush=True)
    packed = os.path.join(root, "packed.bin")
    tarred = os.path.join(root, "tarred.tar")
    packing = harness.paired_runs(
        pairs,
        lambda: harness.run_timed([packer, "build", "--launcher", stub, "--manifest", manifest,
                                   "--output", packed, "--force", "--no-progress"]),
        lambda: harness.run_timed(["tar", "-cf", tarred, "-C", tree, "."]),
        after=lambda: [os.remove(path) for path in (packed, tarred) if os.path.exists(path)])

    log = os.path.join(root, "strace.txt")
    calls = (syscalls_per_file([launcher_file], environment, FILES, log),
             syscalls_per_file(untar, environment, FILES, log))
    return {"files": FILES, "bytes": total, "filesystem": filesystem, "pairs": pairs,
            "extraction": extraction, "packing": packing, "calls": calls}


def ratios(results):
    """Median CPU ratios: (launcher against tar -x + rm -r, setup_packer against tar -c)."""
    def median_ratio(runs):
        ours, theirs = runs
        return statistics.median(cpu(o) for o in ours) / statistics.median(cpu(t) for t in theirs)
    return median_ratio(results["extraction"]), median_ratio(results["packing"])


def summary_rows(results):
    """(figure, measured, target, met) for the report's summary."""
    extraction, packing = ratios(results)
    target = f"at most {TARGET_RATIO}x"
    return [
        (f"{FILES:,} small files: launcher vs tar -x + rm -r, CPU (medians)",
         f"{extraction:.2f}x", target, extraction <= TARGET_RATIO),
        (f"{FILES:,} small files: setup_packer build vs tar -c, CPU (medians)",
         f"{packing:.2f}x", target, packing <= TARGET_RATIO),
    ]


def medians(runs):
    """Median CPU seconds of both sides of a comparison."""
    return tuple(statistics.median(cpu(run) for run in side) for side in runs)


def print_summary(results):
    extraction, packing = ratios(results)
    for name, value, target, ok in summary_rows(results):
        print(f"{'met' if ok else 'MISSED':>8}  {name}: {value} ({target})")
    print("median CPU seconds: launcher %.3f, tar -x + rm -r %.3f; setup_packer %.3f, tar -c %.3f"
          % (medians(results["extraction"]) + medians(results["packing"])))
    launcher_calls, tar_calls = results["calls"]
    if launcher_calls:
        print("system calls per file, launcher: " + calls_text(launcher_calls))
        print("system calls per file, tar -x + rm -r: " + calls_text(tar_calls))
    return extraction, packing


def calls_text(calls, least=0.05):
    shown = sorted(((count, name) for name, count in calls.items() if count >= least),
                   reverse=True)
    total = sum(calls.values())
    return f"{total:.1f} in all; " + ", ".join(f"{name} {count:.2f}" for count, name in shown)


def report_lines(results, linger):
    """The report's section."""
    launcher_runs, untar_runs = results["extraction"]
    packer_runs, tar_runs = results["packing"]
    extraction, packing = ratios(results)
    launcher_calls, tar_calls = results["calls"]
    lines = [
        f"## {FILES:,} small files",
        "",
        f"A payload of {FILES:,} files of {SMALLEST:,} to {LARGEST:,} random bytes "
        f"({results['bytes']:,} bytes in all, sizes drawn with a fixed seed) in "
        f"{DIRECTORIES:,} directories (dNN/sN, {PARENTS} parents of {DIRECTORIES // PARENTS} "
        f"each), on {results['filesystem']} file system. The launcher file is packed by "
        "`setup_packer build --manifest` and joined to the native launcher (`pack_behind`); the "
        "launcher runs with TMPDIR on the same file system, creates its extraction directory, "
        "writes and verifies every file, removes the directory and exits. Against it, "
        "`tar -x` of the same tree (made by `tar -c`) into a new directory followed by `rm -r` "
        "of it. Then `setup_packer build` of the tree from its manifest against `tar -c` of it, "
        "each output removed, untimed, after its run. "
        f"{results['pairs']} pairs each after one warm-up pair, the order alternating; CPU "
        "times are user + system of the process and its children (wait4). The launcher's "
        f"wall time is shown less its designed pause of {linger * 1000:.0f} ms, which costs no "
        "CPU.",
        "",
        "| Pair | launcher CPU s | wall s less pause | tar -x + rm -r CPU s | wall s | "
        "setup_packer CPU s | wall s | tar -c CPU s | wall s |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for i, (l, u, p, t) in enumerate(zip(launcher_runs, untar_runs, packer_runs, tar_runs)):
        lines.append(f"| {i + 1} | {cpu(l):.3f} | {l['wall'] - linger:.3f} | {cpu(u):.3f} | "
                     f"{u['wall']:.3f} | {cpu(p):.3f} | {p['wall']:.3f} | {cpu(t):.3f} | "
                     f"{t['wall']:.3f} |")
    lines += [
        "",
        f"Medians of CPU time: launcher {statistics.median(map(cpu, launcher_runs)):.3f} s, "
        f"tar -x + rm -r {statistics.median(map(cpu, untar_runs)):.3f} s, ratio "
        f"**{extraction:.2f}x**; setup_packer build "
        f"{statistics.median(map(cpu, packer_runs)):.3f} s, tar -c "
        f"{statistics.median(map(cpu, tar_runs)):.3f} s, ratio **{packing:.2f}x** (target at "
        f"most {TARGET_RATIO}x each).",
    ]
    if launcher_calls:
        lines += [
            "",
            "System calls per file (strace -c -f of one more run of each, counts divided by "
            f"{FILES:,}): launcher {calls_text(launcher_calls)}; tar -x + rm -r "
            f"{calls_text(tar_calls)}.",
        ]
    lines.append("")
    return lines
