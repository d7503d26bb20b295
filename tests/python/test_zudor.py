"""The zudor package against sievecheck: every record equal to the tool's parsed JSON, for
every document, in both XMP modes, whichever way it is read; wrong arguments refused; an
abandoned scan stopped; threads the system cannot start reported; and a scan spread over two
Dask worker processes."""
import base64
import json
import os
import re
import shutil
import subprocess
import sys

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


@pytest.mark.parametrize("xmp, jobs, any_file, isolate", [
    ("parsed", 1, False, False), ("parsed", 2, False, False), ("parsed", 5, False, False),
    ("parsed", None, True, False), ("raw", 1, False, False), ("raw", 3, False, False),
    ("raw", 2, True, False), ("toolkit", 2, False, False),
    ("parsed", 2, False, True), ("raw", 1, True, True), ("toolkit", 1, False, True)])
def test_scan_gives_sievecheck_records_in_order(inputs, xmp, jobs, any_file, isolate):
    want = expected(inputs, xmp, any_file)
    assert len(want) > 25 and any(r["xmp"] for r in want) and any(r["error"] for r in want)
    assert list(zudor.scan(inputs, jobs=jobs, xmp=xmp, any_file=any_file, isolate=isolate)) == want


def test_records_hold_their_values_not_merely_sievecheck_s(inputs):
    # The package and sievecheck share the record's walk: values that walk decides are held to
    # what they must be, not to what the other front end says.
    def name(record):
        return os.path.basename(base64.b64decode(record["fileBytes"]) if "fileBytes" in record
                                else os.fsencode(record["file"]))
    records = {name(r): r for r in zudor.scan(inputs[:4], jobs=2)}
    cafe = records[b"caf\xe9.tif"]
    assert cafe["file"].endswith("/docs/caf\u00e9.tif") and cafe["title"] == "Harbour \u00e0 dawn"
    # The title one byte shorter moved every value after it: the year lost its first digit.
    assert cafe["summary"] == "partial" and cafe["error"] is None and cafe["warnings"] == [
        'the first DateTime, "024:02:29 13:45:00", falls outside 1970 to 3000 in the local time zone']
    big = records[b"big.tif"]
    assert (big["summary"], big["error"], big["warnings"], big["xmp"]) == ("none", "BigTIFF is not supported", [], None)
    assert records[b"notes.txt"]["error"] == "not a TIFF file"
    assert records[b"missing.tif"]["error"] == "cannot open: No such file or directory"
    assert list(records[b"missing.tif"]) == ["file", "summary", "title", "author", "createTime", "properties",
                                            "xmp", "error", "warnings"]


# Each call in its own zone, the process's (UTC here) left as it was: the C library's, TZ and
# Python's own; a catalogue's zone too, for its call alone.
ZONES = """
import os, sys, time, zudor
sample, isolate, db = sys.argv[1], sys.argv[2] == "isolated", sys.argv[3]
before = (time.strftime("%Z"), os.environ.get("TZ"))
print(zudor.read(sample, time_zone="Asia/Tokyo", isolate=isolate)["createTime"],
      zudor.read(sample, isolate=isolate)["createTime"],
      next(zudor.scan([sample], time_zone="EST5EDT", isolate=isolate))["createTime"],
      zudor.read_bytes(open(sample, "rb").read(), isolate=isolate)["createTime"])
zudor.update_catalog(db, [sample], time_zone="Asia/Tokyo", isolate=isolate)
zudor.update_catalog(db, [sample], isolate=isolate)
print(zudor.read(sample, isolate=isolate)["createTime"], (time.strftime("%Z"), os.environ.get("TZ")) == before)
if not isolate:
    # Threads reading in three zones at once each get their own zone's time.
    from concurrent.futures import ThreadPoolExecutor
    zones = [("Asia/Tokyo", "04:45"), ("EST5EDT", "18:45"), (None, "13:45")]
    def right(k):
        zone, want = zones[k % 3]
        return zudor.read(sample, time_zone=zone)["createTime"] == "2024-02-29T%s:00Z" % want
    with ThreadPoolExecutor(4) as pool:
        print(all(pool.map(right, range(600))))
"""


@pytest.mark.parametrize("isolate", ["in-process", "isolated"])
def test_a_time_zone_is_the_calls_alone(isolate, tmp_path):
    env = dict(os.environ, TZ="UTC")
    out = subprocess.run([sys.executable, "-c", ZONES, SAMPLE, isolate, str(tmp_path / "c.db")], env=env,
                         stdout=subprocess.PIPE, check=True).stdout.split()
    assert out == [b"2024-02-29T04:45:00Z", b"2024-02-29T13:45:00Z", b"2024-02-29T18:45:00Z",
                   b"2024-02-29T13:45:00Z", b"2024-02-29T13:45:00Z", b"True"] + [b"True"] * (isolate == "in-process")


def test_a_named_folder_that_gives_no_document_says_so(tmp_path):
    (tmp_path / "empty").mkdir()
    (tmp_path / "text").mkdir()
    (tmp_path / "text" / "a.txt").write_text("not a TIFF")
    named = [str(tmp_path / "empty"), str(tmp_path / "text"), SAMPLE, str(tmp_path / "empty")]
    with pytest.warns(zudor.NoDocumentWarning) as caught:
        records = list(zudor.scan(named, jobs=2))
    assert [r["file"] for r in records] == [SAMPLE]
    assert [str(w.message) for w in caught] == [
        str(tmp_path / "empty") + ": no file in this directory or below it",
        str(tmp_path / "text") + ": its one file is not a TIFF file (any_file=True reads every file)"]
    # The Dask client walks without reading: it can tell the empty folder, and at once.
    with pytest.warns(zudor.NoDocumentWarning) as caught:
        zudor.dask.read_metadata(named)
    assert [str(w.message) for w in caught] == [str(tmp_path / "empty") + ": no file in this directory or below it"]
    assert caught[0].filename == __file__


@pytest.mark.parametrize("xmp, isolate", [("parsed", False), ("raw", False), ("toolkit", False),
                                           ("parsed", True), ("toolkit", True)])
def test_read_and_read_bytes_give_the_same_records(inputs, xmp, isolate):
    want = {r["file"]: r for r in expected(inputs, xmp)}
    paths = [p for p in map(os.fsencode, inputs) if not os.path.isdir(p)]
    for folder in filter(os.path.isdir, map(os.fsencode, inputs)):
        paths += [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names]
    for path in paths:
        record = zudor.read(path, xmp=xmp, isolate=isolate)
        # Only files a directory walk skips have no record of sievecheck's.
        assert record == want[record["file"]] if record["file"] in want else record["error"] in (
            "not a TIFF file", "BigTIFF is not supported")
        if os.path.exists(path):
            data = open(path, "rb").read()
            assert zudor.read_bytes(memoryview(data), name=path, xmp=xmp, isolate=isolate) == record
    assert zudor.read(SAMPLE)["title"] == "Harbour at dawn"
    assert [name for name in dir(zudor) if not name.startswith("__")] == sorted(zudor.__all__)


def test_bytes_handed_to_a_reader_are_not_held_to_its_memory_cap():
    """The bytes read_bytes hands an isolated reader are its document, not memory it took: a
    document far larger than the cap reads as in process."""
    data = open(SAMPLE, "rb").read() + bytes(96 << 20)
    assert zudor.read_bytes(data, isolate=True, document_memory=16) == zudor.read_bytes(data)


@pytest.mark.parametrize("call, error", [
    (lambda: zudor.read(42), TypeError),
    (lambda: zudor.read(SAMPLE, xmp="full"), ValueError),
    (lambda: zudor.read(SAMPLE, xmp=None), TypeError),
    (lambda: zudor.read_bytes("II*\0"), TypeError),
    (lambda: zudor.read_bytes(memoryview(bytes(8))[::2]), TypeError),
    (lambda: zudor.scan([SAMPLE], jobs=0), ValueError),
    (lambda: zudor.scan([SAMPLE], jobs=257), ValueError),
    (lambda: zudor.scan([SAMPLE], jobs=1.5), TypeError),
    (lambda: zudor.scan([SAMPLE, None]), TypeError),
    (lambda: zudor.read(SAMPLE, timeout=0.05), ValueError),
    (lambda: zudor.read(SAMPLE, timeout=float("nan")), ValueError),
    (lambda: zudor.scan([SAMPLE], retries=21), ValueError),
    (lambda: zudor.scan([SAMPLE], connections=0), ValueError),
    (lambda: zudor.scan([SAMPLE], ca_file=""), ValueError),
    (lambda: zudor.dask.read_metadata(SAMPLE, partition_size=0), ValueError),
    (lambda: zudor.dask.read_metadata(SAMPLE, connections=1025), ValueError),
    (lambda: zudor.read(SAMPLE, isolate=1), TypeError),
    (lambda: zudor.scan([SAMPLE], isolate=True, document_timeout=0), ValueError),
    (lambda: zudor.read_bytes(b"", isolate=True, document_memory=-1), ValueError),
    (lambda: zudor.scan([SAMPLE], document_timeout=5), ValueError),
    (lambda: zudor.read(SAMPLE, time_zone="Europe/Atlantis"), ValueError),
    (lambda: zudor.read(SAMPLE, time_zone="Europe"), ValueError),
    (lambda: zudor.read(SAMPLE, time_zone=""), ValueError),
    (lambda: zudor.read(SAMPLE, time_zone=SAMPLE), ValueError),
    (lambda: zudor.read(SAMPLE, isolate=True, document_timeout=float("nan")), ValueError),
    (lambda: zudor.read(SAMPLE + "\0junk"), ValueError),
    (lambda: zudor.scan([SAMPLE], time_zone=1), TypeError)])
def test_wrong_arguments_are_refused(call, error):
    with pytest.raises(error):
        call()


def running_threads():
    """The library's threads (they name themselves zudor-...), less those already exiting: the
    pytest process runs other libraries' threads too, which start and end when they like. A
    joined thread is still listed in /proc/self/task for a moment after the join returns: the
    join wakes when the kernel clears the thread's id, before it unlinks the thread. By then the
    thread's exit has begun, which its flags say (PF_EXITING), so this count does not race with
    the join."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/stat" % task, "rb") as f:
                stat = f.read()
        except OSError:  # gone since the listing
            continue
        name = stat[stat.index(b"(") + 1:stat.rindex(b")")]
        flags = int(stat[stat.rindex(b")") + 2:].split()[6])
        count += name.startswith(b"zudor-") and not flags & 0x4
    return count


def test_an_abandoned_scan_stops_its_threads(inputs):
    threads = running_threads()
    started = zudor.scan(inputs * 20, jobs=4)
    assert next(started)["file"]
    assert running_threads() > threads
    started.close()
    del started
    zudor.scan(inputs, jobs=3)  # never iterated, dropped at once
    assert running_threads() == threads


NO_THREADS = """
import resource, sys, zudor
size = next(int(l.split()[1]) << 10 for l in open("/proc/self/status") if l.startswith("VmSize:"))
# Room for a few threads' stacks, not for 256 of them.
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
for run in (lambda: list(zudor.scan(sys.argv[1:], jobs=256)),
            lambda: zudor.update_catalog(sys.argv[1] + ".db", sys.argv[1:], jobs=256)):
    try:
        run()
        print("no error")
    except zudor.ZudorError as error:
        print(type(error).__name__, error)
print(len(list(zudor.scan(sys.argv[1:], jobs=2))))
"""


def test_threads_the_system_cannot_start_raise_zudor_error(tmp_path):
    """Not an end of the records as if every file were read, nor the end of the process."""
    shutil.copy(SAMPLE, tmp_path / "a.tif")
    done = subprocess.run([sys.executable, "-c", NO_THREADS, str(tmp_path / "a.tif")], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and lines[2] == "1"
    for line in lines[:2]:
        assert line.startswith("ZudorError cannot start 256 reading threads (") and line.endswith("give fewer jobs")


def test_a_missing_extension_says_to_build_it(tmp_path):
    package = tmp_path / "zudor"
    package.mkdir()
    shutil.copy(zudor.__file__, package)
    done = subprocess.run([sys.executable, "-c", "import zudor"], cwd=tmp_path, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert "native extension (_zudor) is not built" in done.stderr and "circular" not in done.stderr


@pytest.mark.parametrize("isolate", [False, True])
def test_dask_on_two_worker_processes_gives_sievecheck_records(inputs, isolate):
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster):
        bag = zudor.dask.read_metadata(inputs, partition_size=16, isolate=isolate)
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
    # A file named inside a folder named too is catalogued once, as the folder's walk met it.
    inside = [p for p in inputs if any(p.startswith(q + "/") for q in inputs)]
    want = sievecheck([p for p in inputs if p not in inside], "--xmp", "raw")
    assert inside and first["new"] == len(want) and first["removed"] == 0
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


def test_update_catalog_keeps_other_inputs_and_forgets_on_request(tmp_path):
    """A run over one folder keeps the records of another, counted as untouched; forget=
    drops an input's records, and a name that holds nothing is refused."""
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        shutil.copy(SAMPLE, tmp_path / name / "sample.tif")
    path, a, b = str(tmp_path / "c.db"), str(tmp_path / "a"), str(tmp_path / "b")
    counts = {"new": 0, "changed": 0, "unchanged": 0, "removed": 0, "untouched": 0, "reread": 0}
    assert zudor.update_catalog(path, [a]) == dict(counts, new=1)
    assert zudor.update_catalog(path, b) == dict(counts, new=1, untouched=1)
    assert zudor.update_catalog(path, [], forget=[a]) == dict(counts, removed=1, untouched=1)
    with pytest.raises(zudor.CatalogueError, match="holds no input of that name"):
        zudor.update_catalog(path, [], forget=a)
