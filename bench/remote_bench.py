#!/usr/bin/python3
"""The remote series: sievecheck reading TIFF metadata over HTTP from a loopback nginx, next
to GDAL's /vsicurl/ and tifffile over fsspec, all measured in one run.

  economy     requests and bytes per document for each layout of tests/remote/layouts.py,
              counted in nginx's access log
  throughput  documents per second over copies of the two-page file at 0 and 50 ms of round
              trip (the delaying proxy of tests/remote), with 1, 8 and 32 connections (threads
              for the peers), each cell the median of --repetitions runs; sievecheck's median
              per-document fetch time against GETs x round trip
  memory      sievecheck's peak resident memory over --many remote documents at 32 connections

Writes remote.json and remote.md into --out."""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
import layouts  # noqa: E402
import servers  # noqa: E402

sys.path.insert(0, HERE)
from peer_check import count_failure, last_line, run_failure, shown, time_failure, wrong  # noqa: E402

PEERS = ("gdal", "tifffile")
PEER_READ = os.path.join(HERE, "peers", "remote_read.py")


def sievecheck_run(sievecheck, urls, connections, work, extra=()):
    listing = os.path.join(work, "urls.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    start = time.monotonic()
    done = subprocess.run([sievecheck, "--files-from", listing, "--jobs", "1", "--connections", str(connections),
                           "--quiet", "--stats", "--format", "json", "--xmp", "raw", os.devnull, *extra],
                          capture_output=True, text=True, timeout=1800)
    # The run's own time, as the peers time theirs inside the process: without starting the
    # program and loading the module.
    reported = re.search(r"^time ([0-9.]+) s", done.stderr, re.M)
    seconds = float(reported.group(1)) if reported else time.monotonic() - start
    median = re.search(r"median ([0-9.]+) ms", done.stderr)
    return {"documents": len(urls), "seconds": seconds, "status": done.returncode,
            "median_ms": float(median.group(1)) if median else None, "stats": done.stderr.strip(),
            "failed": run_failure(done.returncode, done.stderr)}


def peer_run(peer, urls, threads, work):
    listing = os.path.join(work, "urls.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/python3", PEER_READ, peer, listing, "--threads", str(threads)],
                          capture_output=True, text=True, timeout=1800)
    seconds = time.monotonic() - start
    failed = run_failure(done.returncode, done.stderr)
    if failed is None:
        try:
            read = json.loads(done.stdout)["documents"]
        except (ValueError, KeyError, TypeError):
            failed = wrong("no count of documents in its output: %s" % (last_line(done.stdout) or "nothing"))
        else:
            failed = count_failure(read, len(urls), "documents")
    return {"documents": len(urls), "seconds": seconds, "status": done.returncode, "stderr": done.stderr[-300:],
            "failed": failed}


def counted(entries):
    heads = sum(1 for e in entries if e["request"].startswith("HEAD "))
    gets = sum(1 for e in entries if e["request"].startswith("GET "))
    return {"heads": heads, "gets": gets, "bytes": sum(e["bytes"] for e in entries)}


def checked_run(args, tool, urls, connections, nginx, work):
    """One run of tool over urls with its requests from nginx's log; "failed" holds why it
    cannot stand as a figure: it failed, read fewer documents, or asked nginx for nothing."""
    nginx.log()
    run = (sievecheck_run(args.sievecheck, urls, connections, work) if tool == "zudor"
           else peer_run(tool, urls, connections, work))
    run.update(counted(nginx.log()))
    if run["failed"] is None and run["gets"] == 0:
        run["failed"] = wrong("no GET in nginx's log for %d documents" % len(urls))
    return run


def trials(args, nginx, work):
    """Each reader on one document, untimed, before anything is measured: why each one that
    cannot read it failed (a missing module, a crash, no request made)."""
    failed = {}
    for tool in ("zudor",) + PEERS:
        run = checked_run(args, tool, [nginx.http + "/lay/two-pages.tif"], 1, nginx, work)
        if run["failed"]:
            failed[tool] = run["failed"]
            print("%s failed on one document: %s" % (tool, run["failed"]), file=sys.stderr)
    return failed


def economy(args, nginx, work, failed):
    rows = {}
    for name in sorted(layouts.LAYOUTS):
        url = nginx.http + "/lay/" + name
        row = {}
        for tool in ("zudor",) + PEERS:
            if tool in failed:
                row[tool] = {"failed": failed[tool]}
                continue
            run = checked_run(args, tool, [url], 1, nginx, work)
            row[tool] = {"failed": run["failed"]} if run["failed"] else counted_only(run)
        rows[name] = row
    return rows


def counted_only(run):
    return {key: run[key] for key in ("heads", "gets", "bytes")}


def throughput(args, nginx, work, failed):
    cells = []
    for rtt in (0, 50):
        with servers.delayed_port(nginx, rtt, work) as port:
            for connections in (1, 8, 32):
                for tool in ("zudor", "gdal", "tifffile"):
                    # Slow cells read fewer documents; the rate is what counts.
                    count = args.documents if tool == "zudor" or connections > 1 else max(32, args.documents // 8)
                    cell = {"rtt_ms": rtt, "connections": connections, "tool": tool, "documents": count}
                    runs = []
                    for rep in range(args.repetitions if tool not in failed else 0):
                        urls = ["http://127.0.0.1:%d/many/r%d-c%d-%s-%d/%05d.tif" % (port, rtt, connections, tool, rep, i)
                                for i in range(count)]
                        run = checked_run(args, tool, urls, connections, nginx, work)
                        if run["failed"]:
                            cell["failed"] = run["failed"]
                            break
                        runs.append(run)
                    if tool in failed:
                        cell["failed"] = failed[tool]
                    if cell.get("failed"):
                        cells.append(cell)
                        print("rtt %3d ms, %2d connections, %-8s failed: %s" % (rtt, connections, tool, cell["failed"]),
                              file=sys.stderr)
                        continue
                    rates = [r["documents"] / r["seconds"] for r in runs]
                    cell.update({"rate": statistics.median(rates), "rates": rates,
                                 "gets_per_document": runs[0]["gets"] / count,
                                 "heads_per_document": runs[0]["heads"] / count, "ok": True})
                    if tool == "zudor":
                        fetches = [r["median_ms"] for r in runs if r["median_ms"]]
                        cell["median_ms"] = statistics.median(fetches) if fetches else None
                    cells.append(cell)
                    print("rtt %3d ms, %2d connections, %-8s %7.0f documents/s" % (rtt, connections, tool, cell["rate"]),
                          file=sys.stderr)
    return cells


def one_job_rate(args, nginx, work):
    urls = [nginx.http + "/many/one-job/%06d.tif" % i for i in range(args.documents * 10)]
    runs = [sievecheck_run(args.sievecheck, urls, 32, work) for _ in range(args.repetitions)]
    nginx.log()
    failed = next((r["failed"] for r in runs if r["failed"]), None)
    if failed:
        return {"failed": failed}
    return {"rate": statistics.median(r["documents"] / r["seconds"] for r in runs)}


def peak_memory(args, nginx, work):
    urls = [nginx.http + "/many/memory/%07d.tif" % i for i in range(args.many)]
    listing = os.path.join(work, "many.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    done = subprocess.run(["/usr/bin/time", "-f", "%M %e", args.sievecheck, "--files-from", listing, "--connections",
                           "32", "--quiet", "--format", "json", "--xmp", "raw", os.devnull],
                          capture_output=True, text=True, timeout=3600)
    nginx.log()
    failed, figures = time_failure(done.returncode, done.stderr)
    if failed:
        return {"documents": args.many, "failed": failed, "status": done.returncode}
    kib, seconds = figures.split()
    return {"documents": args.many, "peak_kib": int(kib), "seconds": float(seconds), "status": done.returncode}


def report(results, out):
    lines = ["# Remote reading", "", "sievecheck over HTTP from a loopback nginx next to GDAL %s `/vsicurl/` "
             "and tifffile over fsspec; %s." % (results["versions"]["gdal"], results["machine"]), ""]
    lines += ["## Requests and bytes per document", "", "| file | ZUDOR | GDAL `/vsicurl/` | tifffile + fsspec |",
              "| --- | --- | --- | --- |"]
    show = lambda c: ("HEAD + " if c["heads"] else "") + "%d GET%s, %s" % (
        c["gets"], "s" if c["gets"] != 1 else "", "%.1f KB" % (c["bytes"] / 1000) if c["bytes"] < 1e6
        else "%.2f MB" % (c["bytes"] / 1e6))
    for name, row in results["economy"].items():
        lines.append("| %s | %s | %s | %s |" % (name, shown(row["zudor"], show), shown(row["gdal"], show),
                                                shown(row["tifffile"], show)))
    lines += ["", "## Documents per second (two-page file, %d copies; median of %d runs)" % (
        results["documents"], results["repetitions"]), "",
        "| round trip | connections | ZUDOR | GDAL | tifffile | ZUDOR / GDAL | ZUDOR median fetch time |",
        "| --- | --- | --- | --- | --- | --- | --- |"]
    cells = {(c["rtt_ms"], c["connections"], c["tool"]): c for c in results["throughput"]}
    rate = lambda c: "%.0f" % c["rate"]
    # No ratio is taken against a run that failed.
    over = lambda a, b: "%.2f" % (a["rate"] / b["rate"]) if not a.get("failed") and not b.get("failed") else "–"
    fetch = lambda c: "%.2f ms" % c["median_ms"] if c.get("median_ms") else "–"
    for rtt in (0, 50):
        for n in (1, 8, 32):
            z, g, t = (cells[(rtt, n, tool)] for tool in ("zudor", "gdal", "tifffile"))
            lines.append("| %d ms | %d | %s | %s | %s | %s | %s |" % (
                rtt, n, shown(z, rate), shown(g, rate), shown(t, rate), over(z, g), shown(z, fetch)))
    z50, g50 = cells[(50, 32, "zudor")], cells[(50, 32, "gdal")]
    memory = results["memory"]
    lines += ["", "## Targets", "",
              "- 50 ms, 32 connections: %s (target 512), %s (target 1.8)" % (
                  shown(z50, lambda c: "%.0f documents/s" % c["rate"]),
                  "GDAL failed: %s" % g50["failed"] if g50.get("failed") else
                  shown(z50, lambda c: "%.2f times GDAL's" % (c["rate"] / g50["rate"]))),
              "- no added delay, one job: %s (target 2,250)" % shown(
                  results["one_job_rate"], lambda r: "%.0f documents/s" % r["rate"]),
              "- median fetch time at 50 ms: %s (target 1.1)" % shown(z50, lambda c: (
                  "%.1f ms for %.0f GET a document, %.2f of GETs x round trip" % (
                      c["median_ms"], c["gets_per_document"], c["median_ms"] / (50 * c["gets_per_document"])))
                  if c.get("median_ms") else "no fetch time in --stats"),
              "- peak memory over %d remote documents at 32 connections: %s (target 64)" % (
                  memory["documents"], shown(memory, lambda m: "%.1f MiB, %.1f s" % (m["peak_kib"] / 1024,
                                                                                       m["seconds"]))), ""]
    with open(os.path.join(out, "remote.md"), "w") as f:
        f.write("\n".join(lines))
    with open(os.path.join(out, "remote.json"), "w") as f:
        json.dump(results, f, indent=1)


def gdal_version():
    try:
        return subprocess.run(["gdalinfo", "--version"], capture_output=True,
                              text=True).stdout.split(",")[0].replace("GDAL ", "") or "?"
    except OSError:  # its reading is tried, and shown as failed, with the rest
        return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sievecheck", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--documents", type=int, default=512)
    ap.add_argument("--repetitions", type=int, default=3)
    ap.add_argument("--many", type=int, default=100000)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="zudor-remote-bench-") as work:
        root = os.path.join(work, "root")
        layouts.make_all(os.path.join(root, "lay"))
        with servers.Nginx(root, os.path.join(work, "nginx"), many_file="lay/two-pages.tif") as nginx:
            results = {"machine": "%d cores, load %.2f at the start" % (os.cpu_count(), os.getloadavg()[0]),
                       "versions": {"gdal": gdal_version()},
                       "documents": args.documents, "repetitions": args.repetitions}
            failed = trials(args, nginx, work)
            results["economy"] = economy(args, nginx, work, failed)
            results["throughput"] = throughput(args, nginx, work, failed)
            results["one_job_rate"] = one_job_rate(args, nginx, work)
            results["memory"] = peak_memory(args, nginx, work)
    report(results, args.out)
    print("written: %s" % os.path.join(args.out, "remote.md"), file=sys.stderr)


if __name__ == "__main__":
    main()
