#!/usr/bin/python3
"""sievecheck.exe under Wine beside the Linux sievecheck, side by side in one run, on loopback:

  economy     requests and bytes per document for each layout of tests/remote/layouts.py,
              from nginx's access log, each platform's run on its own
  throughput  documents per second over copies of the two-page file from a loopback nginx,
              50 ms of round trip away (tests/remote/delay_proxy.py) and with no delay, at 32
              connections, the platforms' runs interleaved, each cell the median of
              --repetitions runs; the run's own time (--stats), without starting the program
              (Wine takes a second or more to start one). Plain HTTP: HTTP/1.1 on both
  catalogue   --files one-page files (bench/make_corpus.py --many): the first scan into a new
              catalogue and the re-scan with nothing changed, on each platform, medians of
              --rounds after a round that warms the caches; wall time, Wine's start included,
              and the run's own time
  imports     the DLLs sievecheck.exe and ZUDOR.dll import, as objdump -p reads them

Needs the default and windows presets built (sievecheck, zudor), and Wine; the legs' Wine
prefix is used (scripts/lib/wine-session). Writes windows.json and windows.md into --out.
Nothing here is a test: the page says which target was met."""
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
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "remote"))
import layouts  # noqa: E402
import servers  # noqa: E402

sys.path.insert(0, HERE)
from peer_check import run_failure, shown, trial, wrong  # noqa: E402

PLATFORMS = ("linux", "windows")


def command(args, platform):
    return ([args.linux] if platform == "linux" else ["wine", args.windows])


def run(args, platform, options, cwd=None):
    """One run: wall seconds, the run's own seconds (--stats), its status and messages."""
    start = time.monotonic()
    done = subprocess.run(command(args, platform) + options, capture_output=True, text=True, timeout=3600,
                          cwd=cwd, env=servers.without_proxies(os.environ))
    wall = time.monotonic() - start
    reported = re.search(r"^time ([0-9.]+) s", done.stderr, re.M)
    return {"wall": wall, "seconds": float(reported.group(1)) if reported else wall, "status": done.returncode,
            "stderr": done.stderr.strip(), "failed": run_failure(done.returncode, done.stderr)}


def url_run(args, platform, urls, connections, work):
    listing = os.path.join(work, "urls.txt")
    with open(listing, "w") as f:
        f.write("\n".join(urls) + "\n")
    result = run(args, platform, ["--files-from", "urls.txt", "--jobs", "1", "--connections", str(connections),
                                  "--quiet", "--stats", "--format", "json", "--xmp", "raw", "out.jsonl"], cwd=work)
    median = re.search(r"median ([0-9.]+) ms", result["stderr"])
    result["median_ms"] = float(median.group(1)) if median else None
    return result


def counted(entries):
    gets = [e for e in entries if e["request"].startswith("GET ")]
    return {"gets": len(gets), "heads": sum(e["request"].startswith("HEAD ") for e in entries),
            "bytes": sum(e["bytes"] for e in entries), "ranges": sorted(e["range"] for e in gets)}


def checked_url_run(args, platform, urls, connections, nginx, work):
    """url_run with the requests nginx logged; "failed" says why it cannot stand as a figure."""
    nginx.log()
    result = url_run(args, platform, urls, connections, work)
    result.update(counted(nginx.log()))
    if not result["failed"] and result["gets"] == 0:
        result["failed"] = wrong("no GET in nginx's log for %d documents" % len(urls))
    return result


def economy(args, nginx, work, failed):
    rows = {}
    for name in sorted(layouts.LAYOUTS):
        row = {}
        for platform in PLATFORMS:
            if platform in failed:
                row[platform] = {"failed": failed[platform]}
                continue
            result = checked_url_run(args, platform, [nginx.http + "/lay/" + name], 1, nginx, work)
            row[platform] = {"failed": result["failed"]} if result["failed"] else {
                key: result[key] for key in ("gets", "heads", "bytes", "ranges", "status")}
        rows[name] = row
        print("economy %-16s %s" % (name, ", ".join(
            "%s %s" % (p, shown(row[p], lambda c: "%d GETs" % c["gets"])) for p in PLATFORMS)), file=sys.stderr)
    return rows


def throughput(args, nginx, work, failed):
    cells = []
    for rtt in (0, 50):
        with servers.delayed_port(nginx, rtt, work) as port:
            runs = {p: [] for p in PLATFORMS}
            broken = dict(failed)
            for rep in range(args.repetitions):
                for platform in PLATFORMS:  # interleaved: a change in the machine's load falls on both
                    if platform in broken:
                        continue
                    urls = ["http://127.0.0.1:%d/many/r%d-%s-%d/%05d.tif" % (port, rtt, platform, rep, i)
                            for i in range(args.documents)]
                    result = checked_url_run(args, platform, urls, 32, nginx, work)
                    del result["ranges"]
                    if result["failed"]:
                        broken[platform] = result["failed"]
                    runs[platform].append(result)
            for platform in PLATFORMS:
                cell = {"rtt_ms": rtt, "connections": 32, "platform": platform, "documents": args.documents}
                if platform in broken:
                    cell["failed"] = broken[platform]
                    cells.append(cell)
                    print("rtt %2d ms, 32 connections, %-7s failed: %s" % (rtt, platform, cell["failed"]),
                          file=sys.stderr)
                    continue
                rates = [args.documents / r["seconds"] for r in runs[platform]]
                fetches = [r["median_ms"] for r in runs[platform] if r["median_ms"]]
                cell.update({"rate": statistics.median(rates), "rates": rates,
                             "gets_per_document": runs[platform][0]["gets"] / args.documents,
                             "median_ms": statistics.median(fetches) if fetches else None, "ok": True})
                cells.append(cell)
                print("rtt %2d ms, 32 connections, %-7s %6.0f documents/s" % (rtt, platform, cell["rate"]),
                      file=sys.stderr)
    return cells


def remove_catalogue(path):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def catalogue(args, work, failed):
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_corpus.py"), work, "--many", str(args.files)],
                   check=True, stdout=subprocess.DEVNULL)
    # A file changed within 2 s of being catalogued is read again next time: let the newest age.
    time.sleep(2.5)
    tree = "many-%d" % args.files
    samples = {(p, s): [] for p in PLATFORMS for s in ("first", "rescan")}
    counts = {}
    broken = {(p, s): failed[p] for p in failed for s in ("first", "rescan")}
    for round_ in range(args.rounds + 1):
        for platform in PLATFORMS:
            db = os.path.join(work, "%s.db" % platform)
            remove_catalogue(db)
            for step in ("first", "rescan"):
                if (platform, step) in broken:
                    continue
                result = run(args, platform, ["--catalog", "%s.db" % platform, "-i", tree, "--jobs", "2", "--stats",
                                              "--quiet"], cwd=work)
                if result["failed"]:
                    broken[(platform, step)] = result["failed"]
                    # A re-scan after a failed first scan would time another first scan.
                    broken.setdefault((platform, "rescan"), "its first scan failed")
                    continue
                if round_ > 0:
                    samples[(platform, step)].append(result)
                counts[(platform, step)] = [line for line in result["stderr"].splitlines()
                                            if line.startswith(("reads ", "catalogue: "))]
    rows = []
    for platform in PLATFORMS:
        row = {"platform": platform, "files": args.files}
        for step in ("first", "rescan"):
            if (platform, step) in broken:
                row[step] = {"failed": broken[(platform, step)]}
                continue
            runs = samples[(platform, step)]
            row[step] = {"wall": statistics.median(r["wall"] for r in runs),
                         "seconds": statistics.median(r["seconds"] for r in runs),
                         "status": sorted({r["status"] for r in runs}), "counts": counts[(platform, step)]}
        rows.append(row)
        print("catalogue %-7s first %s, rescan %s" % (
            platform, shown(row["first"], lambda r: "%.2f s (wall %.2f)" % (r["seconds"], r["wall"])),
            shown(row["rescan"], lambda r: "%.2f s (wall %.2f)" % (r["seconds"], r["wall"]))), file=sys.stderr)
    return rows


def imports(args):
    found = {}
    for program in (args.windows, os.path.join(os.path.dirname(args.windows), "ZUDOR.dll")):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program], capture_output=True, text=True,
                              check=True).stdout
        found[os.path.basename(program)] = re.findall(r"DLL Name: (\S+)", dump)
    return found


def wine_start(args):
    """What starting a program costs under Wine: sievecheck.exe --version, median of five; or
    why it does not start, which every Windows figure then shows instead of being measured."""
    times = []
    for _ in range(5):
        start = time.monotonic()
        try:
            done = subprocess.run(["wine", args.windows, "--version"], capture_output=True)
        except OSError as error:
            return {"failed": "could not start wine: %s" % error.strerror}
        if done.returncode != 0 or not done.stdout.strip():
            return {"failed": run_failure(done.returncode, done.stderr) or wrong("no version printed")}
        times.append(time.monotonic() - start)
    return statistics.median(times)


def page(results):
    lines = ["# Windows", "",
             "`sievecheck.exe` (mingw-w64, libcurl over Schannel and SQLite built from Debian's sources) under %s "
             "beside the Linux `sievecheck`, both the `RelWithDebInfo` builds of the presets, in one run on %s. "
             "Made by `bench/windows_bench.py`." % (results["wine"], results["machine"]), "",
             "## Requests per document", "",
             "Each layout of `tests/remote/layouts.py` read alone over plain HTTP from a loopback nginx; requests "
             "and bytes from its access log.", "",
             "| file | Linux | Windows | the same ranges |", "| --- | --- | --- | --- |"]
    show = lambda c: "%d GET%s, %.1f KB" % (c["gets"], "" if c["gets"] == 1 else "s", c["bytes"] / 1000)
    # A platform's run that failed shows its reason in place of its figures; nothing is
    # compared with it.
    ok = lambda *cells: all(not c.get("failed") for c in cells)
    for name, row in results["economy"].items():
        li, wi = row["linux"], row["windows"]
        lines.append("| %s | %s | %s | %s |" % (name, shown(li, show), shown(wi, show), (
            "yes" if li["ranges"] == wi["ranges"] else "no") if ok(li, wi) else "–"))
    lines += ["", "## Documents per second", "",
              "Copies of the two-page file (%d a run), 32 connections, one job, plain HTTP (HTTP/1.1 on both); the "
              "run's own time from `--stats`; median of %d runs, the platforms' runs interleaved." % (
                  results["documents"], results["repetitions"]), "",
              "| round trip | Linux | Windows | Windows / Linux | median fetch time, Linux | Windows |",
              "| --- | --- | --- | --- | --- | --- |"]
    cells = {(c["rtt_ms"], c["platform"]): c for c in results["throughput"]}
    rate = lambda c: "%.0f" % c["rate"]
    fetch = lambda c: "%.2f ms" % c["median_ms"] if c["median_ms"] else "–"
    for rtt in (0, 50):
        li, wi = cells[(rtt, "linux")], cells[(rtt, "windows")]
        lines.append("| %d ms | %s | %s | %s | %s | %s |" % (
            rtt, shown(li, rate), shown(wi, rate), "%.2f" % (wi["rate"] / li["rate"]) if ok(li, wi) else "–",
            shown(li, fetch), shown(wi, fetch)))
    lines += ["", "## Catalogue", "",
              "%s one-page files in folders of 1,000: the first scan into a new catalogue and the re-scan with "
              "nothing changed, two jobs; median of %d rounds after one that warms the caches. Seconds: the run's "
              "own (wall, with the program's start)." % ("{:,}".format(results["catalogue"][0]["files"]),
                                                         results["rounds"]), "",
              "| platform | first scan | re-scan | re-scan / first | re-scan's counts |", "| --- | --- | --- | --- | --- |"]
    seconds = lambda r: "%.2f (%.2f)" % (r["seconds"], r["wall"])
    for row in results["catalogue"]:
        first, rescan = row["first"], row["rescan"]
        lines.append("| %s | %s | %s | %s | %s |" % (
            row["platform"], shown(first, seconds), shown(rescan, seconds),
            "%.2f (%.2f)" % (rescan["seconds"] / first["seconds"], rescan["wall"] / first["wall"]) if ok(first, rescan)
            else "–", shown(rescan, lambda r: "; ".join(r["counts"]))))
    lines += ["", "## Imports", ""]
    for program, dlls in results["imports"].items():
        lines.append("- `%s`: %s" % (program, ", ".join(dlls)))
    wine = results["wine_start"]
    wine_text = "failed: %s" % wine["failed"] if isinstance(wine, dict) else "%.2f s" % wine
    economy = [c for r in results["economy"].values() for c in (r["linux"], r["windows"])]
    broken = sorted({c["failed"] for c in economy if c.get("failed")})
    economy_equal = all(r["linux"]["ranges"] == r["windows"]["ranges"] for r in results["economy"].values()
                        if ok(r["linux"], r["windows"]))
    windows_rescan = next(r for r in results["catalogue"] if r["platform"] == "windows")
    li50, wi50 = cells[(50, "linux")], cells[(50, "windows")]
    wf, wr = windows_rescan["first"], windows_rescan["rescan"]
    lines += ["", "## Targets", "",
              "- requests per document equal to Linux's for the four layouts: %s" % (
                  "not known: failed: %s" % "; ".join(broken) if broken else
                  "met, the same ranges" if economy_equal else "NOT met"),
              "- 50 ms, 32 connections: %s (target 0.8)" % (
                  "%.0f documents/s on Windows, %.2f of Linux's %.0f" % (
                      wi50["rate"], wi50["rate"] / li50["rate"], li50["rate"]) if ok(li50, wi50) else
                  "not known: " + "; ".join("%s failed: %s" % (c["platform"], c["failed"]) for c in (li50, wi50)
                                           if c.get("failed"))),
              "- the catalogue's re-scan of %s unchanged files under Wine: %s (target 0.3)" % (
                  "{:,}".format(windows_rescan["files"]),
                  "%.2f of its first scan, %.2f with Wine's start of %s in both" % (
                      wr["seconds"] / wf["seconds"], wr["wall"] / wf["wall"], wine_text) if ok(wf, wr) else
                  "not known: " + "; ".join("%s failed: %s" % (step, c["failed"]) for step, c in
                                           (("first scan", wf), ("re-scan", wr)) if c.get("failed"))),
              "- imports: `sievecheck.exe` %s; `ZUDOR.dll` %s" % (
                  ", ".join(results["imports"]["sievecheck.exe"]), ", ".join(results["imports"]["ZUDOR.dll"])), ""]
    lines += ["## Where Wine's time goes", "",
              "The requests are the same; what differs is the wait between them. libcurl's wait on Windows "
              "(`curl_multi_poll`) selects every connection's socket into an event, waits, then asks each socket "
              "what happened and takes it out of the event again: about three calls per connection at every wait. "
              "On Windows each is a call into the kernel; under Wine each is a round trip to the Wine server, which "
              "on a loaded machine costs a good part of a millisecond, so the fetch time's median carries Wine's "
              "cost at every wait and grows with the connections. The catalogue's re-scan is held to its first scan "
              "by the run's own time: Wine's start, %s here, is no part of either." % wine_text, ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--linux", default=os.path.join(ROOT, "build", "default", "bin", "sievecheck"))
    ap.add_argument("--windows", default=os.path.join(ROOT, "build", "windows", "bin", "sievecheck.exe"))
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--documents", type=int, default=512)
    ap.add_argument("--repetitions", type=int, default=3)
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    args.linux, args.windows = os.path.abspath(args.linux), os.path.abspath(args.windows)
    os.environ.setdefault("WINEPREFIX", os.path.join(ROOT, "build", "windows", "wine"))
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    os.environ.pop("DISPLAY", None)
    os.environ.pop("WAYLAND_DISPLAY", None)
    results = {"machine": "%d cores, load %.2f at the start" % (os.cpu_count(), os.getloadavg()[0]),
               "wine": subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip(),
               "documents": args.documents, "repetitions": args.repetitions, "rounds": args.rounds}
    # One Wine server for the whole run, kept until the end: one started by a program whose output
    # is captured would hold the pipe open after the program.
    os.makedirs(os.environ["WINEPREFIX"], exist_ok=True)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wineboot", "-i"], **quiet)
    try:
        # Each program is started once before anything is timed: one that does not start is
        # shown as failed in each of its cells, with the reason, and not run again.
        failed = {}
        reason, _ = trial([args.linux, "--version"])
        if reason:
            failed["linux"] = reason
        results["wine_start"] = wine_start(args)
        if isinstance(results["wine_start"], dict):
            failed["windows"] = results["wine_start"]["failed"]
        with tempfile.TemporaryDirectory(prefix="zudor-windows-bench-") as work:
            root = os.path.join(work, "root")
            layouts.make_all(os.path.join(root, "lay"))
            with servers.Nginx(root, os.path.join(work, "nginx"), many_file="lay/two-pages.tif") as nginx:
                results["economy"] = economy(args, nginx, work, failed)
                results["throughput"] = throughput(args, nginx, work, failed)
            results["catalogue"] = catalogue(args, work, failed)
    finally:
        subprocess.run(["wineserver", "-k"], **quiet)
    results["imports"] = imports(args)
    results["machine"] += ", %.2f at the end" % os.getloadavg()[0]
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "windows.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.out, "windows.md"), "w") as f:
        f.write(page(results))
    print("written: %s" % os.path.join(args.out, "windows.md"), file=sys.stderr)


if __name__ == "__main__":
    main()
