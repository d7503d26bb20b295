#!/usr/bin/python3
"""The Python package's benchmark: zudor.scan against sievecheck and tifffile, and
zudor.dask.read_metadata on a LocalCluster of one and of two worker processes.

  scan   whole processes over the bench corpus, interleaved round by round so that a change
         in the machine's load hits each alike: sievecheck --jobs 1, zudor.scan with one job
         and with every core (each with parsed and with raw XMP), and the tifffile peer. A
         zudor run also reports the time inside the scan, without the interpreter's start.
         Then zudor.scan with one job, parsed and raw, and tifffile over the XMP-heavy corpus
         (make_corpus.py --xmp-heavy), where listing the packets weighs most.
  dask   read_metadata(...).count() on two clusters kept side by side (1 and 2 worker
         processes of one thread each), alternating, over the bench corpus and over
         100,000 one-page files made in a temporary folder; the clusters' start is not
         counted, the client's walk of the tree is.

Writes JSON (--out) and the page beside it (.md). Nothing here is a test: no figure is
asserted, the page says which target was met.
"""
import argparse
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_corpus  # noqa: E402
from peer_check import (count_failure, failed_row, pages_under, run_failure, tifffile_pages, trial,  # noqa: E402
                        trial_folder, value_failure, wrong)

SCAN_CHILD = """
import sys, time, zudor
start = time.perf_counter()
count = sum(1 for _ in zudor.scan([sys.argv[1]], jobs=int(sys.argv[2]), xmp=sys.argv[3]))
print(time.perf_counter() - start, count)
"""


def run_once(cmd, env=None):
    """Wall and CPU seconds of one run, what it printed, and why it failed (None if it did not)."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, env=env)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        err.seek(0)
        failed = run_failure(os.waitstatus_to_exitcode(status), err.read())
    return wall, usage.ru_utime + usage.ru_stime, out, failed


def output_failure(name, cmd, out, files, pages, values=None):
    """Why what a run printed (or wrote) is not the reading of files documents of pages IFDs
    (and, given values, of those values sievecheck reads there); None where it is."""
    if name.startswith("zudor"):
        printed = out.split()
        if len(printed) != 2:
            return wrong("printed %r, not its time and count" % out[:80])
        return count_failure(int(printed[1]), files, "files")
    if name == "tifffile":
        text = out.decode("utf-8", "replace")
        return count_failure(tifffile_pages(text), pages, "pages") or (values and value_failure(text, values))
    with open(cmd[3], "rb") as f:  # sievecheck writes its records to the file it is given
        text = f.read().decode("utf-8", "replace")
    return (count_failure(sum(1 for line in text.splitlines() if line.startswith("{")), files, "files") or
            (values and value_failure(text, values)))


def scan_tools(args, corpus, heavy=False):
    jobs = os.cpu_count()
    sieve = os.path.join(args.bin, "sievecheck")
    out = os.path.join(args.scratch, "sievecheck.jsonl")
    tools = []
    for xmp in ("parsed", "raw"):
        if not heavy:
            tools.append(("sievecheck --xmp %s --jobs 1" % xmp, xmp, 1,
                          [sieve, "-i", corpus, out, "--format", "json", "--xmp", xmp, "--jobs", "1", "-q"]))
        for n in (1,) if heavy else (1, jobs):
            tools.append(("zudor.scan xmp=%s jobs=%d" % (xmp, n), xmp, n,
                          [sys.executable, "-c", SCAN_CHILD, corpus, str(n), xmp]))
    tools.append(("tifffile", "raw", 1, [sys.executable, os.path.join(HERE, "peers", "tifffile_read.py"),
                                         corpus]))
    return tools


def measure_scan(args, corpus, heavy=False):
    env = dict(os.environ, PYTHONPATH=args.python)
    files = sorted(os.path.join(corpus, name) for name in os.listdir(corpus))
    # Each run first reads one document, untimed: one that cannot start, fails or misses a value
    # sievecheck reads there is reported as failed, and not timed.
    trial_file, values = trial_folder(os.path.join(args.bin, "sievecheck"), files,
                                      os.path.join(args.scratch, "trial"))
    failed = {}
    for name, _, _, cmd in scan_tools(args, os.path.dirname(trial_file), heavy):
        reason, done = trial(cmd, env=env)
        failed[name] = reason or output_failure(name, cmd, done.stdout, 1, 1, values)
        if failed[name]:
            print("  %s failed on %s: %s" % (name, os.path.basename(trial_file), failed[name]), file=sys.stderr)
    pages = pages_under(corpus)
    tools = scan_tools(args, corpus, heavy)
    samples = {name: [] for name, _, _, _ in tools}
    for round_ in range(args.runs + 1):  # the first round warms the caches
        for name, _, _, cmd in tools:
            if failed[name]:
                continue
            wall, cpu, out, reason = run_once(cmd, env)
            failed[name] = reason or output_failure(name, cmd, out, len(files), pages)
            if failed[name]:
                continue
            inside = float(out.split()[0]) if name.startswith("zudor") else None
            if round_ > 0:
                samples[name].append((wall, cpu, inside))
        print("  scan round %d of %d" % (round_, args.runs), file=sys.stderr)
    rows = []
    for name, xmp, jobs, _ in tools:
        if failed[name]:
            rows.append(failed_row(name, failed[name], xmp=xmp, jobs=jobs))
            continue
        runs = samples[name]
        row = {"name": name, "xmp": xmp, "jobs": jobs, "runs": len(runs),
               "wall": statistics.median(r[0] for r in runs), "wall_min": min(r[0] for r in runs),
               "wall_max": max(r[0] for r in runs), "cpu": statistics.median(r[1] for r in runs)}
        if runs[0][2] is not None:
            row["in_scan"] = statistics.median(r[2] for r in runs)
        rows.append(row)
    return rows


def make_small_files(root, count, seed):
    """count one-page files like the corpus's pages, 1,000 to a folder. A few hundred distinct
    documents are made and written over and over: making each anew would take minutes."""
    rng = random.Random(seed)
    shapes = []
    for _ in range(500):
        w = make_corpus.Writer(rng.random() < 0.5)
        w.page(make_corpus.random_page(rng, w.strip(), rng.random() < 1 / 3))
        shapes.append(bytes(w.out))
    for i in range(count):
        folder = os.path.join(root, "%03d" % (i // 1000))
        if i % 1000 == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "page-%06d.tif" % i), "wb") as f:
            f.write(shapes[i % len(shapes)])


def measure_dask(args, sets):
    sys.path.insert(0, args.python)
    os.environ["PYTHONPATH"] = args.python  # for the worker processes
    import zudor.dask
    from dask.distributed import Client, LocalCluster

    results = {}
    clusters = [LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=":0")
                for n in (1, 2)]
    clients = [Client(c, set_as_default=False) for c in clusters]
    try:
        def count(client, root, size):
            start = time.perf_counter()
            n = client.compute(zudor.dask.read_metadata([root], partition_size=size).count()).result()
            return time.perf_counter() - start, n

        for client in clients:  # the workers import zudor before anything is timed
            count(client, os.path.join(HERE, "..", "samples"), 1)
        for label, root, size in sets:
            times = {1: [], 2: []}
            for round_ in range(args.runs + 1):
                for n, client in zip((1, 2), clients):
                    seconds, documents = count(client, root, size)
                    if round_ > 0:
                        times[n].append(seconds)
                print("  dask %s round %d of %d" % (label, round_, args.runs), file=sys.stderr)
            one, two = statistics.median(times[1]), statistics.median(times[2])
            results[label] = {"documents": documents, "partition_size": size,
                              "workers_1": {"wall": one, "docs_per_s": documents / one, "all": times[1]},
                              "workers_2": {"wall": two, "docs_per_s": documents / two, "all": times[2]},
                              "speedup": one / two}
    finally:
        for client in clients:
            client.close()
        for cluster in clusters:
            cluster.close()
    return results


def scan_table(runs):
    lines = ["| run | wall s | range s | CPU s | in scan s |", "| --- | ---: | ---: | ---: | ---: |"]
    for r in runs:
        if r.get("failed"):
            lines.append("| %s | failed: %s | – | – | – |" % (r["name"], r["failed"]))
            continue
        lines.append("| %s | %.3f | %.3f-%.3f | %.3f | %s |" % (
            r["name"], r["wall"], r["wall_min"], r["wall_max"], r["cpu"],
            "%.3f" % r["in_scan"] if "in_scan" in r else ""))
    return lines


def page(result):
    rows = {r["name"]: r for r in result["scan"]}
    lines = ["# Python package benchmark", "",
             "Machine: %(cpu)s, %(cores)d cores, Python %(python)s; load average %(load)s before, "
             "%(load_after)s after. Started %(started)s." % result["machine"], "",
             "## zudor.scan over the bench corpus (%d files)" % result["corpus_files"], "",
             "Whole processes, median of %d runs; `in scan` is the time inside `zudor.scan` alone "
             "(without the interpreter's start and imports)." % result["runs"], ""] + scan_table(result["scan"])
    tiff = rows["tifffile"]
    cores = result["machine"]["cores"]

    def target(what, figure, met):
        lines.append("| %s | %s | %s |" % (what, figure, "yes" if met else "**no**"))

    def compare(what, top, bottom, figure, met, key="wall"):
        """A target on top's key over bottom's wall time; not computed where either failed."""
        broken = [r for r in (top, bottom) if r.get("failed")]
        if broken:
            lines.append("| %s | not computed: %s | **not known** |" % (
                what, "; ".join("%s failed: %s" % (r["name"], r["failed"]) for r in broken)))
            return
        ratio = top[key] / bottom["wall"]
        target(what, figure % ratio, met(ratio))

    lines += ["", "Ratios are of medians from this one run.", "",
              "| target | figure | met |", "| --- | --- | --- |"]
    for xmp in ("parsed", "raw"):
        for jobs in (1, cores):
            r = rows["zudor.scan xmp=%s jobs=%d" % (xmp, jobs)]
            compare("zudor.scan %s, %d job%s, at least 10x faster than tifffile (whole process)%s"
                    % (xmp, jobs, "s" if jobs > 1 else "", "" if xmp == "parsed" else "; for reference"),
                    tiff, r, "%.1fx", lambda x: x >= 10)
    for xmp in ("parsed", "raw"):
        one = rows["zudor.scan xmp=%s jobs=1" % xmp]
        sieve = rows["sievecheck --xmp %s --jobs 1" % xmp]
        compare("zudor.scan %s, 1 job, within 1.3x of sievecheck --jobs 1: the scan" % xmp, one, sieve, "%.2fx",
                lambda x: x <= 1.3, key="in_scan")
        compare("the same with the interpreter's start and imports (whole process)", one, sieve, "%.2fx",
                lambda x: x <= 1.3)
    if result.get("heavy"):
        heavy = {r["name"]: r for r in result["heavy"]}
        lines += ["", "## zudor.scan over the XMP-heavy corpus (%d files)" % result["heavy_files"], "",
                  "`make_corpus.py --xmp-heavy`: about 60%% of the files with a packet of 5 to 50 KB. Whole "
                  "processes, median of %d runs." % result["runs"], ""] + scan_table(result["heavy"])
        lines += ["", "| target | figure | met |", "| --- | --- | --- |"]
        for xmp in ("parsed", "raw"):
            r = heavy["zudor.scan xmp=%s jobs=1" % xmp]
            compare("zudor.scan %s, 1 job, at least 10x faster than tifffile (whole process)%s"
                    % (xmp, "" if xmp == "parsed" else "; for reference"), heavy["tifffile"], r, "%.1fx",
                    lambda x: x >= 10)
        parsed, raw = heavy["zudor.scan xmp=parsed jobs=1"], heavy["zudor.scan xmp=raw jobs=1"]
        if not parsed.get("failed") and not raw.get("failed"):
            lines.append("| for reference: parsed over raw, the scan | %.2fx | |" % (parsed["in_scan"] / raw["in_scan"]))
    lines += ["", "## zudor.dask.read_metadata on a LocalCluster", "",
              "`read_metadata([tree], partition_size=P).count()`, median of %d runs; worker processes "
              "of one thread each." % result["runs"], "",
              "| files | P | 1 worker s (docs/s) | 2 workers s (docs/s) | speedup (target 1.6) |",
              "| --- | ---: | ---: | ---: | ---: |"]
    for label, d in result["dask"].items():
        lines.append("| %s (%d documents) | %d | %.2f (%.0f) | %.2f (%.0f) | %.3fx %s |" % (
            label.split(" P=")[0], d["documents"], d["partition_size"], d["workers_1"]["wall"], d["workers_1"]["docs_per_s"],
            d["workers_2"]["wall"], d["workers_2"]["docs_per_s"], int(d["speedup"] * 1000) / 1000,
            "met" if d["speedup"] >= 1.6 else "**not met**"))
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default="build/bench/bin", help="directory holding sievecheck")
    ap.add_argument("--python", default="build/bench/python", help="directory holding the zudor package")
    ap.add_argument("--work", default="bench/work", help="directory with corpus/ (bench/make_corpus.py)")
    ap.add_argument("--out", default="bench/results/python.json", help="JSON to write; the page goes beside it")
    ap.add_argument("--runs", type=int, default=5, help="timed rounds of each measurement")
    ap.add_argument("--small-files", type=int, default=100000, help="one-page files for the Dask run")
    args = ap.parse_args()
    args.python = os.path.abspath(args.python)
    corpus = os.path.abspath(os.path.join(args.work, "corpus"))
    heavy = os.path.abspath(os.path.join(args.work, "xmp-heavy"))
    args.scratch = tempfile.mkdtemp(prefix="zudor_python_bench_")
    result = {"machine": {"cpu": platform.processor() or platform.machine(), "cores": os.cpu_count(),
                          "python": platform.python_version(), "load": "%.2f %.2f %.2f" % os.getloadavg(),
                          "started": time.strftime("%Y-%m-%d %H:%M:%S %Z")},
              "runs": args.runs, "corpus_files": len(os.listdir(corpus))}
    with open("/proc/cpuinfo") as f:
        result["machine"]["cpu"] = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")),
                                        result["machine"]["cpu"])
    try:
        print("scan ...", file=sys.stderr)
        result["scan"] = measure_scan(args, corpus)
        if os.path.isdir(heavy):
            print("scan of the XMP-heavy corpus ...", file=sys.stderr)
            result["heavy"] = measure_scan(args, heavy, heavy=True)
            result["heavy_files"] = len(os.listdir(heavy))
        small = os.path.join(args.scratch, "pages")
        print("making %d one-page files ..." % args.small_files, file=sys.stderr)
        make_small_files(small, args.small_files, 20240229)
        print("dask ...", file=sys.stderr)
        # The corpus is small enough for the partition size to matter: three of them.
        result["dask"] = measure_dask(args, [("bench corpus P=%d" % p, corpus, p) for p in (1000, 250, 100)] +
                                      [("one-page files", small, 1000)])
    finally:
        shutil.rmtree(args.scratch)
    result["machine"]["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    with open(os.path.splitext(args.out)[0] + ".md", "w") as f:
        f.write(page(result))
    print("written: %s" % os.path.splitext(args.out)[0] + ".md", file=sys.stderr)


if __name__ == "__main__":
    main()
