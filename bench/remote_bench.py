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
            "median_ms": float(median.group(1)) if median else None, "stats": done.stderr.strip()}


def peer_run(peer, urls, threads, work):
    listing = os.path.join(work, "urls.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/python3", PEER_READ, peer, listing, "--threads", str(threads)],
                          capture_output=True, text=True, timeout=1800)
    seconds = time.monotonic() - start
    ok = done.returncode == 0 and json.loads(done.stdout)["documents"] == len(urls)
    return {"documents": len(urls), "seconds": seconds, "status": 0 if ok else 1, "stderr": done.stderr[-300:]}


def counted(entries):
    heads = sum(1 for e in entries if e["request"].startswith("HEAD "))
    gets = sum(1 for e in entries if e["request"].startswith("GET "))
    return {"heads": heads, "gets": gets, "bytes": sum(e["bytes"] for e in entries)}


def economy(args, nginx, work):
    rows = {}
    for name in sorted(layouts.LAYOUTS):
        url = nginx.http + "/lay/" + name
        nginx.log()
        row = {}
        sievecheck_run(args.sievecheck, [url], 1, work)
        row["zudor"] = counted(nginx.log())
        for peer in PEERS:
            peer_run(peer, [url], 1, work)
            row[peer] = counted(nginx.log())
        rows[name] = row
    return rows


def throughput(args, nginx, work):
    cells = []
    for rtt in (0, 50):
        with servers.delayed_port(nginx, rtt, work) as port:
            for connections in (1, 8, 32):
                for tool in ("zudor", "gdal", "tifffile"):
                    # Slow cells read fewer documents; the rate is what counts.
                    count = args.documents if tool == "zudor" or connections > 1 else max(32, args.documents // 8)
                    runs = []
                    for rep in range(args.repetitions):
                        urls = ["http://127.0.0.1:%d/many/r%d-c%d-%s-%d/%05d.tif" % (port, rtt, connections, tool, rep, i)
                                for i in range(count)]
                        nginx.log()
                        run = (sievecheck_run(args.sievecheck, urls, connections, work) if tool == "zudor"
                               else peer_run(tool, urls, connections, work))
                        run.update(counted(nginx.log()))
                        runs.append(run)
                    rates = [r["documents"] / r["seconds"] for r in runs]
                    cell = {"rtt_ms": rtt, "connections": connections, "tool": tool, "documents": count,
                            "rate": statistics.median(rates), "rates": rates,
                            "gets_per_document": runs[0]["gets"] / count, "heads_per_document": runs[0]["heads"] / count,
                            "ok": all(r["status"] == 0 for r in runs)}
                    if tool == "zudor":
                        cell["median_ms"] = statistics.median(r["median_ms"] for r in runs if r["median_ms"])
                    cells.append(cell)
                    print("rtt %3d ms, %2d connections, %-8s %7.0f documents/s" % (rtt, connections, tool, cell["rate"]),
                          file=sys.stderr)
    return cells


def one_job_rate(args, nginx, work):
    urls = [nginx.http + "/many/one-job/%06d.tif" % i for i in range(args.documents * 10)]
    runs = [sievecheck_run(args.sievecheck, urls, 32, work) for _ in range(args.repetitions)]
    nginx.log()
    return statistics.median(r["documents"] / r["seconds"] for r in runs)


def peak_memory(args, nginx, work):
    urls = [nginx.http + "/many/memory/%07d.tif" % i for i in range(args.many)]
    listing = os.path.join(work, "many.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    done = subprocess.run(["/usr/bin/time", "-f", "%M %e", args.sievecheck, "--files-from", listing, "--connections",
                           "32", "--quiet", "--format", "json", "--xmp", "raw", os.devnull],
                          capture_output=True, text=True, timeout=3600)
    kib, seconds = done.stderr.strip().splitlines()[-1].split()
    nginx.log()
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
        lines.append("| %s | %s | %s | %s |" % (name, show(row["zudor"]), show(row["gdal"]), show(row["tifffile"])))
    lines += ["", "## Documents per second (two-page file, %d copies; median of %d runs)" % (
        results["documents"], results["repetitions"]), "",
        "| round trip | connections | ZUDOR | GDAL | tifffile | ZUDOR / GDAL | ZUDOR median fetch time |",
        "| --- | --- | --- | --- | --- | --- | --- |"]
    cells = {(c["rtt_ms"], c["connections"], c["tool"]): c for c in results["throughput"]}
    for rtt in (0, 50):
        for n in (1, 8, 32):
            z, g, t = (cells[(rtt, n, tool)] for tool in ("zudor", "gdal", "tifffile"))
            lines.append("| %d ms | %d | %.0f | %.0f | %.0f | %.2f | %.2f ms |" % (
                rtt, n, z["rate"], g["rate"], t["rate"], z["rate"] / g["rate"], z["median_ms"]))
    z50 = cells[(50, 32, "zudor")]
    memory = results["memory"]
    lines += ["", "## Targets", "",
              "- 50 ms, 32 connections: %.0f documents/s (target 512), %.2f times GDAL's (target 1.8)" % (
                  z50["rate"], z50["rate"] / cells[(50, 32, "gdal")]["rate"]),
              "- no added delay, one job: %.0f documents/s (target 2,250)" % results["one_job_rate"],
              "- median fetch time at 50 ms: %.1f ms for %.0f GET a document, %.2f of GETs x round trip (target 1.1)" % (
                  z50["median_ms"], z50["gets_per_document"], z50["median_ms"] / (50 * z50["gets_per_document"])),
              "- peak memory over %d remote documents at 32 connections: %.1f MiB (target 64), %.1f s" % (
                  memory["documents"], memory["peak_kib"] / 1024, memory["seconds"]), ""]
    with open(os.path.join(out, "remote.md"), "w") as f:
        f.write("\n".join(lines))
    with open(os.path.join(out, "remote.json"), "w") as f:
        json.dump(results, f, indent=1)


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
                       "versions": {"gdal": subprocess.run(["gdalinfo", "--version"], capture_output=True,
                                                           text=True).stdout.split(",")[0].replace("GDAL ", "")},
                       "documents": args.documents, "repetitions": args.repetitions}
            results["economy"] = economy(args, nginx, work)
            results["throughput"] = throughput(args, nginx, work)
            results["one_job_rate"] = one_job_rate(args, nginx, work)
            results["memory"] = peak_memory(args, nginx, work)
    report(results, args.out)
    print("written: %s" % os.path.join(args.out, "remote.md"), file=sys.stderr)


if __name__ == "__main__":
    main()
