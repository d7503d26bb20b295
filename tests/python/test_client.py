"""zudor.Client against a zudor-serve of the same build: its dicts equal zudor.read's for the
same bytes, and the service's refusals reach the caller as ServiceError, saying why."""
import os
import re
import select
import signal
import subprocess
import sys

import pytest

import zudor

SAMPLE = os.environ["ZUDOR_SAMPLE_TIFF"]
TOKEN = "zudor-client-test-token"


@pytest.fixture(scope="module")
def web():
    """A plain HTTP server on loopback over the sample's folder: its address."""
    server = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                               os.path.dirname(SAMPLE)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([server.stdout], [], [], 120)
    found = re.search(rb"port (\d+)", server.stdout.readline() if ready else b"")
    assert found, "the HTTP server did not start"
    yield "127.0.0.1:" + found.group(1).decode()
    server.kill()
    server.wait()


@pytest.fixture(scope="module")
def url(tmp_path_factory, web):
    tokens = tmp_path_factory.mktemp("client") / "tokens"
    tokens.write_text(TOKEN + "\n")
    server = subprocess.Popen([os.environ["ZUDOR_SERVE"], "--listen", "127.0.0.1:0", "--tokens", str(tokens),
                               "--max-body", "64KiB", "--allow-host", web], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([server.stdout], [], [], 120)
    found = re.match(rb"zudor-serve: listening on (http://\S+)", server.stdout.readline() if ready else b"")
    assert found, "zudor-serve did not start"
    yield found.group(1).decode()
    server.send_signal(signal.SIGTERM)
    assert server.wait(timeout=120) == 0


@pytest.mark.parametrize("xmp", ["parsed", "raw", "toolkit"])
def test_records_equal_the_librarys(url, xmp):
    client = zudor.Client(url, token=TOKEN)
    assert client.read(SAMPLE, xmp=xmp) == zudor.read(SAMPLE, xmp=xmp)
    data = open(SAMPLE, "rb").read()
    assert client.read_bytes(data, name="a b&c.tif", xmp=xmp) == zudor.read_bytes(data, name="a b&c.tif", xmp=xmp)


def test_remote_records_arrive_in_order(url, web):
    urls = ["http://%s/%s" % (web, name) for name in ("sample.tif", "missing.tif", "sample.tif")]
    assert list(zudor.Client(url, token=TOKEN).scan(urls)) == [zudor.read(u) for u in urls]


@pytest.mark.parametrize("token, call, status, words", [
    (None, lambda c: c.read(SAMPLE), 401, "Authorization: Bearer"),
    ("not-" + TOKEN, lambda c: c.read(SAMPLE), 401, "Authorization: Bearer"),
    (TOKEN, lambda c: c.read_bytes(b"II*\0", xmp="all"), 400, "xmp takes parsed, raw or toolkit"),
    (TOKEN, lambda c: c.read_bytes(b"II*\0", time_zone="Mars/Olympus"), 400, "reads DateTimes in"),
    (TOKEN, lambda c: list(c.scan(["http://127.0.0.1:1/a.tif"])), 403, "is not among the hosts"),
])
def test_refusals_say_why(url, token, call, status, words):
    with pytest.raises(zudor.ServiceError) as refused:
        call(zudor.Client(url, token=token))
    assert refused.value.status == status and words in str(refused.value)
    assert TOKEN not in str(refused.value)


def test_an_unreachable_service_and_a_wrong_url():
    with pytest.raises(ValueError):
        zudor.Client("127.0.0.1:8750")
    # Port 1 on loopback: nothing listens there unprivileged.
    with pytest.raises(zudor.ServiceError, match="cannot reach the service"):
        zudor.Client("http://127.0.0.1:1").read_bytes(b"")
    assert not zudor.Client("http://127.0.0.1:1").ready()
