"""Remote inputs end to end, against loopback servers this suite starts and stops: nginx
(HTTP, and HTTPS with HTTP/2) and the S3 endpoint of s3_server.py, which checks every
signature with botocore. Request counts come from the servers' own logs. Every fault of the
fault table is a document of one run; the run must complete, each record saying why."""
import collections
import json
import os
import shutil
import socket
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import layouts  # noqa: E402
import servers  # noqa: E402

SIEVECHECK = os.environ["ZUDOR_SIEVECHECK"]
SEED_CORPUS = os.environ["ZUDOR_SEED_CORPUS"]
# The secret of the test endpoint, which no output may ever show.
SECRET = servers.S3Server.SECRET_KEY


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """root/web: the layouts and generated documents; root/s3/archive the same as a bucket,
    root/s3/public a bucket readable unsigned."""
    root = tmp_path_factory.mktemp("remote")
    web = root / "web"
    layouts.make_all(str(web / "lay"))
    (web / "docs").mkdir()
    subprocess.run([SEED_CORPUS, str(web / "docs")], check=True, stdout=subprocess.DEVNULL)
    (web / "docs" / "notes.txt").write_text("not a TIFF")
    (web / "docs" / "empty.tif").write_bytes(b"")
    shutil.copytree(web, root / "s3" / "archive")
    (root / "s3" / "public").mkdir()
    shutil.copy(web / "lay" / "xmp-40kb.tif", root / "s3" / "public" / "open.tif")
    for name in "abcdefghijklmn":
        shutil.copy(web / "lay" / "two-pages.tif", root / "s3" / "archive" / ("fault-%s.tif" % name))
    shutil.copy(web / "lay" / "pages-8.tif", root / "s3" / "archive" / "fault-replaced.tif")
    shutil.copy(web / "lay" / "pages-8.tif", root / "s3" / "archive" / "fault-weak.tif")
    shutil.copy(web / "lay" / "strip-100mb.tif", root / "s3" / "archive" / "fault-far.tif")
    return root


@pytest.fixture(scope="module")
def web(tree):
    with servers.Nginx(str(tree / "web"), str(tree / "nginx"), many_file="lay/two-pages.tif") as nginx:
        yield nginx


@pytest.fixture(scope="module")
def s3(tree):
    with servers.S3Server(str(tree / "s3"), str(tree / "s3-run"), page_size=3, public=["public"]) as server:
        yield server


# Far above what any honest answer takes on a loaded machine: only the runs that try a
# timeout give a short one (SHORT), and only to servers that stall far longer than it.
PATIENT, SHORT = "60", "1"


def sievecheck(inputs, *options, env=None, files_from=None):
    command = [SIEVECHECK, "--format", "json", "--quiet", "-"] + list(options)
    if "--timeout" not in options:
        command += ["--timeout", PATIENT]
    for path in inputs:
        command += ["-i", path]
    if files_from is not None:
        command += ["--files-from", "-"]
    done = subprocess.run(command, input=files_from, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=servers.without_proxies(env if env is not None else os.environ), timeout=600)
    return [json.loads(line) for line in done.stdout.splitlines()], done.stderr.decode(), done.returncode


def without_file(records):
    return [{k: v for k, v in r.items() if k != "file"} for r in records]


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_each_layout_costs_the_requests_it_must(tree, web, scheme):
    base = web.http if scheme == "http" else web.https
    web.log()
    # (GETs, bytes) at most: the first 64 KiB, and a 16 KiB window for each directory beyond.
    economy = {"two-pages.tif": (1, 65536), "strip-100mb.tif": (2, 81920), "xmp-40kb.tif": (1, 65536),
               "pages-8.tif": (9, 65536 + 8 * 32768)}
    for name, (gets, most) in sorted(economy.items()):
        remote, _, status = sievecheck([base + "/lay/" + name], "--ca-file", web.cert)
        local, _, _ = sievecheck([str(tree / "web" / "lay" / name)])
        assert status == 0 and without_file(remote) == without_file(local), name
        assert remote[0]["file"] == base + "/lay/" + name
        log = web.log()
        assert [e["status"] for e in log] == [206] * gets, name
        assert sum(e["bytes"] for e in log) <= most, name
        assert log[0]["range"] == "bytes=0-65535" and all(e["request"].startswith("GET ") for e in log)
        # Later ranges are asked only of the object the first came from.
        assert all(e["if_match"] for e in log[1:]), name
        if scheme == "https":
            assert {e["protocol"] for e in log} == {"HTTP/2.0"}
    if scheme == "https":
        # Many documents at once share one connection, as streams of HTTP/2.
        sievecheck([base + "/lay/" + name for name in sorted(economy)] * 4, "--ca-file", web.cert)
        assert len({e["connection"] for e in web.log()}) == 1


def test_isolated_reading_asks_and_gives_what_reading_in_process_does(web, s3):
    """--isolate: the fetch stage's probe runs the reader in a process of its own too, and
    needs the same requests; the records are those of a run in process."""
    urls = [web.http + "/lay/" + name for name in ("two-pages.tif", "strip-100mb.tif", "xmp-40kb.tif", "pages-8.tif")]
    web.log()
    plain, _, status = sievecheck(urls)
    asked = sorted((e["request"], e["range"]) for e in web.log())
    isolated, _, isolated_status = sievecheck(urls, "--isolate")
    assert isolated == plain and isolated_status == status
    assert sorted((e["request"], e["range"]) for e in web.log()) == asked
    in_process, _, _ = sievecheck(["s3://archive/docs/"], env=s3.env())
    assert sievecheck(["s3://archive/docs/"], "--isolate", env=s3.env())[0] == in_process
    s3.log()  # the next test counts its own requests


def test_a_bucket_prefix_reads_as_the_local_tree(tree, s3):
    local, _, _ = sievecheck([str(tree / "s3" / "archive" / "docs")])
    remote, _, status = sievecheck(["s3://archive/docs/"], "--stats", env=s3.env())
    assert len(local) > 25 and status == 1  # the empty file is an error, as locally
    assert without_file(remote) == without_file(local)
    prefix = str(tree / "s3" / "archive") + "/"
    assert [r["file"] for r in remote] == ["s3://" + "archive/" + r["file"][len(prefix):] for r in local]
    log = s3.log()
    listings = [e for e in log if "list-type=2" in e["path"]]
    keys = sorted(os.listdir(tree / "s3" / "archive" / "docs"))
    # Pages of three keys: every page asked for, each after the one before.
    assert len(listings) == -(-len(keys) // 3)
    assert all(e["signed"] for e in log)
    # No listing and no HEAD of its own per document: one GET, and one more for the bytes
    # past the first 64 KiB where the reader needs them.
    gets = collections.Counter(e["path"] for e in log if e not in listings)
    assert gets == {"/archive/docs/" + key: 1 + (os.path.getsize(tree / "s3" / "archive" / "docs" / key) > 65536)
                    for key in keys}


def test_a_prefix_that_lists_no_document_says_so(s3):
    # A typo in a prefix lists nothing: the run says so and fails, as a missing file does.
    records, stderr, status = sievecheck(["s3://archive/typo/", "s3://public/open.tif"], env=s3.env())
    assert [r["file"] for r in records] == ["s3://public/open.tif"] and status == 1
    assert "sievecheck: s3://archive/typo/: no key under this prefix\n" in stderr


def test_a_catalogued_prefix_costs_its_listing_and_what_changed(tree, s3, tmp_path):
    """A key whose listed size and ETag are the catalogue's is neither fetched nor read: a run
    over a prefix with nothing changed asks for the listing's pages and nothing else."""
    folder = tree / "s3" / "catalogued" / "p"
    folder.mkdir(parents=True)
    for i in range(7):
        shutil.copy(tree / "web" / "lay" / "two-pages.tif", folder / ("doc-%d.tif" % i))
    (folder / "notes.txt").write_text("not a TIFF")
    db = str(tmp_path / "c.db")

    def run(prefix="s3://catalogued/p/"):
        s3.log()
        done = subprocess.run([SIEVECHECK, "--catalog", db, "-i", prefix, "--stats", "--quiet"],
                              env=s3.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        log = s3.log()
        lists = sum("list-type=2" in e["path"] for e in log)
        counts = done.stderr.decode().rsplit("catalogue: ", 1)[-1].strip()
        return done.returncode, counts, lists, len(log) - lists

    def rewrite(name):
        with open(folder / name, "ab") as f:
            f.write(b"\0")

    steps = [  # (what, change, counts, GETs)
        ("first run", lambda: None, "new 7, changed 0, unchanged 0, removed 0, untouched 0", 8),  # notes.txt looked at
        ("nothing changed", lambda: None, "new 0, changed 0, unchanged 7, removed 0, untouched 0", 0),
        ("one written again", lambda: rewrite("doc-3.tif"), "new 0, changed 1, unchanged 6, removed 0, untouched 0", 1),
        ("one gone", lambda: os.remove(folder / "doc-5.tif"), "new 0, changed 0, unchanged 6, removed 1, untouched 0", 0),
        ("one renamed", lambda: os.rename(folder / "doc-6.tif", folder / "doc-9.tif"),
         "new 1, changed 0, unchanged 5, removed 1, untouched 0", 1),
    ]
    for what, change, counts, gets in steps:
        change()
        status, got, lists, fetched = run()
        assert (status, got, fetched) == (0, counts, gets), what
        assert lists == -(-len(os.listdir(folder)) // 3), what  # pages of three keys
    # A prefix inside the catalogued one: its keys are the catalogued prefix's, the others kept.
    (folder / "sub").mkdir()
    for i in range(2):
        shutil.copy(tree / "web" / "lay" / "two-pages.tif", folder / "sub" / ("doc-%d.tif" % i))
    assert run("s3://catalogued/p/sub/") == (0, "new 2, changed 0, unchanged 0, removed 0, untouched 6", 1, 2)
    assert run() == (0, "new 0, changed 0, unchanged 8, removed 0, untouched 0", 3, 0)
    exported = subprocess.run([SIEVECHECK, "--catalog", db, "--export"], stdout=subprocess.PIPE).stdout
    fresh, _, _ = sievecheck(["s3://catalogued/p/"], env=s3.env())
    assert [json.loads(line) for line in exported.splitlines()] == fresh


def test_files_from_mixes_urls_and_paths_in_order(tree, web, s3):
    lines = [web.http + "/lay/xmp-40kb.tif", str(tree / "web" / "lay" / "two-pages.tif"),
             "s3://archive/lay/strip-100mb.tif", web.http + "/lay/missing.tif"]
    env = s3.env()
    records, _, status = sievecheck([], files_from="\n".join(lines).encode(), env=env)
    assert [r["file"] for r in records] == lines and status == 1
    assert records[3]["error"] == "not found"
    assert [r["summary"] for r in records[:3]] == ["complete"] * 3


FAULTS = [  # key, fault, what the record says (None: read in the end)
    ("fault-a.tif", {"kind": "status", "status": 503, "count": 2, "retry_after": "1"}, None),
    ("fault-b.tif", {"kind": "status", "status": 503}, "server error: HTTP 503 (SlowDown) (gave up after 5 attempts)"),
    ("fault-c.tif", {"kind": "status", "status": 500}, "server error: HTTP 500 (InternalError) (gave up after 5 attempts)"),
    ("fault-d.tif", {"kind": "status", "status": 502}, "server error: HTTP 502 (BadGateway) (gave up after 5 attempts)"),
    ("fault-e.tif", {"kind": "status", "status": 504}, "server error: HTTP 504 (GatewayTimeout) (gave up after 5 attempts)"),
    ("fault-f.tif", {"kind": "status", "status": 429}, "too many requests: HTTP 429 (gave up after 5 attempts)"),
    ("fault-g.tif", {"kind": "reset", "count": 2}, None),
    ("fault-h.tif", {"kind": "reset"}, "connection reset (gave up after 5 attempts)"),
    ("fault-i.tif", {"kind": "truncate", "count": 1}, None),
    ("fault-j.tif", {"kind": "truncate"}, "truncated response (gave up after 5 attempts)"),
    ("fault-k.tif", {"kind": "status", "status": 403}, "access denied (AccessDenied)"),
    ("fault-m.tif", {"kind": "ignore_range"}, None),
    ("fault-far.tif", {"kind": "ignore_range"},
     "the server ignores range requests, and this file's metadata lies past its first 64 KiB"),
    ("fault-replaced.tif", {"kind": "replace", "count": 1}, "changed while being read"),
    # A weak ETag cannot serve If-Match: the document is read all the same.
    ("fault-weak.tif", {"kind": "weak_etag"}, None),
    ("fault-missing.tif", None, "not found (NoSuchKey)"),
]


def test_every_fault_ends_in_its_own_record_and_the_run_completes(s3):
    s3.faults([dict(fault, key="archive/" + key) for key, fault, _ in FAULTS if fault])
    s3.log()
    records, stderr, status = sievecheck(["s3://archive/" + key for key, _, _ in FAULTS], "--connections", "16",
                                         "--stats", env=s3.env())
    assert status == 1 and len(records) == len(FAULTS)
    for (key, _, error), record in zip(FAULTS, records):
        assert record["error"] == error, key
        assert (record["summary"] == "complete") == (error is None), key
    log = s3.log()
    gets = {key: [e for e in log if e["path"] == "/archive/" + key] for key, _, _ in FAULTS}
    assert [e["status"] for e in gets["fault-a.tif"]] == [503, 503, 206]
    assert len(gets["fault-b.tif"]) == 5
    # The whole object came for a range: the window's worth was read, the rest dropped.
    assert [e["status"] for e in gets["fault-m.tif"]] == [200]
    # The endpoint logs a response once it is sent, so two answers may be logged in either order.
    assert sorted((e["status"], e["if_match"] is not None) for e in gets["fault-replaced.tif"]) == [(206, False),
                                                                                                    (412, True)]
    assert "retries" in stderr and SECRET not in stderr


def test_a_server_that_stops_sending_is_given_up_at_the_timeout(s3):
    """--timeout bounds the wait for the next byte, before the body and within it, not a speed
    averaged over the seconds before: half the body came, then silence. The servers stay silent
    thirty times longer than the timeout, so only the timeout can end these reads."""
    s3.faults([{"key": "archive/fault-l.tif", "kind": "stall", "seconds": 30},
               {"key": "archive/fault-n.tif", "kind": "stall_body", "seconds": 30, "count": 1}])
    records, _, status = sievecheck(["s3://archive/fault-l.tif"], "--timeout", SHORT, env=s3.env())
    assert status == 1
    assert records[0]["error"] == "transfer stalled (timed out waiting for data) (gave up after 5 attempts)"
    records, _, status = sievecheck(["s3://archive/fault-n.tif"], "--retries", "0", "--timeout", SHORT, env=s3.env())
    assert status == 1
    assert records[0]["error"] == "transfer stalled (timed out waiting for data) (gave up after 1 attempt)"


def test_a_listing_that_fails_midway_gives_an_error_record_and_the_run_goes_on(s3):
    s3.faults([{"key": "archive/lay/", "kind": "list_fail", "status": 500}])
    records, _, status = sievecheck(["s3://archive/lay/", "s3://public/open.tif"], env=s3.env())
    assert status == 1
    assert [r["file"] for r in records] == ["s3://archive/lay/pages-8.tif", "s3://archive/lay/strip-100mb.tif",
                                            "s3://archive/lay/two-pages.tif", "s3://archive/lay/",
                                            "s3://public/open.tif"]
    assert records[3]["error"].startswith("cannot list: server error: HTTP 500")
    assert records[4]["summary"] == "complete"


def test_timeouts_redirects_and_trust(web):
    blackhole = socket.socket()
    blackhole.bind(("127.0.0.1", 0))
    blackhole.listen(0)
    # A full accept queue: the kernel drops further handshakes, and connecting times out.
    fillers = [socket.socket() for _ in range(3)]
    for filler in fillers:
        filler.setblocking(False)
        try:
            filler.connect(blackhole.getsockname())
        except BlockingIOError:
            pass
    try:
        records, _, status = sievecheck(["http://127.0.0.1:%d/x.tif" % blackhole.getsockname()[1]], "--retries", "1",
                                        "--timeout", SHORT)
    finally:
        for s in fillers + [blackhole]:
            s.close()
    assert status == 1 and records[0]["error"] == "connect timed out (gave up after 2 attempts)"
    inputs = [web.http + "/hop/lay/two-pages.tif", web.http + "/loop", web.https + "/to-plain/lay/two-pages.tif"]
    records, _, status = sievecheck(inputs, "--retries", "1", "--ca-file", web.cert)
    assert status == 1
    assert [r["error"] for r in records] == [
        None, "too many redirects", "redirected to a scheme that is not allowed (never from https to http)"]
    # Without the test's certificate named, the system's store does not trust it.
    records, _, _ = sievecheck([web.https + "/lay/two-pages.tif"])
    assert records[0]["error"].startswith("TLS certificate not trusted")


def test_certificates_to_trust_come_from_ca_file_or_aws_ca_bundle(web, tmp_path):
    not_pem = tmp_path / "not.pem"
    not_pem.write_bytes(b"\x30\x82\x01\x0a a DER certificate is not read")
    rows = [  # --ca-file, AWS_CA_BUNDLE, exit status, standard error
        (None, web.cert, 0, ""),
        ("/nonexistent.pem", None, 2,
         "sievecheck: the CA file /nonexistent.pem: cannot read it: No such file or directory\n"),
        (None, "/nonexistent.pem", 2,
         "sievecheck: AWS_CA_BUNDLE=/nonexistent.pem: cannot read it: No such file or directory\n"),
        (str(not_pem), None, 2, "sievecheck: the CA file %s: it holds no certificate in PEM form "
                                "(-----BEGIN CERTIFICATE-----)\n" % not_pem),
    ]
    for ca_file, bundle, status, stderr in rows:
        env = {k: v for k, v in os.environ.items() if k != "AWS_CA_BUNDLE"}
        if bundle:
            env["AWS_CA_BUNDLE"] = bundle
        options = ["--ca-file", ca_file] if ca_file else []
        records, got, code = sievecheck([web.https + "/lay/two-pages.tif"], *options, env=env)
        assert (code, got) == (status, stderr), (ca_file, bundle)
        # A run refused opens nothing: no record, not one error in each.
        assert [r["summary"] for r in records] == (["complete"] if status == 0 else []), (ca_file, bundle)


def test_credentials_come_from_a_profile_and_public_buckets_need_none(tree, s3):
    home = tree / "home"
    (home / ".aws").mkdir(parents=True, exist_ok=True)
    (home / ".aws" / "credentials").write_text(
        "[reader]\naws_access_key_id = %s\naws_secret_access_key = %s\n" % (s3.ACCESS_KEY, SECRET))
    (home / ".aws" / "config").write_text("[profile reader]\nregion = %s\nendpoint_url = %s\n"
                                          % (s3.REGION, s3.endpoint))
    profile = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    profile.update(HOME=str(home), AWS_PROFILE="reader")
    records, _, status = sievecheck(["s3://archive/lay/two-pages.tif"], env=profile)
    assert status == 0 and records[0]["summary"] == "complete"
    nothing = dict(profile, AWS_PROFILE="nobody", AWS_ENDPOINT_URL=s3.endpoint, AWS_REGION=s3.REGION)
    records, stderr, _ = sievecheck(["s3://archive/lay/two-pages.tif"], env=nothing)
    assert records[0]["error"].startswith("no AWS credentials")
    records, _, _ = sievecheck(["s3://public/open.tif", "s3://archive/lay/two-pages.tif"], "--no-sign-request",
                               env=nothing)
    assert [r["error"] for r in records] == [None, "access denied (AccessDenied)"]
    wrong = s3.env(AWS_SECRET_ACCESS_KEY="not the secret")
    records, _, _ = sievecheck(["s3://archive/lay/two-pages.tif"], env=wrong)
    assert records[0]["error"] == "access denied (SignatureDoesNotMatch)"


def test_secrets_never_reach_records_or_messages(web, s3):
    given = (web.http.replace("//", "//reader:pa55word@") +
             "/lay/two-pages.tif?X-Amz-Credential=AKID%2F1&X-Amz-Signature=feedface&part=1")
    records, stderr, _ = sievecheck([given, "s3://archive/fault-missing.tif"], "--stats", env=s3.env())
    assert records[0]["file"] == web.http + "/lay/two-pages.tif?part=1"
    shown = json.dumps(records) + stderr
    for secret in ("pa55word", "feedface", "AKID%2F1", SECRET):
        assert secret not in shown


def use_endpoint(monkeypatch, s3):
    """This process's environment, and so its Dask workers', pointed at the test endpoint."""
    for name in list(os.environ):
        if name.startswith("AWS_") or name.lower().endswith("_proxy"):
            monkeypatch.delenv(name)
    for name, value in s3.env().items():
        if name.startswith("AWS_"):
            monkeypatch.setenv(name, value)


def test_python_reads_urls_and_prefixes_as_paths(web, s3, monkeypatch):
    zudor = pytest.importorskip("zudor")
    use_endpoint(monkeypatch, s3)
    want, _, _ = sievecheck(["s3://archive/docs/"], env=s3.env())
    assert list(zudor.scan(["s3://archive/docs/"], jobs=2)) == want
    record = zudor.read(web.http + "/lay/pages-8.tif")
    assert record["summary"] == "complete" and record["file"] == web.http + "/lay/pages-8.tif"
    monkeypatch.setenv("AWS_CA_BUNDLE", web.cert)  # the test's certificate, trusted as the AWS tools trust it
    assert zudor.read(web.https + "/lay/pages-8.tif")["summary"] == "complete"
    assert zudor.read("s3://archive/docs/notes.txt")["error"] == "not a TIFF file"


def test_dask_workers_read_listed_keys_by_ranges(s3, monkeypatch):
    pytest.importorskip("zudor")
    from dask.distributed import Client, LocalCluster
    import zudor.dask
    use_endpoint(monkeypatch, s3)  # the worker processes inherit it
    want, _, _ = sievecheck(["s3://archive/docs/"], env=s3.env())
    s3.log()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster):
        bag = zudor.dask.read_metadata(["s3://archive/docs/"], partition_size=8)
        assert bag.npartitions > 2
        assert bag.compute() == want
    log = s3.log()
    # The client listed the prefix once; the workers only fetched ranges.
    assert sum("list-type=2" in e["path"] for e in log) == -(-(len(want) + 1) // 3)
    assert all(e["range"] for e in log if "list-type=2" not in e["path"])


def test_python_takes_the_remote_options_call_by_call(web, s3, monkeypatch):
    """ca_file= trusts the test's certificate for the call that names it and no other, on
    zudor.read, zudor.scan and Dask's workers; the Dask client lists a prefix with retries=;
    no_sign_request= reads a public bucket as AWS_NO_SIGN_REQUEST=true does."""
    zudor = pytest.importorskip("zudor")
    from dask.distributed import Client, LocalCluster
    import zudor.dask
    use_endpoint(monkeypatch, s3)
    url = web.https + "/lay/two-pages.tif"
    untrusted = zudor.read(url)["error"]
    assert untrusted.startswith("TLS certificate not trusted")
    assert zudor.read(url, ca_file=web.cert)["summary"] == "complete"
    # The thread's reader for this XMP mode was made with the CA file: the next call has none.
    assert zudor.read(url)["error"] == untrusted
    assert [r["error"] for r in zudor.scan([url, url], jobs=2, ca_file=web.cert, connections=1)] == [None, None]
    assert [r["error"] for r in zudor.scan([url], jobs=2)] == [untrusted]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster):
        bag = zudor.dask.read_metadata([url] * 3, partition_size=1, ca_file=web.cert, timeout=60)
        assert [r["error"] for r in bag.compute()] == [None] * 3
    # The listing's second page fails: asked for once with retries=0, not five times.
    s3.faults([{"key": "archive/lay/", "kind": "list_fail", "status": 500}])
    s3.log()
    try:
        zudor.dask.read_metadata(["s3://archive/lay/"], retries=0)
    finally:
        s3.faults([])
    assert sum("list-type=2" in e["path"] for e in s3.log()) == 2
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        monkeypatch.delenv(name)
    public = "s3://public/open.tif"
    assert zudor.read(public)["error"].startswith("no AWS credentials")
    assert zudor.read(public, no_sign_request=True)["summary"] == "complete"
    monkeypatch.setenv("AWS_NO_SIGN_REQUEST", "true")
    assert zudor.read(public)["summary"] == "complete"


def test_python_takes_the_ca_bundle_of_the_aws_tools_and_refuses_a_bad_one(web, s3, monkeypatch, tmp_path):
    """AWS_CA_BUNDLE stands for ca_file= when none is given; a CA file that cannot be read is a
    ValueError at once, not an error in every record. A local read needs no CA file."""
    zudor = pytest.importorskip("zudor")
    use_endpoint(monkeypatch, s3)
    url = web.https + "/lay/two-pages.tif"
    monkeypatch.setenv("AWS_CA_BUNDLE", web.cert)
    assert zudor.read(url)["summary"] == "complete"
    assert [r["summary"] for r in zudor.scan([url], jobs=2)] == ["complete"]
    missing = str(tmp_path / "missing.pem")
    monkeypatch.setenv("AWS_CA_BUNDLE", missing)
    for call in (lambda: zudor.read(url), lambda: zudor.scan([url]), lambda: zudor.read(url, ca_file=missing)):
        with pytest.raises(ValueError, match="missing.pem: cannot read it"):
            call()
    assert zudor.read(os.path.join(HERE, "..", "..", "samples", "sample.tif"))["summary"] == "complete"
