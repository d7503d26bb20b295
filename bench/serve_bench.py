#!/usr/bin/env python3
"""zudor-serve under load, on loopback: documents a second with 64 connections posting every
file of the bench corpus, against `sievecheck --isolate` over the same files in the same run,
with the latency's median and 99th percentile; then the same load beside 1,000 idle
connections; and the service's resident memory after every round and over 100,000 requests.

    bench/serve_bench.py --bin build/bench/bin --corpus bench/work/corpus

The load comes from this script's own threads (one keep-alive connection each), which share
the machine's cores with the service: on two cores the figures are the service's and its
client's together. Rounds are interleaved, medians reported. Writes results/serve.md and
results/serve.json (ZUDOR_BENCH_RESULTS names another folder).
"""
import argparse
import http.client
import json
import os
import re
import resource
import select
import signal
import socket
import statistics
import subprocess
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))


def corpus_files(root):
    paths = []
    for folder, _, names in os.walk(root):
        paths += [os.path.join(folder, name) for name in names]
    return sorted(paths)


def start_server(binary, jobs, connections):
    server = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--max-documents", str(jobs), "--queue", "256",
                               "--connections", str(connections)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([server.stdout], [], [], 60)
    found = re.match(rb"zudor-serve: listening on http://127\.0\.0\.1:(\d+)", server.stdout.readline() if ready else b"")
    if not found:
        server.kill()
        raise SystemExit("zudor-serve did not start")
    return server, int(found.group(1))


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M).group(1))


def load(port, documents, connections):
    """Posts every document once over connections keep-alive connections: (seconds, latencies,
    failures)."""
    lock = threading.Lock()
    order = iter(range(len(documents)))
    latencies, failures = [], []

    def client():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        mine = []
        while True:
            with lock:
                index = next(order, None)
            if index is None:
                break
            name, data = documents[index]
            start = time.perf_counter()
            connection.request("POST", "/v1/record?name=" + urllib.parse.quote(name, safe=""), body=data)
            answer = connection.getresponse()
            answer.read()
            mine.append(time.perf_counter() - start)
            if answer.status != 200:
                failures.append(answer.status)
        connection.close()
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=client) for _ in range(connections)]
    before = os.times()
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.perf_counter() - start
    after = os.times()
    CLIENT_CPU.append((after.user - before.user + after.system - before.system) / seconds)
    return seconds, latencies, failures


CLIENT_CPU = []  # the cores this script's threads kept busy during each load


def sievecheck_run(binary, corpus, jobs):
    start = time.perf_counter()
    subprocess.run([binary, "--isolate", "-i", corpus, "--format", "json", "--quiet", "-j", str(jobs)],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the folder of zudor-serve and sievecheck")
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--idle", type=int, default=1000, help="idle connections held beside the load")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--soak", type=int, default=100000, help="requests of the memory run after the rounds")
    parser.add_argument("--jobs", type=int, default=os.cpu_count(), help="sievecheck's --jobs")
    parser.add_argument("--max-documents", type=int, default=None, help="the service's (default: --jobs)")
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the server inherits it too
    paths = corpus_files(args.corpus)
    documents = [(os.path.relpath(p, args.corpus), open(p, "rb").read()) for p in paths]
    service_jobs = args.max_documents or args.jobs
    server, port = start_server(os.path.join(args.bin, "zudor-serve"), service_jobs, args.connections + args.idle + 64)
    loadavg_before = open("/proc/loadavg").read().split()[:3]
    rows = {"service": [], "service beside idle connections": [], "sievecheck --isolate": []}
    latencies = {key: [] for key in rows}
    memory = [resident_kib(server.pid)]
    failures = []
    try:
        load(port, documents[:200], args.connections)  # warms the caches and the readers
        memory.append(resident_kib(server.pid))
        for _ in range(args.rounds):
            seconds, waited, failed = load(port, documents, args.connections)
            rows["service"].append(len(documents) / seconds)
            latencies["service"] += waited
            failures += failed
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(args.idle)]
            seconds, waited, failed = load(port, documents, args.connections)
            for s in idle:
                s.close()
            rows["service beside idle connections"].append(len(documents) / seconds)
            latencies["service beside idle connections"] += waited
            failures += failed
            rows["sievecheck --isolate"].append(
                len(documents) / sievecheck_run(os.path.join(args.bin, "sievecheck"), args.corpus, args.jobs))
            memory.append(resident_kib(server.pid))
        # The memory run: the corpus again and again, the resident set after every pass.
        soaked = []
        for _ in range(max(0, args.soak) // len(documents)):
            failures += load(port, documents, args.connections)[2]
            soaked.append(resident_kib(server.pid))
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=120)
    loadavg_after = open("/proc/loadavg").read().split()[:3]

    result = {"documents": len(documents), "connections": args.connections, "idle": args.idle, "jobs": args.jobs,
              "max_documents": service_jobs,
              "rounds": args.rounds, "failures": failures, "resident_kib": memory, "soak_resident_kib": soaked,
              "loadavg": [loadavg_before, loadavg_after], "rows": {}}
    base = statistics.median(rows["sievecheck --isolate"])
    lines = ["# zudor-serve under load", "",
             "Written by `bench/serve_bench.py`. %d documents of the bench corpus posted over %d keep-alive "
             "connections by the script's own threads (which share the cores with the service), `--max-documents "
             "%d`, against `sievecheck --isolate -j %d` over the same files; %d interleaved rounds, medians. Load "
             "average before and after: %s / %s." % (len(documents), args.connections, service_jobs, args.jobs,
                                                     args.rounds, " ".join(loadavg_before), " ".join(loadavg_after)),
             "", "| run | documents/s | × sievecheck --isolate | p50 ms | p99 ms |", "|---|---|---|---|---|"]
    for key, rates in rows.items():
        rate = statistics.median(rates)
        row = {"documents_per_s": rate, "ratio": rate / base}
        cells = ["", ""]
        if latencies[key]:
            row["p50_ms"] = quantile(latencies[key], 0.5) * 1e3
            row["p99_ms"] = quantile(latencies[key], 0.99) * 1e3
            cells = ["%.1f" % row["p50_ms"], "%.1f" % row["p99_ms"]]
        result["rows"][key] = row
        name = key if key != "service beside idle connections" else "service beside %d idle connections" % args.idle
        lines.append("| %s | %.0f | %.2f | %s |" % (name, rate, rate / base, " | ".join(cells)))
    lines += ["", "Failed requests: %d. The service's resident memory (KiB) at start, after the warm-up and after "
              "each round: %s." % (len(failures), ", ".join(str(k) for k in memory))]
    lines += ["", "The load's own threads kept %.2f of a core busy on median, which the service's readers did not have."
              % statistics.median(CLIENT_CPU)]
    result["client_cores"] = statistics.median(CLIENT_CPU)
    if soaked:
        lines += ["", "Over %d more requests (the corpus posted %d times), its resident memory after each pass: first "
                  "%d KiB, last %d KiB, largest %d KiB." % (len(soaked) * len(documents), len(soaked), soaked[0],
                                                           soaked[-1], max(soaked))]
    lines.append("")
    out = os.environ.get("ZUDOR_BENCH_RESULTS", os.path.join(HERE, "results"))
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "serve.json"), "w") as f:
        json.dump(result, f, indent=1)
    with open(os.path.join(out, "serve.md"), "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
