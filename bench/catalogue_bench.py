#!/usr/bin/python3
"""The catalogue's benchmark: sievecheck --catalog against the same scan to JSON Lines.

  scans  one-page files in folders of 1,000 (made by make_corpus.py --many in a temporary
         folder), for 100,000 files (and 1,000,000 with --million): per round, in turn, the
         scan to JSON Lines, the first scan into a new catalogue and the re-scan of that
         catalogue with nothing changed, with one job and with every core, raw XMP (parsed
         too for the first scan). Medians of the rounds; the first round only warms the caches.
         The catalogue's size per document against the JSON Lines'.
  remote 10,000 objects under an S3 prefix served by the test endpoint of tests/remote: the
         first run and the re-scan, with the LISTs and GETs the endpoint logged.
  kills  a scan of 100,000 files into a catalogue killed with SIGKILL at 20 random points,
         each time resumed, then run to its end; its export against a clean run's and a fresh
         scan.

Writes JSON (--out) and the page beside it (.md). Nothing here is a test: no figure is
asserted, the page says which target was met.
"""
import argparse
import json
import os
import platform
import random
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peer_check import run_failure  # noqa: E402


def timed(cmd):
    """Wall and CPU seconds of one run, and why it failed (None where it did not)."""
    start = time.perf_counter()
    before = os.times()
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    after = os.times()
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return time.perf_counter() - start, cpu, run_failure(done.returncode, done.stderr)


def remove_catalogue(path):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def make_files(temp, n):
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_corpus.py"), temp, "--many", str(n)], check=True)
    # A file changed within 2 s of being catalogued is read again next time: let the newest age.
    time.sleep(2.5)
    return os.path.join(temp, "many-%d" % n)


def scans(args, n):
    rows = []
    jobs = sorted({1, os.cpu_count()})
    with tempfile.TemporaryDirectory(prefix="zudor-catalogue-") as temp:
        root = make_files(temp, n)
        out, db = os.path.join(temp, "out.jsonl"), os.path.join(temp, "c.db")
        rounds = args.rounds if n <= 100000 else 1
        for j in jobs:
            for xmp in ("raw", "parsed"):
                common = ["-i", root, "--xmp", xmp, "--jobs", str(j), "--quiet"]
                tools = [("json", [args.sievecheck] + common + [out, "--format", "json"]),
                         ("first", [args.sievecheck, "--catalog", db] + common)]
                if xmp == "raw":
                    tools.append(("rescan", [args.sievecheck, "--catalog", db] + common))
                samples = {name: [] for name, _ in tools}
                sizes = {}
                failed = {}
                for round_ in range(rounds + 1):
                    for name, cmd in tools:
                        if name in failed:
                            continue
                        if name == "first":
                            remove_catalogue(db)
                        result = timed(cmd)
                        if result[2]:
                            failed[name] = result[2]
                            # A re-scan after a failed first scan would time another first scan.
                            if name == "first":
                                failed.setdefault("rescan", "its first scan failed")
                            continue
                        if round_ > 0:
                            samples[name].append(result)
                        if name == "first":
                            sizes = {"catalogue": os.path.getsize(db)}
                            if "json" not in failed:
                                sizes["jsonl"] = os.path.getsize(out)
                row = {"files": n, "jobs": j, "xmp": xmp, "sizes": sizes}
                for name, runs in samples.items():
                    row[name] = {"failed": failed[name]} if name in failed else {
                        "wall": statistics.median(r[0] for r in runs), "cpu": statistics.median(r[1] for r in runs),
                        "status": [0]}
                rows.append(row)
                print("  %d files, %d jobs, %s: %s" % (n, j, xmp, {k: round(v["wall"], 2) if "wall" in v else v
                                                                  for k, v in row.items()
                                                                  if isinstance(v, dict) and k != "sizes"}),
                      file=sys.stderr)
    return rows


def remote(args):
    """A catalogue of 10,000 objects under an S3 prefix (the test endpoint of tests/remote, on
    127.0.0.1, pages of 1,000 keys): the first run, then the re-scan with nothing changed, each
    with the requests the endpoint logged."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
    import servers  # noqa: E402
    n = args.objects
    rows = []
    with tempfile.TemporaryDirectory(prefix="zudor-catalogue-s3-") as temp:
        bucket = os.path.join(temp, "root", "archive")
        os.makedirs(bucket)
        make_files(bucket, n)
        db = os.path.join(temp, "c.db")
        with servers.S3Server(os.path.join(temp, "root"), os.path.join(temp, "run"), page_size=1000) as s3:
            for name in ("first", "rescan"):
                s3.log()
                start = time.perf_counter()
                done = subprocess.run([args.sievecheck, "--catalog", db, "-i", "s3://archive/many-%d/" % n,
                                       "--stats", "--quiet"], env=s3.env(), stderr=subprocess.PIPE)
                wall = time.perf_counter() - start
                log = s3.log()
                failed = run_failure(done.returncode, done.stderr)
                if failed:
                    rows.append({"run": name, "objects": n, "failed": failed, "status": done.returncode})
                    print("  %s: failed: %s" % (name, failed), file=sys.stderr)
                    continue
                lists = sum("list-type=2" in e["path"] for e in log)
                counts = done.stderr.decode().rsplit("catalogue: ", 1)[-1].strip()
                rows.append({"run": name, "objects": n, "wall": wall, "lists": lists, "gets": len(log) - lists,
                             "status": done.returncode, "counts": counts})
                print("  %s: %s" % (name, rows[-1]), file=sys.stderr)
    return rows


def committed(db):
    """Documents in the catalogue as a reader sees it; 0 before its schema is made."""
    try:
        with sqlite3.connect(db, timeout=5) as con:
            return con.execute("SELECT coalesce(max(id), 0) FROM documents").fetchone()[0]
    except sqlite3.Error:
        return 0


def kills(args):
    rng = random.Random(args.seed)
    n = args.kill_files
    with tempfile.TemporaryDirectory(prefix="zudor-kills-") as temp:
        root = make_files(temp, n)
        clean, db = os.path.join(temp, "clean.db"), os.path.join(temp, "c.db")
        base = ["-i", root, "--xmp", "raw", "--quiet"]
        wall, _, _ = timed([args.sievecheck, "--catalog", clean] + base)
        export = lambda path: subprocess.run([args.sievecheck, "--catalog", path, "--export", "-"],
                                             stdout=subprocess.PIPE, check=True).stdout
        want = export(clean)
        fresh = subprocess.run([args.sievecheck] + base + ["-", "--format", "json"], stdout=subprocess.PIPE).stdout
        # The kills at 20 random points of the scan: each run is killed at a random moment
        # once its catalogue holds more than the next of 20 random document counts.
        points = []
        for target in sorted(rng.sample(range(n), args.kills)):
            child = subprocess.Popen([args.sievecheck, "--catalog", db] + base,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            start = time.perf_counter()
            while child.poll() is None and committed(db) < target:
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.5))
            running = child.poll() is None
            child.send_signal(signal.SIGKILL)
            child.wait()
            with sqlite3.connect(db) as con:
                check = con.execute("PRAGMA quick_check").fetchone()[0]
            kept = committed(db)
            points.append({"target": target, "delay": time.perf_counter() - start, "killed": running,
                           "kept": kept, "check": check})
            print("  killed after %.2f s (%d wanted): %d documents kept, %s" % (
                points[-1]["delay"], target, kept, check), file=sys.stderr)
        final = subprocess.run([args.sievecheck, "--catalog", db, "--stats"] + base,
                               stderr=subprocess.PIPE).stderr.decode()
        got = export(db)
        return {"files": n, "clean_wall": wall, "points": points, "final_stats": final,
                "export_equal": got == want, "export_equals_fresh_scan": got == fresh,
                "export_bytes": len(got)}


def page(results):
    lines = ["# Catalogue", "",
             "Machine: %s, %d cores; load average %s before, %s after." % (
                 platform.machine(), os.cpu_count(), results["load_before"], results["load_after"]), "",
             "## Scans", "",
             "One-page files in folders of 1,000. `json`: the scan to JSON Lines; `first`: the scan into a new "
             "catalogue; `rescan`: that catalogue scanned again with nothing changed. Medians of the timed "
             "rounds, wall seconds (CPU seconds).", "",
             "| files | jobs | XMP | json | first | rescan | first / json | rescan / first | catalogue B/doc | JSON Lines B/doc |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for r in results["scans"]:
        # A run that failed shows its reason; no ratio is taken against it.
        done = lambda k: k in r and "failed" not in r[k]
        cell = lambda k: ("%.2f (%.2f)" % (r[k]["wall"], r[k]["cpu"]) if done(k) else
                          "failed: %s" % r[k]["failed"] if k in r else "–")
        ratio = lambda a, b: "%.2f" % (r[a]["wall"] / r[b]["wall"]) if done(a) and done(b) else "–"
        size = lambda k: "%.0f" % (r["sizes"][k] / r["files"]) if k in r["sizes"] else "–"
        lines.append("| {:,} | {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
            r["files"], r["jobs"], r["xmp"], cell("json"), cell("first"), cell("rescan"), ratio("first", "json"),
            ratio("rescan", "first"), size("catalogue"), size("jsonl")))
    if results.get("remote"):
        lines += ["", "## Objects under an S3 prefix", "",
                  "The test S3 endpoint of `tests/remote` on 127.0.0.1, pages of 1,000 keys; requests from its log.", "",
                  "| run | objects | wall s | LISTs | GETs | counts |", "|---|---|---|---|---|---|"]
        for r in results["remote"]:
            if "failed" in r:
                lines.append("| %s | {:,} | failed: %s | – | – | – |".format(r["objects"]) % (r["run"], r["failed"]))
                continue
            lines.append("| %s | {:,} | %.2f | %d | %d | %s |".format(r["objects"]) % (
                r["run"], r["wall"], r["lists"], r["gets"], r["counts"]))
    k = results.get("kills")
    if k:
        killed = sum(p["killed"] for p in k["points"])
        lines += ["", "## Killed and resumed", "",
                  "%d one-page files, raw XMP, every core; a clean run took %.2f s. Killed with SIGKILL %d times, "
                  "each time at a random moment once the catalogue held more than the next of %d random document "
                  "counts (%d while running), resumed each time, then run to the end." % (
                      k["files"], k["clean_wall"], len(k["points"]), len(k["points"]), killed), "",
                  "| kill | once past | after s | documents committed | quick_check |", "|---|---|---|---|---|"]
        for i, p in enumerate(k["points"]):
            lines.append("| %d | %d | %.2f | %d | %s |" % (i + 1, p["target"], p["delay"], p["kept"], p["check"]))
        lines += ["", "Final run: `%s`" % " / ".join(k["final_stats"].strip().splitlines()), "",
                  "Export equal to the clean run's: **%s**; equal to a fresh scan's JSON Lines: **%s** (%d bytes)." % (
                      k["export_equal"], k["export_equals_fresh_scan"], k["export_bytes"])]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default="build/bench/bin")
    ap.add_argument("--out", default=os.path.join(HERE, "results", "catalogue.json"))
    ap.add_argument("--files", type=int, default=100000)
    ap.add_argument("--million", action="store_true", help="add the scans over 1,000,000 files (slow)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--kill-files", type=int, default=100000)
    ap.add_argument("--objects", type=int, default=10000, help="objects under the S3 prefix (0: leave out)")
    ap.add_argument("--seed", type=int, default=20240229)
    ap.add_argument("--skip-scans", action="store_true")
    args = ap.parse_args()
    args.sievecheck = os.path.join(args.bin, "sievecheck")
    results = {"load_before": " ".join(open("/proc/loadavg").read().split()[:3]), "scans": []}
    if not args.skip_scans:
        for n in [args.files] + ([1000000] if args.million else []):
            results["scans"] += scans(args, n)
    elif os.path.exists(args.out):
        results["scans"] = json.load(open(args.out))["scans"]
    if args.objects:
        results["remote"] = remote(args)
    elif os.path.exists(args.out):
        results["remote"] = json.load(open(args.out)).get("remote")
    if args.kills:
        results["kills"] = kills(args)
    elif os.path.exists(args.out):
        results["kills"] = json.load(open(args.out)).get("kills")
    results["load_after"] = " ".join(open("/proc/loadavg").read().split()[:3])
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.splitext(args.out)[0] + ".md", "w") as f:
        f.write(page(results))
    print("written: %s" % args.out, file=sys.stderr)


if __name__ == "__main__":
    main()
