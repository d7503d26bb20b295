"""The zudor package against sievecheck: every record equal to the tool's parsed JSON, for
every document, in both XMP modes, whichever way it is read; wrong arguments refused; an
abandoned scan stopped; and a scan spread over two Dask worker processes."""
import json
import os
import re
import subprocess

import pytest

import zudor
import zudor.dask

SIEVECHECK = os.environ["ZUDOR_SIEVECHECK"]
SHARED_CORPUS = os.environ.get("ZUDOR_SHARED_CORPUS", "")
SAMPLE = os.environ["ZUDOR_SAMPLE_TIFF"]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The generated documents, files a walk skips, and named files of every kind."""
    root = tmp_path_factory.mktemp("corpus")
    docs = root / "docs"
    docs.mkdir()
    subprocess.run([os.environ["ZUDOR_SEED_CORPUS"], str(docs)], check=True)
    (docs / "notes.txt").write_text("not a TIFF")
    (root / "big.tif").write_bytes(b"II+\0\x08\0\0\0" + bytes(16))
    # A name and a title that are not UTF-8: both are read as Latin-1.
    sample = open(SAMPLE, "rb").read().replace(b"Harbour at dawn", b"Harbour \xe0 dawn")
    with open(os.path.join(os.fsencode(docs), b"caf\xe9.tif"), "wb") as f:
        f.write(sample)
    named = [str(docs), str(root / "big.tif"), str(docs / "notes.txt"), str(root / "missing.tif")]
    return named + ([SHARED_CORPUS] if os.path.isdir(SHARED_CORPUS) else [])


def sievecheck(inputs, *options):
    command = [SIEVECHECK, "--format", "json", "--quiet", "-"] + list(options)
    for path in inputs:
        command += ["-i", path]
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return [json.loads(line) for line in out.splitlines()]


EXPECTED = {}


def expected(inputs, xmp, any_file=False):
    key = (xmp, any_file)
    if key not in EXPECTED:
        EXPECTED[key] = sievecheck(inputs, "--xmp", xmp, *(["--any-file"] if any_file else []))
    return EXPECTED[key]


@pytest.mark.parametrize("xmp, jobs, any_file", [
    ("parsed", 1, False), ("parsed", 2, False), ("parsed", 5, False), ("parsed", None, True),
    ("raw", 1, False), ("raw", 3, False), ("raw", 2, True), ("toolkit", 2, False)])
def test_scan_gives_sievecheck_records_in_order(inputs, xmp, jobs, any_file):
    want = expected(inputs, xmp, any_file)
    assert len(want) > 25 and any(r["xmp"] for r in want) and any(r["error"] for r in want)
    assert list(zudor.scan(inputs, jobs=jobs, xmp=xmp, any_file=any_file)) == want


@pytest.mark.parametrize("xmp", ["parsed", "raw", "toolkit"])
def test_read_and_read_bytes_give_the_same_records(inputs, xmp):
    want = {r["file"]: r for r in expected(inputs, xmp)}
    paths = [p for p in map(os.fsencode, inputs) if not os.path.isdir(p)]
    for folder in filter(os.path.isdir, map(os.fsencode, inputs)):
        paths += [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names]
    for path in paths:
        record = zudor.read(path, xmp=xmp)
        # Only files a directory walk skips have no record of sievecheck's.
        assert record == want[record["file"]] if record["file"] in want else record["error"] in (
            "not a TIFF file", "BigTIFF is not supported")
        if os.path.exists(path):
            data = open(path, "rb").read()
            assert zudor.read_bytes(memoryview(data), name=path, xmp=xmp) == record
    assert zudor.read(SAMPLE)["title"] == "Harbour at dawn"
    assert [name for name in dir(zudor) if not name.startswith("__")] == sorted(zudor.__all__)


@pytest.mark.parametrize("call, error", [
    (lambda: zudor.read(42), TypeError),
    (lambda: zudor.read(SAMPLE, xmp="full"), ValueError),
    (lambda: zudor.read(SAMPLE, xmp=None), TypeError),
    (lambda: zudor.read_bytes("II*\0"), TypeError),
    (lambda: zudor.read_bytes(memoryview(bytes(8))[::2]), TypeError),
    (lambda: zudor.scan([SAMPLE], jobs=0), ValueError),
    (lambda: zudor.scan([SAMPLE], jobs=1.5), TypeError),
    (lambda: zudor.scan([SAMPLE, None]), TypeError),
    (lambda: zudor.dask.read_metadata(SAMPLE, partition_size=0), ValueError)])
def test_wrong_arguments_are_refused(call, error):
    with pytest.raises(error):
        call()


def test_an_abandoned_scan_stops_its_threads(inputs):
    threads = len(os.listdir("/proc/self/task"))
    started = zudor.scan(inputs * 20, jobs=4)
    assert next(started)["file"]
    started.close()
    del started
    zudor.scan(inputs, jobs=3)  # never iterated, dropped at once
    assert len(os.listdir("/proc/self/task")) == threads


def test_dask_on_two_worker_processes_gives_sievecheck_records(inputs):
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster):
        bag = zudor.dask.read_metadata(inputs, partition_size=16)
        assert bag.npartitions > 2
        assert bag.compute() == expected(inputs, "parsed")
        frame = bag.to_dataframe().compute()
    assert len(frame) == len(expected(inputs, "parsed"))
    assert list(frame.columns) == list(expected(inputs, "parsed")[0])


def test_update_catalog_counts_and_leaves_a_queryable_catalogue(inputs, tmp_path):
    """The same catalogue as sievecheck's: its export is the tool's JSON, and a second run
    reads nothing; a file that is not a catalogue is refused."""
    import sqlite3
    path = str(tmp_path / "c.db")
    first = zudor.update_catalog(path, inputs, jobs=2, xmp="raw")
    want = expected(inputs, "raw")
    assert first["new"] == len(want) and first["removed"] == 0
    # The files were just written: unchanged ones are those old enough to trust.
    second = zudor.update_catalog(path, inputs)
    assert second["new"] == 0 and second["unchanged"] + second["changed"] == len(want)
    exported = subprocess.run([SIEVECHECK, "--catalog", path, "--export", "-"], stdout=subprocess.PIPE).stdout
    assert [json.loads(line) for line in exported.splitlines()] == want
    with sqlite3.connect(path) as db:
        found = db.execute("SELECT count(*) FROM documents WHERE id IN"
                           " (SELECT rowid FROM search WHERE search MATCH 'harbour')").fetchone()[0]
    def has_word(record):
        xmp = record["xmp"] or {}
        values = [record["title"], record["author"], xmp.get("packet")] + [v for _, v in record["properties"]]
        return any(re.search(r"(?i)\bharbour\b", v or "") for v in values)
    assert found == sum(map(has_word, want)) > 0
    with pytest.raises(zudor.CatalogueError, match="keeps raw XMP"):
        zudor.update_catalog(path, inputs, xmp="parsed")
    with pytest.raises(zudor.CatalogueError, match="not an SQLite database"):
        zudor.update_catalog(SAMPLE, inputs)
