#!/usr/bin/python3
"""Turns the figures that bench/measure.py wrote into bench/results/latest.md and its charts.

  report.py FIGURES.json RESULTS_DIR"""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

MIB = 1024


def ms(seconds):
    return "%.1f" % (seconds * 1e3)


def ns(seconds):
    return "%.0f" % (seconds * 1e9) if seconds * 1e9 >= 10 else "%.1f" % (seconds * 1e9)


def us(seconds):
    return "%.2f" % (seconds * 1e6)


def tools_by_name(figures):
    return {t["name"]: t for t in figures["whole_process"]}


def in_process(figures, side, name):
    return figures["in_process"]["figures"].get("%s/%s" % (side, name), {})


def targets(figures):
    tools = tools_by_name(figures)
    cores = figures["machine"]["cores"]
    raw1 = tools["sievecheck --xmp raw --jobs 1"]["wall"]
    parsed1 = tools["sievecheck --jobs 1"]["wall"]
    rows = []

    def row(what, figure, met):
        rows.append((what, figure, "yes" if met else "**no**"))

    ratio = tools["tiffinfo"]["wall"] / raw1
    row("`--xmp raw --jobs 1` at least 4 times faster than `tiffinfo`", "%.1f times" % ratio, ratio >= 4)
    ratio = raw1 / tools["I/O floor"]["wall"]
    row("`--xmp raw --jobs 1` within 3 times of the I/O floor", "%.2f times the floor" % ratio, ratio <= 3)
    for xmp, one in (("raw", raw1), ("parsed", parsed1)):
        name = "sievecheck --xmp raw --jobs %d" % cores if xmp == "raw" else "sievecheck --jobs %d" % cores
        if cores > 1 and name in tools:
            ratio = one / tools[name]["wall"]
            row("`--jobs %d` at least 1.8 times the throughput of `--jobs 1`, %s XMP" % (cores, xmp),
                "%.2f times" % ratio, ratio >= 1.8)
    ratio = parsed1 / raw1
    row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` (corpus)", "%.2f times" % ratio, ratio <= 1.3)
    heavy = {r["name"]: r for r in figures.get("xmp_heavy", {}).get("runs", [])}
    if heavy:
        ratio = heavy["sievecheck --xmp parsed --jobs 1"]["wall"] / heavy["sievecheck --xmp raw --jobs 1"]["wall"]
        row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` (XMP-heavy corpus)", "%.2f times" % ratio, ratio <= 1.3)
    many = {(r["files"], r["name"]): r for r in figures.get("file_counts", [])}
    if (100000, "sievecheck --xmp raw --jobs 1") in many:
        ratio = many[100000, "sievecheck --xmp parsed --jobs 1"]["wall"] / many[100000, "sievecheck --xmp raw --jobs 1"]["wall"]
        row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` over 100,000 one-page files", "%.2f times" % ratio,
            ratio <= 1.3)
        name = "sievecheck --xmp parsed --jobs %d" % cores
        if cores > 1 and (100000, name) in many:
            ratio = many[100000, "sievecheck --xmp parsed --jobs 1"]["wall"] / many[100000, name]["wall"]
            row("parsed `--jobs %d` at least 1.6 times the throughput of `--jobs 1` over 100,000 one-page files"
                % cores, "%.2f times" % ratio, ratio >= 1.6)
    if (100000, "I/O floor") in many:
        ratio = many[100000, "sievecheck --xmp raw --jobs 1"]["wall"] / many[100000, "I/O floor"]["wall"]
        row("`--xmp raw --jobs 1` over 100,000 one-page files within 2 times of the I/O floor",
            "%.2f times the floor" % ratio, ratio <= 2)
    peaks = {}
    for (n, name), r in many.items():
        if name.startswith("sievecheck"):
            peaks.setdefault(n, []).append(r["peak_kib"])
    if peaks:
        top = max(max(p) for p in peaks.values())
        spread = max(max(p) for p in peaks.values()) - min(max(p) for p in peaks.values())
        row("peak memory over %s one-page files at most 32 MiB, and within 4 MiB across the counts"
            % " / ".join("{:,}".format(n) for n in sorted(peaks)),
            "%s MiB; spread %.1f MiB" % (" / ".join("%.1f" % (max(peaks[n]) / MIB) for n in sorted(peaks)),
                                         spread / MIB), top <= 32 * MIB and spread <= 4 * MIB)
    ratio = tools["exiftool -fast2 -j"]["wall"] / parsed1
    row("parsed XMP, `--jobs 1`, at least 20 times faster than `exiftool`", "%.0f times" % ratio, ratio >= 20)
    z = in_process(figures, "zudor", "corpus").get("median", {})
    t = in_process(figures, "libtiff", "corpus").get("median", {})
    if z and t:
        ratio = t["s_per_doc"] / z["s_per_doc"]
        row("in process, at least 5 times faster than libtiff per document",
            "%.1f times (%s µs against %s µs)" % (ratio, us(z["s_per_doc"]), us(t["s_per_doc"])), ratio >= 5)
    peak = max(tools[n]["peak_kib"] for n in tools if n.startswith("sievecheck"))
    row("peak memory of `sievecheck` under 32 MiB (corpus, every mode, 1 and %d jobs)" % cores,
        "%.1f MiB" % (peak / MIB), peak < 32 * MIB)
    for kind, key, unit, what in (("chain", "s_per_ifd", "IFD", "IFDs"), ("wide", "s_per_entry", "entry", "entries")):
        series = scaling_series(figures, kind, key=key)
        if len(series) < 2:
            continue
        rise, noise = growth(series), max(s[2] for s in series)
        allowed = 1 + max(0.10, 3 * noise)
        row("time per %s flat from %d to %d %s" % (unit, series[0][0], series[-1][0], what),
            "%s ns to %s ns; largest rise over any smaller file x%.2f (allowed x%.2f: noise, cv up to %.1f%%)"
            % (ns(series[0][1]), ns(series[-1][1]), rise, allowed, noise * 100), rise <= allowed)
    eco = figures["economy"]
    row("reads, seeks and bytes per document equal to the layout's minimum",
        "%d of %d documents differ" % (eco["mismatch_count"], sum(g["documents"] for g in eco["groups"].values())),
        eco["mismatch_count"] == 0)
    return rows


def growth(series):
    """The largest factor by which a larger file costs more per unit than any smaller one."""
    worst, lowest = 1.0, series[0][1]
    for _, value, _ in series[1:]:
        worst = max(worst, value / lowest)
        lowest = min(lowest, value)
    return worst


def scaling_series(figures, kind, side="zudor", key="s_per_ifd"):
    series = []
    for name, entry in figures["in_process"]["figures"].items():
        prefix = "%s/%s-" % (side, kind)
        if name.startswith(prefix) and "median" in entry:
            n = int(name[len(prefix):])
            series.append((n, entry["median"][key], entry.get("cv", {}).get(key, 0.0)))
    return sorted(series)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


def whole_process_section(figures):
    tools = tools_by_name(figures)
    raw1 = tools["sievecheck --xmp raw --jobs 1"]["wall"]
    parsed1 = tools["sievecheck --jobs 1"]["wall"]
    rows = []
    for t in figures["whole_process"]:
        rows.append(("`%s`" % t["name"], t["xmp"], ms(t["wall"]), "%s–%s" % (ms(t["wall_min"]), ms(t["wall_max"])),
                     ms(t["cpu"]), "%.1f" % (t["peak_kib"] / MIB), "%.2f" % (t["wall"] / raw1),
                     "%.2f" % (t["wall"] / parsed1), ",".join(map(str, t["status"]))))
    return table(["program", "XMP", "median ms", "range ms", "CPU ms", "peak MiB", "× raw, 1 job",
                  "× parsed, 1 job", "exit"], rows)


def xmp_heavy_section(figures):
    heavy = figures.get("xmp_heavy")
    if not heavy:
        return "Not measured."
    c = heavy["corpus"]
    raw = next(r["wall"] for r in heavy["runs"] if "raw" in r["name"])
    rows = [("`%s`" % r["name"], ms(r["wall"]), "%s–%s" % (ms(r["wall_min"]), ms(r["wall_max"])), ms(r["cpu"]),
             "%.2f" % (r["wall"] / raw), ",".join(map(str, r["status"]))) for r in heavy["runs"]]
    return ("%d files, %d with a packet; %.1f MB of XMP, %.1f KB a packet on average.\n\n" % (
        c["files"], c["packets"], c["xmp_bytes"] / 1e6, c["xmp_bytes"] / max(c["packets"], 1) / 1e3) +
        table(["program", "median ms", "range ms", "CPU ms", "× raw", "exit"], rows))


def in_process_section(figures):
    rows = []
    for name, label in (("corpus", "whole corpus"), ("small", "2,000 small files"), ("pages", "2,000-page file")):
        z = in_process(figures, "zudor", name).get("median")
        t = in_process(figures, "libtiff", name).get("median")
        if not z or not t:
            continue
        rows.append((label, int(z["docs"]), int(z["ifds"]), us(z["s_per_doc"]), us(t["s_per_doc"]),
                     "%.1f" % (t["s_per_doc"] / z["s_per_doc"]), ns(z["s_per_ifd"]), ns(t["s_per_ifd"]),
                     "%.1f" % (t["s_per_ifd"] / z["s_per_ifd"])))
    return table(["documents", "files", "IFDs", "ZUDOR µs/doc", "libtiff µs/doc", "ratio",
                  "ZUDOR ns/IFD", "libtiff ns/IFD", "ratio"], rows)


def scaling_section(figures):
    whole = {row["file"][:-4]: row for row in figures.get("sievecheck_scaling", [])}

    def libtiff(name, key):
        entry = in_process(figures, "libtiff", name)
        if "error" in entry:
            return "refused"
        return ns(entry["median"][key]) if "median" in entry else "–"

    rows = []
    for n, value, cv in scaling_series(figures, "chain"):
        w = whole.get("chain-%d" % n, {}).get("raw", {})
        rows.append(("chain of %d IFDs" % n, ns(value), "%.1f%%" % (cv * 100), libtiff("chain-%d" % n, "s_per_ifd"),
                     ms(w["wall"]) if w else "–", "%.1f" % (w["peak_kib"] / MIB) if w else "–"))
    chains = table(["file", "ZUDOR ns/IFD", "cv", "libtiff ns/IFD", "sievecheck ms", "sievecheck MiB"], rows)
    rows = []
    for n, value, cv in scaling_series(figures, "wide", key="s_per_entry"):
        w = whole.get("wide-%d" % n, {}).get("raw", {})
        rows.append(("one IFD of %d entries" % n, ns(value), "%.1f%%" % (cv * 100),
                     libtiff("wide-%d" % n, "s_per_entry"), ms(w["wall"]) if w else "–",
                     "%.1f" % (w["peak_kib"] / MIB) if w else "–"))
    wide = table(["file", "ZUDOR ns/entry", "cv", "libtiff ns/entry", "sievecheck ms", "sievecheck MiB"], rows)
    return chains, wide


def file_counts_section(figures):
    rows = figures.get("file_counts", [])
    floors = {r["files"]: r["wall"] for r in rows if r["name"] == "I/O floor"}
    ones = {(r["files"], r["name"].split(" --jobs")[0]): r["wall"] for r in rows if r["name"].endswith("--jobs 1")}
    out = []
    for r in rows:
        one = ones.get((r["files"], r["name"].split(" --jobs")[0]))
        out.append(("{:,}".format(r["files"]), "`%s`" % r["name"], ms(r["wall"]), ms(r["cpu"]),
                    "%.1f" % (r["peak_kib"] / MIB), "%.2f" % (r["wall"] / floors[r["files"]]),
                    "%.2f" % (one / r["wall"]) if one and r["name"] != "I/O floor" else "–"))
    return table(["files", "program", "median ms", "CPU ms", "peak MiB", "× floor", "throughput × 1 job"], out)


def economy_section(figures):
    eco = figures["economy"]
    rows = []
    for name, g in eco["groups"].items():
        m, n = g["measured"], g["minimum"]
        same = all(m[k] == n[k] for k in m)
        docs = g["documents"]
        rows.append((name, docs, g["ifds"], "%d / %d" % (m["reads"], n["reads"]),
                     "%d / %d" % (m["seeks"], n["seeks"]), "%d / %d" % (m["bytes"], n["bytes"]),
                     "%.1f / %.1f / %.0f" % (m["reads"] / docs, m["seeks"] / docs, m["bytes"] / docs),
                     g["contiguous"], "yes" if same and g["incomplete"] == 0 else "**no**"))
    text = table(["files", "documents", "IFDs", "reads measured / minimum", "seeks", "bytes",
                  "per document: reads / seeks / bytes", "seeks to where the stream stood", "equal"], rows)
    totals = eco.get("corpus_run_totals")
    if totals:
        text += "\n\nOne run over the whole corpus reports reads %d, seeks %d, bytes read %d." % (
            totals["reads"], totals["seeks"], totals["bytes"])
    for miss in eco["mismatches"]:
        text += "\n- differs: `%s` measured %s, minimum %s" % (miss["file"], miss["measured"], miss["minimum"])
    return text


def chart_whole_process(figures, path):
    tools = figures["whole_process"]
    raw1 = tools_by_name(figures)["sievecheck --xmp raw --jobs 1"]["wall"]
    names = [t["name"] for t in tools][::-1]
    walls = [t["wall"] * 1e3 for t in tools][::-1]
    colours = ["#2b6cb0" if n.startswith("sievecheck") else "#999999" if n == "I/O floor" else "#dd6b20"
               for n in names]
    fig, ax = plt.subplots(figsize=(9, 4.8))
    ax.barh(names, walls, color=colours)
    ax.set_xscale("log")
    ax.set_xlabel("median wall time over the %d-file corpus, ms (log scale)" % figures["corpus"]["files"])
    for i, w in enumerate(walls):
        ax.text(w * 1.05, i, "%.0f ms  (%.1f×)" % (w, w / (raw1 * 1e3)), va="center", fontsize=8)
    ax.set_xlim(right=max(walls) * 8)
    ax.set_title("Whole process, page cache warm; × = relative to sievecheck --xmp raw --jobs 1")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def chart_scaling(figures, path):
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.2))
    for ax, kind, key, unit in ((left, "chain", "s_per_ifd", "IFD"), (right, "wide", "s_per_entry", "entry")):
        for side, colour in (("zudor", "#2b6cb0"), ("libtiff", "#dd6b20")):
            series = scaling_series(figures, kind, side, key)
            if series:
                ax.plot([s[0] for s in series], [s[1] * 1e9 for s in series], "o-", color=colour,
                        label="ZUDOR" if side == "zudor" else "libtiff")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("IFDs in the chain" if kind == "chain" else "entries in the IFD")
        ax.set_ylabel("ns per %s (log scale)" % unit)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    left.set_title("Time per IFD over chains")
    right.set_title("Time per entry over one wide IFD")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    figures_path, results = sys.argv[1], sys.argv[2]
    with open(figures_path) as f:
        figures = json.load(f)
    os.makedirs(results, exist_ok=True)
    chart_whole_process(figures, os.path.join(results, "whole_process.png"))
    chart_scaling(figures, os.path.join(results, "scaling.png"))
    m, c = figures["machine"], figures["corpus"]
    chains, wide = scaling_section(figures)
    peers = ", ".join("%s %s" % kv for kv in m["peers"].items())
    page = """# Benchmark results

Run of {started}. Written by `bench/run`; `bench/README.md` explains how to read it.

Machine: {cpu}, {cores} cores, {memory}; {system}, kernel {kernel}; {compiler}.
Load average before and after: {load} / {load_after}. Peers: {peers}.

Corpus: {files} files, {mib:.1f} MiB, {ifds} IFDs, {packets} XMP packets (2,000 files of one to three
pages and one file of 2,000 pages), made by `bench/make_corpus.py`.

## Targets

{targets}

## Whole process

Every program reads the whole corpus once per round, from the page cache, writing its output to
a file; {runs} timed rounds after one warm-up, interleaved. Peak memory is the largest resident
set of one run.

{whole}

![whole process](whole_process.png)

## XMP-heavy corpus

`make_corpus.py --xmp-heavy`: 2,000 files of one to three pages, about 60% with a packet of 5 to
50 KB as photo workflows write them (edit history, keywords, titles in several languages, face
regions, development settings, 2 KB of padding). What listing the packets costs over copying
them; {runs} timed rounds after one warm-up, interleaved.

{heavy}

## Many files

One-page files in folders of 1,000, made afresh in a temporary folder for each count; the I/O
floor opens, reads and closes each one. Medians of the timed rounds; peak memory of one more run.

{many}

## In process

Documents held in memory. ZUDOR: the module through a memory stream and the reference host
(raw XMP: the host keeps a copy of each packet and parses nothing). libtiff: `TIFFClientOpen`
on the same bytes, every directory read, the eleven tags and the XMP packet fetched with
`TIFFGetField`. Medians of {reps} repetitions.

{inproc}

## Scaling

{chains}

{wide}

![scaling](scaling.png)

## I/O economy

What `sievecheck --stats` reports for each document, against the least the layout allows: one
read for the header, and per IFD one each for its entry count, its entries and its next offset,
plus one read for every ASCII value or XMP packet longer than 4 bytes; a seek before every one
of those reads but the header and the entry array.

{economy}
""".format(started=figures["started"], targets=table(["target", "figure", "met"], targets(figures)),
           whole=whole_process_section(figures), inproc=in_process_section(figures), chains=chains, wide=wide,
           economy=economy_section(figures), many=file_counts_section(figures), heavy=xmp_heavy_section(figures), runs=figures["whole_process"][0]["runs"],
           reps=figures.get("repetitions", 3), mib=c["bytes"] / 2 ** 20, peers=peers,
           **{k: v for k, v in m.items() if k != "peers"}, **c)
    with open(os.path.join(results, "latest.md"), "w") as f:
        f.write(page)


if __name__ == "__main__":
    main()
