#!/usr/bin/python3
"""Runs every measurement of the benchmark and writes the figures as JSON (bench/report.py
turns them into the results page and the charts).

  whole process  sievecheck and its peers over the corpus, all in one run, interleaved round
                 by round so that a change in the machine's load hits every tool alike; the
                 median wall time, CPU time and peak memory of each
  in process     the Google Benchmark program (module against libtiff, corpus and scaling)
  I/O economy    sievecheck --stats per document against the minimum the layout allows
  small files    sievecheck with one job and with every core over the corpus's small files
                 alone (the 2,000-page file is one document, which one thread reads)
  file counts    sievecheck against the I/O floors over 10,000, 100,000 (and, with --million,
                 1,000,000) one-page files made in a temporary folder: time and peak memory
                 with one job and with every core; the walking floor with one thread and two,
                 with system calls and with io_uring
  XMP-heavy      sievecheck --jobs 1 with raw and with parsed XMP over xmp-heavy/, packets as
                 photo workflows write them, interleaved round by round
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tiff_layout import minimum_io  # noqa: E402
from peer_check import (count_failure, failed_row, run_failure, tifffile_pages, trial,  # noqa: E402
                        trial_folder, value_failure)

HERE = os.path.dirname(os.path.abspath(__file__))


def command_output(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def package_version(name):
    return command_output(["dpkg-query", "-W", "-f=${Version}", name]) or "?"


def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    memory = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                memory = "%.1f GiB" % (int(line.split()[1]) / 2 ** 20)
    distro = "?"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    distro = line.split("=", 1)[1].strip().strip('"')
    return {
        "cpu": cpu, "cores": os.cpu_count(), "memory": memory, "kernel": platform.release(),
        "system": distro, "compiler": command_output(["c++", "--version"]).splitlines()[0],
        "load": "%.2f %.2f %.2f" % os.getloadavg(),
        "peers": {
            "libtiff (tiffinfo)": package_version("libtiff-tools"),
            "exiv2": package_version("exiv2"),
            "exiftool": package_version("libimage-exiftool-perl"),
            "tifffile": package_version("python3-tifffile"),
            "Google Benchmark": package_version("libbenchmark-dev"),
            "python": platform.python_version(),
        },
    }


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found.extend(os.path.join(folder, name) for name in names)
    return sorted(found)


def run_once(cmd, out_path, output=None):
    """Wall seconds, CPU seconds and exit status of one run. output, the file the command
    writes itself, is removed first, as the file of standard output is emptied before the
    clock starts: a run pays for writing its records, not for truncating the last run's."""
    if output is not None and os.path.exists(output):
        os.unlink(output)
    with open(out_path, "wb") as out, open(out_path + ".err", "wb") as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, child.returncode


def peak_kib(cmd, out_path):
    """Peak resident KiB of one run. A child forked from this Python process would carry the
    interpreter's own peak over its exec, so the small /usr/bin/time starts it instead."""
    report = out_path + ".peak"
    with open(out_path, "wb") as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd, stdout=out,
                       stderr=subprocess.DEVNULL)
    with open(report) as f:
        return int(f.read().split()[-1])


def json_lines(text):
    return sum(1 for line in text.splitlines() if line.startswith("{"))


def tiffinfo_pages(text):
    return text.count("TIFF Directory at offset")


def exiv2_files(text):
    # Given more than one file, exiv2 starts each line with the file's name.
    return len({line.split(None, 1)[0] for line in text.splitlines() if line.strip()})


def exiftool_files(text):
    try:
        return sum(1 for entry in json.loads(text) if "Error" not in entry)
    except (ValueError, TypeError):
        return None


def floor_files(text):
    found = re.match(r"(\d+) files", text)
    return int(found.group(1)) if found else None


def whole_process(args, corpus, facts):
    files = files_under(corpus)
    jobs = str(os.cpu_count())
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)

    def tools_over(root, files):
        sieve = [args.sievecheck, "-i", root]

        def sieve_run(xmp, n):
            return sieve + [os.path.join(out, "sievecheck-%s-%s.jsonl" % (xmp, n)),
                            "--format", "json", "--xmp", xmp, "--jobs", n, "--quiet"]

        return [  # name, command, kind of XMP handling, what its output shows it read
            ("sievecheck --xmp raw --jobs 1", sieve_run("raw", "1"), "raw", json_lines),
            ("sievecheck --jobs 1", sieve_run("parsed", "1"), "parsed", json_lines),
            ("sievecheck --xmp raw --jobs %s" % jobs, sieve_run("raw", jobs), "raw", json_lines),
            ("sievecheck --jobs %s" % jobs, sieve_run("parsed", jobs), "parsed", json_lines),
            ("sievecheck --xmp toolkit --jobs 1", sieve_run("toolkit", "1"), "parsed", json_lines),
            ("tiffinfo", ["tiffinfo"] + files, "raw", tiffinfo_pages),
            ("exiv2 -pa", ["exiv2", "-pa"] + files, "parsed", exiv2_files),
            ("exiftool -fast2 -j", ["exiftool", "-fast2", "-j", "-r", root], "parsed", exiftool_files),
            ("tifffile", ["/usr/bin/python3", os.path.join(HERE, "peers", "tifffile_read.py"), root], "raw",
             tifffile_pages),
            ("I/O floor", [args.floor, root], "raw", floor_files),
            ("walking floor", [args.walk_floor, root], "raw", floor_files),
        ]

    def output_of(cmd):
        return cmd[3] if cmd[0] == args.sievecheck else None

    def printed(cmd, out_path):
        with open(output_of(cmd) or out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # What each reader's output must show it read over the corpus: tiffinfo and tifffile are
    # counted in pages, the others in files (exiv2 names a file on each line it prints).
    expected = {tiffinfo_pages: (facts["ifds"], "pages"), tifffile_pages: (facts["ifds"], "pages")}

    # Each program first reads one document, untimed: one that cannot start, fails or misses a
    # value sievecheck reads there is reported as failed, and not timed.
    trial_root = os.path.join(out, "trial")
    trial_file, values = trial_folder(args.sievecheck, files, trial_root)
    failed = {}
    for name, cmd, _, reads in tools_over(trial_root, [trial_file]):
        reason, done = trial(cmd)
        if reason is None and reads is not floor_files:
            reason = value_failure(done.stdout if output_of(cmd) is None else printed(cmd, None), values)
        if reason is not None:
            failed[name] = reason
            print("  %s failed on %s: %s" % (name, os.path.basename(trial_file), reason), file=sys.stderr)

    tools = tools_over(corpus, files)
    samples = {name: [] for name, _, _, _ in tools}
    # The first round warms the page cache and every program's own files; it is not counted.
    for round_ in range(args.runs + 1):
        for i, (name, cmd, _, _) in enumerate(tools):
            if name in failed:
                continue
            result = run_once(cmd, os.path.join(out, "tool-%d.out" % i), output_of(cmd))
            if result[2] != 0:
                with open(os.path.join(out, "tool-%d.out.err" % i), "rb") as f:
                    failed[name] = run_failure(result[2], f.read())
            elif round_ > 0:
                samples[name].append(result)
        print("  round %d of %d done" % (round_, args.runs), file=sys.stderr)
    results = []
    for i, (name, cmd, kind, reads) in enumerate(tools):
        command = " ".join(cmd[:6]) + (" ..." if len(cmd) > 6 else "")
        if name not in failed:
            # The last run's output: as many documents (or pages) as the corpus holds.
            want, what = expected.get(reads, (facts["files"], "files"))
            failed[name] = count_failure(reads(printed(cmd, os.path.join(out, "tool-%d.out" % i))), want, what)
        if failed[name]:
            results.append(failed_row(name, failed[name], xmp=kind, command=command))
            continue
        runs = samples[name]
        results.append({
            "name": name, "xmp": kind, "command": command,
            "wall": statistics.median(r[0] for r in runs), "wall_min": min(r[0] for r in runs),
            "wall_max": max(r[0] for r in runs), "cpu": statistics.median(r[1] for r in runs),
            "peak_kib": peak_kib(cmd, os.path.join(out, "tool-%d.out" % i)),
            "status": sorted({r[2] for r in runs}),
            "runs": len(runs),
        })
    return results


def timed_rounds(tools, rounds, out, warm=None):
    """Medians of interleaved rounds after one warm-up round; tools are (name, command,
    output). warm, untimed, runs before each command: the system here pages out what has
    not been touched for a minute, so a large tree would be half on disk for whichever
    program came last in a round."""
    samples = {name: [] for name, _, _ in tools}
    failed = {}
    for round_ in range(rounds + 1):
        for name, cmd, output in tools:
            if name in failed:
                continue
            if warm is not None:
                subprocess.run(warm, stdout=subprocess.DEVNULL, check=True)
            result = run_once(cmd, out + ".log", output)
            if result[2] != 0:
                with open(out + ".log.err", "rb") as f:
                    failed[name] = run_failure(result[2], f.read())
            elif round_ > 0:
                samples[name].append(result)
    rows = []
    for name, cmd, output in tools:
        if name in failed:
            rows.append(failed_row(name, failed[name]))
            continue
        runs = samples[name]
        rows.append({"name": name, "wall": statistics.median(r[0] for r in runs),
                     "wall_min": min(r[0] for r in runs), "wall_max": max(r[0] for r in runs),
                     "cpu": statistics.median(r[1] for r in runs), "peak_kib": peak_kib(cmd, out + ".log"),
                     "status": sorted({r[2] for r in runs}), "runs": len(runs)})
    return rows


def sievecheck_runs(args, root, out, jobs):
    tools = []
    for j in jobs:
        for xmp in ("raw", "parsed"):
            tools.append(("sievecheck --xmp %s --jobs %d" % (xmp, j),
                          [args.sievecheck, "-i", root, out, "--format", "json", "--xmp", xmp,
                           "--jobs", str(j), "--quiet"], out))
    return tools


def floors(args, root, uring=True):
    tools = [("I/O floor", [args.floor, root], None),
             ("walking floor", [args.walk_floor, root], None),
             ("walking floor, 2 threads", [args.walk_floor, "--threads", "2", root], None)]
    if uring:
        tools += [("walking floor, io_uring", [args.walk_floor, "--uring", root], None),
                  ("walking floor, io_uring, 2 threads", [args.walk_floor, "--uring", "--threads", "2", root], None)]
    return tools


def small_files(args, corpus):
    """The corpus's small files alone, linked into a folder of their own: what --jobs gains
    where every document is small."""
    small = os.path.join(args.work, "small")
    shutil.rmtree(small, ignore_errors=True)
    os.makedirs(small)
    for name in sorted(os.listdir(corpus)):
        if name.startswith("doc-"):
            os.link(os.path.join(corpus, name), os.path.join(small, name))
    out = os.path.join(args.work, "out", "small.jsonl")
    tools = floors(args, small, uring=False) + sievecheck_runs(args, small, out, sorted({1, os.cpu_count()}))
    rows = timed_rounds(tools, args.runs, out)
    # Every job count writes the same records.
    outputs = set()
    for j in sorted({1, os.cpu_count()}):
        for xmp in ("raw", "parsed"):
            one = os.path.join(args.work, "out", "small-%s-%d.jsonl" % (xmp, j))
            subprocess.run([args.sievecheck, "-i", small, one, "--format", "json", "--xmp", xmp, "--jobs", str(j),
                            "--quiet"], check=True)
            with open(one, "rb") as f:
                outputs.add((xmp, hashlib.sha256(f.read()).hexdigest()))
    return {"files": len(os.listdir(small)), "rows": rows,
            "same_records": len(outputs) == 2}


def xmp_heavy(args, heavy):
    """Raw against parsed XMP, one job, over the XMP-heavy corpus: what listing the packets
    costs on top of copying them."""
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)
    tools = []
    for xmp in ("raw", "parsed"):
        output = os.path.join(out, "heavy-%s.jsonl" % xmp)
        tools.append(("sievecheck --xmp %s --jobs 1" % xmp,
                      [args.sievecheck, "-i", heavy, output, "--format", "json", "--xmp", xmp, "--jobs", "1",
                       "--quiet"], output))
    return timed_rounds(tools, args.runs, os.path.join(out, "heavy.out"))


def xmp_facts(root):
    """Files, packets and the bytes of XMP under root."""
    facts = {"files": 0, "packets": 0, "xmp_bytes": 0}
    for path in files_under(root):
        with open(path, "rb") as f:
            data = f.read()
        facts["files"] += 1
        at = data.find(b"<?xpacket begin")
        if at >= 0:
            end = data.find(b"<?xpacket end", at)
            facts["packets"] += 1
            facts["xmp_bytes"] += data.find(b"?>", end) + 2 - at
    return facts


def file_counts(args):
    """Time and peak memory over many small files, for each number of files and of jobs."""
    counts = [10000, 100000] + ([1000000] if args.million else [])
    jobs = sorted({1, os.cpu_count()})
    rows = []
    for n in counts:
        with tempfile.TemporaryDirectory(prefix="zudor-many-") as temp:
            subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_corpus.py"), temp, "--many", str(n)],
                           check=True)
            # The new files' data and inodes are written out before anything is timed.
            os.sync()
            root = os.path.join(temp, "many-%d" % n)
            out = os.path.join(temp, "out.jsonl")
            tools = floors(args, root) + sievecheck_runs(args, root, out, jobs)
            warm = [args.walk_floor, "--threads", "2", root] if n >= 100000 else None
            for row in timed_rounds(tools, 3, out, warm):
                row["files"] = n
                rows.append(row)
        print("  %d files done" % n, file=sys.stderr)
    return rows


def sievecheck_scaling(args, scaling):
    """sievecheck alone on each scaling file: wall time and peak memory, raw and parsed."""
    out = os.path.join(args.work, "out", "scaling.jsonl")
    rows = []
    for path in sorted(files_under(scaling), key=os.path.getsize):
        row = {"file": os.path.basename(path)}
        for xmp in ("raw", "parsed"):
            cmd = [args.sievecheck, "-i", path, out, "--format", "json", "--xmp", xmp, "--jobs", "1",
                   "--quiet"]
            runs = [run_once(cmd, out) for _ in range(3)]
            row[xmp] = {"wall": statistics.median(r[0] for r in runs), "peak_kib": peak_kib(cmd, out)}
        rows.append(row)
    return rows


STATS = re.compile(r"reads (\d+), seeks (\d+), bytes read (\d+)")


def stats_of(args, path):
    done = subprocess.run([args.sievecheck, "-i", path, os.devnull, "--format", "json", "--xmp", "raw",
                           "--jobs", "1", "--quiet", "--stats"], capture_output=True, text=True)
    m = STATS.search(done.stderr)
    if m is None:
        return None
    reads, seeks, nbytes = map(int, m.groups())
    return {"reads": reads, "seeks": seeks, "bytes": nbytes, "complete": "complete 1," in done.stderr}


def economy(args, corpus, scaling):
    paths = files_under(corpus) + files_under(scaling)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        measured = list(pool.map(lambda p: stats_of(args, p), paths))
    groups = {}
    mismatches = []
    for path, got in zip(paths, measured):
        with open(path, "rb") as f:
            want = minimum_io(f.read())
        group = "corpus" if path.startswith(corpus) else os.path.basename(path)[:-4]
        g = groups.setdefault(group, {"documents": 0, "ifds": 0, "contiguous": 0, "incomplete": 0,
                                      "measured": {"reads": 0, "seeks": 0, "bytes": 0},
                                      "minimum": {"reads": 0, "seeks": 0, "bytes": 0}})
        g["documents"] += 1
        if got is None or want is None:
            mismatches.append({"file": path, "measured": got, "minimum": want})
            continue
        g["ifds"] += want["ifds"]
        g["contiguous"] += want["contiguous"]
        g["incomplete"] += not got["complete"]
        for key in ("reads", "seeks", "bytes"):
            g["measured"][key] += got[key]
            g["minimum"][key] += want[key]
        if any(got[k] != want[k] for k in ("reads", "seeks", "bytes")):
            mismatches.append({"file": path, "measured": got, "minimum": want})
    # The totals of one run over the whole corpus must agree with the per-document sums.
    done = subprocess.run([args.sievecheck, "-i", corpus, os.devnull, "--format", "json", "--jobs",
                           "1", "--quiet", "--stats", "--xmp", "raw"], capture_output=True, text=True)
    m = STATS.search(done.stderr)
    totals = dict(zip(("reads", "seeks", "bytes"), map(int, m.groups()))) if m else None
    return {"groups": groups, "mismatches": mismatches[:20], "mismatch_count": len(mismatches),
            "corpus_run_totals": totals}


def in_process(args, corpus, scaling):
    out = os.path.join(args.work, "inprocess.json")
    if os.path.exists(out):
        os.unlink(out)
    done = subprocess.run([args.inprocess, "--corpus", corpus, "--scaling", scaling,
                           "--benchmark_out=" + out, "--benchmark_out_format=json",
                           "--benchmark_repetitions=%d" % args.repetitions,
                           "--benchmark_report_aggregates_only=true",
                           "--benchmark_min_time=%g" % args.min_time], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    sys.stderr.buffer.write(done.stderr)
    if done.returncode != 0 or not os.path.exists(out):
        return {"failed": run_failure(done.returncode, done.stderr) or "wrote no figures", "figures": {}}
    with open(out) as f:
        raw = json.load(f)
    figures = {}
    for b in raw["benchmarks"]:
        name = b["run_name"]
        # A single repetition comes without aggregates; its one run stands for the median.
        aggregate = b.get("aggregate_name") or ("median" if b.get("repetitions", 1) == 1 else None)
        entry = figures.setdefault(name, {})
        if b.get("error_occurred"):
            entry["error"] = b.get("error_message", "failed")
            continue
        if aggregate in ("median", "cv"):
            for key in ("s_per_doc", "s_per_ifd", "s_per_entry", "reads_per_doc", "seeks_per_doc",
                        "bytes_per_doc", "docs", "ifds", "entries"):
                if key in b:
                    entry.setdefault(aggregate, {})[key] = b[key]
    return {"context": raw.get("context", {}), "figures": figures}


def corpus_facts(corpus):
    facts = {"files": 0, "bytes": 0, "ifds": 0, "packets": 0}
    for path in files_under(corpus):
        with open(path, "rb") as f:
            data = f.read()
        facts["files"] += 1
        facts["bytes"] += len(data)
        layout = minimum_io(data)
        facts["ifds"] += layout["ifds"] if layout else 0
        packets = data.count(b"<x:xmpmeta")
        facts["packets"] += packets
    return facts


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", required=True, help="directory holding sievecheck and the bench programs")
    ap.add_argument("--work", required=True, help="directory with corpus/ and scaling/")
    ap.add_argument("--out", required=True, help="JSON file to write")
    ap.add_argument("--runs", type=int, default=7, help="timed rounds of the whole-process comparison")
    ap.add_argument("--repetitions", type=int, default=3, help="repetitions of each in-process benchmark")
    ap.add_argument("--min-time", type=float, default=0.3, help="seconds per in-process repetition")
    ap.add_argument("--million", action="store_true", help="add a run over 1,000,000 files (slow)")
    args = ap.parse_args()
    args.sievecheck = os.path.join(args.bin, "sievecheck")
    args.floor = os.path.join(args.bin, "zudor_io_floor")
    args.walk_floor = os.path.join(args.bin, "zudor_walk_floor")
    args.inprocess = os.path.join(args.bin, "zudor_inprocess")
    # A missing peer is reported as failed in its row; peak memory is measured with this one.
    if shutil.which("/usr/bin/time") is None:
        sys.exit("measure: /usr/bin/time is not installed (bench/run installs it)")
    corpus = os.path.join(args.work, "corpus")
    scaling = os.path.join(args.work, "scaling")
    heavy = os.path.join(args.work, "xmp-heavy")

    result = {"machine": machine(), "corpus": corpus_facts(corpus),
              "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "repetitions": args.repetitions}
    print("whole process ...", file=sys.stderr)
    result["whole_process"] = whole_process(args, corpus, result["corpus"])
    print("small files ...", file=sys.stderr)
    result["small_files"] = small_files(args, corpus)
    print("XMP-heavy corpus ...", file=sys.stderr)
    result["xmp_heavy"] = {"corpus": xmp_facts(heavy), "runs": xmp_heavy(args, heavy)}
    print("many files ...", file=sys.stderr)
    result["file_counts"] = file_counts(args)
    print("sievecheck on the scaling files ...", file=sys.stderr)
    result["sievecheck_scaling"] = sievecheck_scaling(args, scaling)
    print("I/O economy ...", file=sys.stderr)
    result["economy"] = economy(args, corpus, scaling)
    print("in process ...", file=sys.stderr)
    result["in_process"] = in_process(args, corpus, scaling)
    result["machine"]["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
