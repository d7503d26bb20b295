#!/usr/bin/env python3
"""What reading in worker processes costs: sievecheck --isolate against the same sievecheck in
process, side by side in interleaved rounds, over the bench corpus and over 100,000 one-page
files, with one job and with two; a module that crashes on 1 document in 100 over 10,000
documents against a clean run; how long past --document-timeout a document that never ends
takes to get its record; and the peak memory of a run over 10,000 and over 100,000 files.

    bench/isolation_bench.py --sievecheck build/bench/bin/sievecheck \\
        --misbehaving build/default/bin/libzudor_misbehaving.so --corpus bench/work/corpus

The misbehaving module is the isolation tests' (tests/isolation): it forwards to the real
module and crashes on a document whose DocumentName is ZUDOR-TEST:CRASH. Writes
results/isolation.md and results/isolation.json (ZUDOR_BENCH_RESULTS names another folder).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "isolation"))
from documents import write_documents  # noqa: E402  (the isolation tests' documents)

sys.path.insert(0, HERE)
from peer_check import run_failure, time_failure  # noqa: E402


def run(command, expect=0):
    """Wall seconds, CPU seconds (the process and every worker it reaped), peak KiB, why it
    failed (None where it ended with the status expect), output."""
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=out, stderr=err)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    out.seek(0)
    err.seek(0)
    code = os.waitstatus_to_exitcode(status)
    failed = None if code == expect else run_failure(code, err.read()) or "exit status 0, not %d" % expect
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, failed, out.read()


def compare(name, commands, rounds):
    """Interleaved rounds of each command (the first round only warms the caches). A command
    that fails is not run again, and its row holds the reason in place of its times."""
    times = {key: [] for key in commands}
    cpus = {key: [] for key in commands}
    failed = {}
    for r in range(rounds + 1):
        for key, command in commands.items():
            if key in failed:
                continue
            wall, cpu, _, reason, _ = run(command)
            if reason:
                failed[key] = reason
            elif r:
                times[key].append(wall)
                cpus[key].append(cpu)
    row = {"name": name}
    for key in commands:
        row[key] = {"failed": failed[key]} if key in failed else {
            "median_s": statistics.median(times[key]), "min_s": min(times[key]),
            "max_s": max(times[key]), "cpu_s": statistics.median(cpus[key])}
    if failed:
        print("%-44s %s" % (name, "; ".join("%s failed: %s" % kv for kv in failed.items())), flush=True)
        return row
    base = row["in process"]["median_s"]
    row["ratio"] = row["isolated"]["median_s"] / base
    row["pair_ratio"] = statistics.median(a / b for a, b in zip(times["isolated"], times["in process"]))
    row["cpu_ratio"] = row["isolated"]["cpu_s"] / row["in process"]["cpu_s"]
    print("%-44s in process %7.1f ms  isolated %7.1f ms  x%.3f (pairs x%.3f, cpu x%.3f)" % (
        name, base * 1e3, row["isolated"]["median_s"] * 1e3, row["ratio"], row["pair_ratio"],
        row["cpu_ratio"]), flush=True)
    return row


def crash_figures(rows, clean, crashing):
    """The crash runs' medians and what the crashing run's records hold against the clean run's;
    a run that failed holds its reason, and nothing is compared with it."""
    failed = {key: v["failed"] for key, v in rows.items() if "failed" in v}
    if failed:
        print("crash 1 in 100: %s" % "; ".join("%s failed: %s" % kv for kv in failed.items()))
        return {key: {"failed": failed[key]} if key in failed else statistics.median(v["times"])
                for key, v in rows.items()}
    # The same record but for the folder its file is in.
    clean_lines = rows["clean, isolated"]["records"].replace(clean.encode(), b"R").splitlines()
    crash_lines = rows["crashing, isolated"]["records"].replace(crashing.encode(), b"R").splitlines()
    errors = [json.loads(l)["error"] for l in crash_lines if json.loads(l)["error"]]
    same = sum(a == b for i, (a, b) in enumerate(zip(clean_lines, crash_lines)) if i % 100 != 37)
    crash = {key: statistics.median(v["times"]) for key, v in rows.items()}
    crash.update(records=len(crash_lines), error_records=len(errors),
                 errors=sorted(set(errors)), identical=same,
                 ratio=crash["crashing, isolated"] / crash["clean, isolated"],
                 ratio_in_process=crash["crashing, isolated"] / crash["clean, in process"])
    print("crash 1 in 100: %(records)d records, %(error_records)d errors %(errors)s, %(identical)d identical; "
          "x%(ratio).3f of a clean isolated run, x%(ratio_in_process).3f of a clean run in process" % crash)
    return crash


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sievecheck", required=True)
    ap.add_argument("--misbehaving", required=True)
    ap.add_argument("--corpus", required=True, help="the bench corpus (make_corpus.py's corpus/)")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--many", type=int, default=100000)
    args = ap.parse_args()
    sc = args.sievecheck
    results = {"load_before": os.getloadavg(), "rows": []}
    with tempfile.TemporaryDirectory() as tmp:
        many = os.path.join(tmp, "many")
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), many, "--many", str(args.many)],
                       check=True, stdout=subprocess.DEVNULL)
        many = os.path.join(many, "many-%d" % args.many)
        out = os.path.join(tmp, "out.jsonl")
        for corpus, label in ((args.corpus, "bench corpus"), (many, "%d one-page files" % args.many)):
            for xmp in ("raw", "parsed"):
                for jobs in ("1", "2"):
                    base = [sc, "-i", corpus, out, "--xmp", xmp, "-j", jobs, "--quiet"]
                    results["rows"].append(compare("%s, %s XMP, --jobs %s" % (label, xmp, jobs),
                                                   {"in process": base, "isolated": base + ["--isolate"]},
                                                   args.rounds))

        # 1 document in 100 crashes the reader: 100 records say so, the others are a clean run's.
        clean, crashing = os.path.join(tmp, "clean"), os.path.join(tmp, "crashing")
        write_documents(clean, 10000)
        write_documents(crashing, 10000, marked=lambda i: i % 100 == 37)
        iso = ["--isolate", "--module", args.misbehaving]
        crash_rows = {}
        for r in range(args.rounds + 1):
            # The crashing run ends with exit status 1: some documents' summaries are none.
            for key, root, extra, expect in (("clean, in process", clean, [], 0), ("clean, isolated", clean, iso, 0),
                                             ("crashing, isolated", crashing, iso, 1)):
                row = crash_rows.setdefault(key, {"times": []})
                if "failed" in row:
                    continue
                wall, _, _, failed, records = run([sc, "-i", root, "-", "--format", "json", "--quiet", "-j", "1"]
                                                  + extra, expect)
                if failed:
                    row["failed"] = failed
                    continue
                row["records"] = records
                if r:
                    row["times"].append(wall)
        results["crash"] = crash_figures(crash_rows, clean, crashing)

        # A document that never ends: its record comes at the time limit.
        hang = os.path.join(tmp, "hang")
        write_documents(hang, 1, marked=lambda i: True, marker="HANG")
        quick = os.path.join(tmp, "quick")
        write_documents(quick, 1)
        waits, starts, failed = [], [], None
        for _ in range(args.rounds):
            # The document that never ends gets a record of none: exit status 1.
            wait, _, _, failed, _ = run([sc, "-i", hang, "-", "--quiet", "--isolate", "--module", args.misbehaving,
                                         "--document-timeout", "1"], expect=1)
            start, _, _, failed_quick, _ = run([sc, "-i", quick, "-", "--quiet", "--isolate", "--module",
                                                args.misbehaving])
            if failed or failed_quick:
                failed = "the run over it: " + failed if failed else "the run without it: " + failed_quick
                break
            waits.append(wait)
            starts.append(start)
        if failed:
            results["hang"] = {"timeout_s": 1, "failed": failed}
            print("hang: failed: %s" % failed)
        else:
            results["hang"] = {"timeout_s": 1, "record_after_s": statistics.median(waits),
                               "max_s": max(waits), "run_without_hang_s": statistics.median(starts)}
            print("hang: record after %.3f s (max %.3f) with --document-timeout 1; the same run without it %.3f s" % (
                results["hang"]["record_after_s"], results["hang"]["max_s"], results["hang"]["run_without_hang_s"]))

        # Peak memory does not grow with the number of files.
        peaks = {}
        ten = os.path.join(tmp, "ten")
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), ten, "--many", "10000"],
                       check=True, stdout=subprocess.DEVNULL)
        for label, root in (("10000", os.path.join(ten, "many-10000")), (str(args.many), many)):
            for jobs in ("1", "2"):
                for key, extra in (("in process", []), ("isolated", ["--isolate"])):
                    # GNU time's own child is sievecheck: the largest of it and its workers.
                    done = subprocess.run(["/usr/bin/time", "-f", "%M", sc, "-i", root, out, "--xmp", "raw", "-j",
                                           jobs, "--quiet"] + extra, stderr=subprocess.PIPE, check=False)
                    failed, kib = time_failure(done.returncode, done.stderr)
                    peaks["%s files, --jobs %s, %s" % (label, jobs, key)] = (
                        {"failed": failed} if failed else int(kib) / 1024)
        results["peak_mib"] = peaks
        print("peak MiB (the largest process, sievecheck or a worker): %s" % peaks)
    results["load_after"] = os.getloadavg()
    write_results(results)


def write_results(results):
    folder = os.environ.get("ZUDOR_BENCH_RESULTS", os.path.join(HERE, "results"))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "isolation.json"), "w") as f:
        json.dump(results, f, indent=1)
    lines = ["# Isolated reading", "",
             "Written by `bench/isolation_bench.py`. `sievecheck --isolate` against the same `sievecheck` in process,",
             "interleaved rounds, medians; `pairs` is the median of the round-by-round ratios, `cpu` adds the",
             "workers' CPU time to the parent's. Load average before and after: %s / %s." % (
                 " ".join("%.2f" % x for x in results["load_before"]),
                 " ".join("%.2f" % x for x in results["load_after"])), "",
             "| run | in process ms | isolated ms | × | × pairs | × CPU |", "|---|---|---|---|---|---|"]
    # A run that failed shows its reason in place of its figure, and no ratio is taken against it.
    ms = lambda t: "failed: %s" % t["failed"] if isinstance(t, dict) and "failed" in t else "%.1f" % (t * 1e3)
    for row in results["rows"]:
        if "ratio" not in row:
            lines.append("| %s | %s | %s | – | – | – |" % (
                row["name"], ms(row["in process"].get("median_s", row["in process"])),
                ms(row["isolated"].get("median_s", row["isolated"]))))
            continue
        lines.append("| %s | %.1f | %.1f | %.3f | %.3f | %.3f |" % (
            row["name"], row["in process"]["median_s"] * 1e3, row["isolated"]["median_s"] * 1e3, row["ratio"],
            row["pair_ratio"], row["cpu_ratio"]))
    c = results["crash"]
    lines += ["", "## A module that crashes on 1 document in 100", "",
              "10,000 one-page files, `--jobs 1`, the isolation tests' misbehaving module.", "",
              "| run | median ms |", "|---|---|"]
    for key in ("clean, in process", "clean, isolated", "crashing, isolated"):
        lines.append("| %s | %s |" % (key, ms(c[key])))
    if "records" in c:
        lines += ["", "%d records, %d of them errors (%s), %d of the other %d identical to the clean run's; the "
                  "crashing run takes %.2f times the clean isolated run, %.2f times the clean run in process." % (
                      c["records"], c["error_records"], ", ".join(c["errors"]), c["identical"],
                      c["records"] - c["error_records"], c["ratio"], c["ratio_in_process"])]
    h = results["hang"]
    lines += ["", "## A document that never ends", ""]
    if "failed" in h:
        lines.append("With `--document-timeout 1`: failed: %s" % h["failed"])
    else:
        lines.append("With `--document-timeout 1`, the run over it alone ends after %.3f s (at most %.3f s); the same "
                     "run over a document that ends takes %.3f s." % (h["record_after_s"], h["max_s"],
                                                                       h["run_without_hang_s"]))
    lines += ["", "## Peak memory", "", "The largest resident set of one run: sievecheck's, or a worker's when that is larger.",
              "", "| files | peak MiB |", "|---|---|"]
    for key, value in results["peak_mib"].items():
        lines.append("| %s | %s |" % (key, "failed: %s" % value["failed"] if isinstance(value, dict) else
                                      "%.1f" % value))
    with open(os.path.join(folder, "isolation.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
