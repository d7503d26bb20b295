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


def measured(row):
    """row where it holds figures; None where it failed or is missing."""
    return row if row is not None and not row.get("failed") else None


def failures(*rows):
    """What a figure made of rows cannot be computed for: the failed ones, with their reasons."""
    return "; ".join("`%s` failed: %s" % (r["name"], r["failed"]) for r in rows if r is not None and r.get("failed"))


def in_process(figures, side, name):
    return figures["in_process"]["figures"].get("%s/%s" % (side, name), {})


def in_process_failure(figures, name):
    """Why the in-process figures of name are missing: the program or a reader failed."""
    if figures["in_process"].get("failed"):
        return "the in-process benchmark failed: %s" % figures["in_process"]["failed"]
    return "; ".join("%s failed: %s" % ("ZUDOR" if side == "zudor" else side, in_process(figures, side, name)["error"])
                     for side in ("zudor", "libtiff") if "error" in in_process(figures, side, name))


def targets(figures):
    tools = tools_by_name(figures)
    cores = figures["machine"]["cores"]
    raw1 = tools["sievecheck --xmp raw --jobs 1"]
    parsed1 = tools["sievecheck --jobs 1"]
    rows = []

    def row(what, figure, met):
        rows.append((what, figure, "yes" if met else "**no**"))

    def ratio_row(what, top, bottom, figure, met):
        """A target on top's median over bottom's, not computed where either failed."""
        if measured(top) is None or measured(bottom) is None:
            rows.append((what, "not computed: " + failures(top, bottom), "**not known**"))
            return
        ratio = top["wall"] / bottom["wall"]
        row(what, figure % ratio, met(ratio))

    ratio_row("`--xmp raw --jobs 1` at least 4 times faster than `tiffinfo`", tools["tiffinfo"], raw1,
              "%.1f times", lambda r: r >= 4)
    ratio_row("`--xmp raw --jobs 1` within 3 times of the I/O floor", raw1, tools["I/O floor"],
              "%.2f times the floor", lambda r: r <= 3)
    for xmp, one in (("raw", raw1), ("parsed", parsed1)):
        name = "sievecheck --xmp raw --jobs %d" % cores if xmp == "raw" else "sievecheck --jobs %d" % cores
        if cores > 1 and name in tools:
            ratio_row("`--jobs %d` at least 1.8 times the throughput of `--jobs 1`, %s XMP" % (cores, xmp),
                      one, tools[name], "%.2f times", lambda r: r >= 1.8)
    ratio_row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` (corpus)", parsed1, raw1, "%.2f times",
              lambda r: r <= 1.3)
    heavy = {r["name"]: r for r in figures.get("xmp_heavy", {}).get("runs", [])}
    if heavy:
        ratio_row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` (XMP-heavy corpus)",
                  heavy["sievecheck --xmp parsed --jobs 1"], heavy["sievecheck --xmp raw --jobs 1"], "%.2f times",
                  lambda r: r <= 1.3)
    many = {(r["files"], r["name"]): r for r in figures.get("file_counts", [])}
    if (100000, "sievecheck --xmp raw --jobs 1") in many:
        ratio_row("parsed `--jobs 1` within 1.3 times raw `--jobs 1` over 100,000 one-page files",
                  many[100000, "sievecheck --xmp parsed --jobs 1"], many[100000, "sievecheck --xmp raw --jobs 1"],
                  "%.2f times", lambda r: r <= 1.3)
        name = "sievecheck --xmp parsed --jobs %d" % cores
        if cores > 1 and (100000, name) in many:
            ratio_row("parsed `--jobs %d` at least 1.6 times the throughput of `--jobs 1` over 100,000 one-page "
                      "files" % cores, many[100000, "sievecheck --xmp parsed --jobs 1"], many[100000, name],
                      "%.2f times", lambda r: r >= 1.6)
    if (100000, "I/O floor") in many:
        ratio_row("`--xmp raw --jobs 1` over 100,000 one-page files within 2 times of the I/O floor",
                  many[100000, "sievecheck --xmp raw --jobs 1"], many[100000, "I/O floor"],
                  "%.2f times the floor", lambda r: r <= 2)
    small = {r["name"]: r for r in figures.get("small_files", {}).get("rows", [])}
    if cores > 1 and small:
        for xmp in ("raw", "parsed"):
            ratio_row("`--jobs %d` at least 1.75 times the throughput of `--jobs 1` on the corpus's small files, "
                      "%s XMP" % (cores, xmp), small["sievecheck --xmp %s --jobs 1" % xmp],
                      small["sievecheck --xmp %s --jobs %d" % (xmp, cores)], "%.2f times", lambda r: r >= 1.75)
    for n in (100000, 1000000):
        if (n, "walking floor") not in many:
            continue
        ratio_row("`--xmp raw --jobs 1` over {:,} one-page files within 1.3 times the walking floor".format(n),
                  many[n, "sievecheck --xmp raw --jobs 1"], many[n, "walking floor"], "%.2f times",
                  lambda r: r <= 1.3)
        name = "sievecheck --xmp raw --jobs %d" % cores
        if cores > 1 and (n, name) in many:
            ratio_row("`--xmp raw --jobs {}` over {:,} one-page files within 1.1 times the two-thread walking floor"
                      .format(cores, n), many[n, name], many[n, "walking floor, 2 threads"], "%.2f times",
                      lambda r: r <= 1.1)
    peaks = {}
    for (n, name), r in many.items():
        if name.startswith("sievecheck") and measured(r):
            peaks.setdefault(n, []).append(r["peak_kib"])
    if peaks:
        top = max(max(p) for p in peaks.values())
        spread = max(max(p) for p in peaks.values()) - min(max(p) for p in peaks.values())
        row("peak memory over %s one-page files at most 32 MiB, and within 4 MiB across the counts"
            % " / ".join("{:,}".format(n) for n in sorted(peaks)),
            "%s MiB; spread %.1f MiB" % (" / ".join("%.1f" % (max(peaks[n]) / MIB) for n in sorted(peaks)),
                                         spread / MIB), top <= 32 * MIB and spread <= 4 * MIB)
    ratio_row("parsed XMP, `--jobs 1`, at least 20 times faster than `exiftool`", tools["exiftool -fast2 -j"],
              parsed1, "%.0f times", lambda r: r >= 20)
    what = "in process, at least 5 times faster than libtiff per document"
    broken = in_process_failure(figures, "corpus")
    z = in_process(figures, "zudor", "corpus").get("median", {})
    t = in_process(figures, "libtiff", "corpus").get("median", {})
    if broken:
        rows.append((what, "not computed: " + broken, "**not known**"))
    elif z and t:
        ratio = t["s_per_doc"] / z["s_per_doc"]
        row(what, "%.1f times (%s µs against %s µs)" % (ratio, us(z["s_per_doc"]), us(t["s_per_doc"])), ratio >= 5)
    peaks = [tools[n]["peak_kib"] for n in tools if n.startswith("sievecheck") and measured(tools[n])]
    if peaks:
        row("peak memory of `sievecheck` under 32 MiB (corpus, every mode, 1 and %d jobs)" % cores,
            "%.1f MiB" % (max(peaks) / MIB), max(peaks) < 32 * MIB)
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


def times(row, base, digits=2):
    """row's median over base's; "–" where either failed: a failed run has no time to compare."""
    if measured(row) is None or measured(base) is None:
        return "–"
    return "%.*f" % (digits, row["wall"] / base["wall"])


def failed_cells(row, count):
    """A failed row's cells: the reason in the first figure's, "–" in the other count - 1."""
    return ("failed: %s" % row["failed"],) + ("–",) * (count - 1)


def whole_process_section(figures):
    tools = tools_by_name(figures)
    raw1 = tools["sievecheck --xmp raw --jobs 1"]
    parsed1 = tools["sievecheck --jobs 1"]
    rows = []
    for t in figures["whole_process"]:
        if t.get("failed"):
            rows.append(("`%s`" % t["name"], t["xmp"]) + failed_cells(t, 7))
            continue
        rows.append(("`%s`" % t["name"], t["xmp"], ms(t["wall"]), "%s–%s" % (ms(t["wall_min"]), ms(t["wall_max"])),
                     ms(t["cpu"]), "%.1f" % (t["peak_kib"] / MIB), times(t, raw1), times(t, parsed1),
                     ",".join(map(str, t["status"]))))
    return table(["program", "XMP", "median ms", "range ms", "CPU ms", "peak MiB", "× raw, 1 job",
                  "× parsed, 1 job", "exit"], rows)


def xmp_heavy_section(figures):
    heavy = figures.get("xmp_heavy")
    if not heavy:
        return "Not measured."
    c = heavy["corpus"]
    raw = next(r for r in heavy["runs"] if "raw" in r["name"])
    rows = [("`%s`" % r["name"],) + failed_cells(r, 5) if r.get("failed") else
            ("`%s`" % r["name"], ms(r["wall"]), "%s–%s" % (ms(r["wall_min"]), ms(r["wall_max"])), ms(r["cpu"]),
             times(r, raw), ",".join(map(str, r["status"]))) for r in heavy["runs"]]
    return ("%d files, %d with a packet; %.1f MB of XMP, %.1f KB a packet on average.\n\n" % (
        c["files"], c["packets"], c["xmp_bytes"] / 1e6, c["xmp_bytes"] / max(c["packets"], 1) / 1e3) +
        table(["program", "median ms", "range ms", "CPU ms", "× raw", "exit"], rows))


def in_process_section(figures):
    if figures["in_process"].get("failed"):
        return "failed: %s" % figures["in_process"]["failed"]
    rows = []
    for name, label in (("corpus", "whole corpus"), ("small", "2,000 small files"), ("pages", "2,000-page file")):
        z = in_process(figures, "zudor", name).get("median")
        t = in_process(figures, "libtiff", name).get("median")
        if not z or not t:
            # A reader that failed shows so in its cells, and no ratio is taken against it.
            errors = {side: in_process(figures, side, name).get("error") for side in ("zudor", "libtiff")}
            if any(errors.values()):
                def cell(side, figure, key, unit):
                    return "failed: %s" % errors[side] if errors[side] else unit(figure[key]) if figure else "–"
                known = z or t or {}
                rows.append((label, int(known.get("docs", 0)) or "–", int(known.get("ifds", 0)) or "–",
                             cell("zudor", z, "s_per_doc", us), cell("libtiff", t, "s_per_doc", us), "–",
                             cell("zudor", z, "s_per_ifd", ns), cell("libtiff", t, "s_per_ifd", ns), "–"))
            continue
        rows.append((label, int(z["docs"]), int(z["ifds"]), us(z["s_per_doc"]), us(t["s_per_doc"]),
                     "%.1f" % (t["s_per_doc"] / z["s_per_doc"]), ns(z["s_per_ifd"]), ns(t["s_per_ifd"]),
                     "%.1f" % (t["s_per_ifd"] / z["s_per_ifd"])))
    return table(["documents", "files", "IFDs", "ZUDOR µs/doc", "libtiff µs/doc", "ratio",
                  "ZUDOR ns/IFD", "libtiff ns/IFD", "ratio"], rows)


def scaling_section(figures):
    if figures["in_process"].get("failed"):
        failed = "failed: the in-process benchmark: %s" % figures["in_process"]["failed"]
        return failed, failed
    whole = {row["file"][:-4]: row for row in figures.get("sievecheck_scaling", [])}

    def libtiff(name, key):
        entry = in_process(figures, "libtiff", name)
        if "error" in entry:
            return "failed: %s" % entry["error"]
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
    floors = {(r["files"], r["name"]): r for r in rows if "floor" in r["name"]}
    ones = {(r["files"], r["name"].split(" --jobs")[0]): r for r in rows if r["name"].endswith("--jobs 1")}
    out = []
    for r in rows:
        n = r["files"]
        if r.get("failed"):
            out.append(("{:,}".format(n), "`%s`" % r["name"]) + failed_cells(r, 6))
            continue
        one = ones.get((n, r["name"].split(" --jobs")[0]))
        # A program against the walking floor with as many threads as it has jobs.
        walking = floors.get((n, "walking floor, 2 threads" if r["name"].endswith("--jobs 2")
                              or r["name"].endswith("2 threads") else "walking floor"))
        out.append(("{:,}".format(n), "`%s`" % r["name"], ms(r["wall"]), ms(r["cpu"]),
                    "%.1f" % (r["peak_kib"] / MIB), times(r, floors.get((n, "I/O floor"))), times(r, walking),
                    times(one, r) if one and "floor" not in r["name"] else "–"))
    return table(["files", "program", "median ms", "CPU ms", "peak MiB", "× I/O floor", "× walking floor",
                  "throughput × 1 job"], out)


def small_files_section(figures):
    small = figures.get("small_files")
    if not small:
        return "Not measured."
    rows = small["rows"]
    ones = {r["name"].split(" --jobs")[0]: r for r in rows if r["name"].endswith("--jobs 1")}
    out = []
    for r in rows:
        if r.get("failed"):
            out.append(("`%s`" % r["name"],) + failed_cells(r, 5))
            continue
        one = ones.get(r["name"].split(" --jobs")[0])
        out.append(("`%s`" % r["name"], ms(r["wall"]), "%s–%s" % (ms(r["wall_min"]), ms(r["wall_max"])),
                    ms(r["cpu"]), "%.1f" % (r["peak_kib"] / MIB),
                    times(one, r) if one and "floor" not in r["name"] else "–"))
    same = "the same records with every job count" if small["same_records"] else "**records differ between job counts**"
    return "{:,} files; {}.\n\n".format(small["files"], same) + table(
        ["program", "median ms", "range ms", "CPU ms", "peak MiB", "throughput × 1 job"], out)


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
    tools = figures["whole_process"][::-1]
    raw1 = measured(tools_by_name(figures)["sievecheck --xmp raw --jobs 1"])
    names = [t["name"] for t in tools]
    # A failed program keeps its line, with no bar and the word failed where its figure would be.
    walls = [t["wall"] * 1e3 if measured(t) else float("nan") for t in tools]
    colours = ["#2b6cb0" if n.startswith("sievecheck") else "#999999" if "floor" in n else "#dd6b20"
               for n in names]
    known = [w for w in walls if w == w] or [1.0]
    fig, ax = plt.subplots(figsize=(9, 4.8))
    ax.barh(names, [w if w == w else 0 for w in walls], color=colours)
    ax.set_xscale("log")
    ax.set_xlabel("median wall time over the %d-file corpus, ms (log scale)" % figures["corpus"]["files"])
    for i, w in enumerate(walls):
        if w != w:
            ax.text(min(known) / 2, i, "failed", va="center", fontsize=8, color="#c53030")
        else:
            ax.text(w * 1.05, i, "%.0f ms" % w + ("  (%.1f×)" % (w / (raw1["wall"] * 1e3)) if raw1 else ""),
                    va="center", fontsize=8)
    ax.set_xlim(left=min(known) / 4, right=max(known) * 8)
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
        if ax.lines:
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

## Small files

The corpus's 2,000 small files without the 2,000-page file (which is one document, read by one
thread, last), linked into a folder of their own; interleaved rounds as above.

{small}

## XMP-heavy corpus

`make_corpus.py --xmp-heavy`: 2,000 files of one to three pages, about 60% with a packet of 5 to
50 KB as photo workflows write them (edit history, keywords, titles in several languages, face
regions, development settings, 2 KB of padding). What listing the packets costs over copying
them; {runs} timed rounds after one warm-up, interleaved.

{heavy}

## Many files

One-page files in folders of 1,000, made afresh in a temporary folder for each count and
written out to disk before any run; before each timed run the two-thread walking floor reads
the tree (untimed), as this system pages out files left untouched for a minute. The I/O floor
finds every file first, then opens, reads and closes each one by its path; the walking floor
lists each directory as it goes and opens each file relative to its directory (`getdents64`,
`openat`, `pread`, `close`), with one thread or two, through system calls or batched through
io_uring. `× walking floor` compares a program with the walking floor of as many threads as it
has jobs. Medians of 3 timed rounds; peak memory of one more run.

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
           economy=economy_section(figures), many=file_counts_section(figures),
           small=small_files_section(figures), heavy=xmp_heavy_section(figures),
           runs=next((t["runs"] for t in figures["whole_process"] if measured(t)), 0),
           reps=figures.get("repetitions", 3), mib=c["bytes"] / 2 ** 20, peers=peers,
           **{k: v for k, v in m.items() if k != "peers"}, **c)
    with open(os.path.join(results, "latest.md"), "w") as f:
        f.write(page)


if __name__ == "__main__":
    main()
