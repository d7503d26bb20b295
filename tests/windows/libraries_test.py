"""The static libcurl and SQLite of the Windows build under Wine (libraries_check.cpp): an HTTPS
GET over Schannel from a loopback nginx trusted through a CA file, and refused with another CA's
file; an FTS5 query on a catalogue file that Linux's SQLite then reads alike, built with Debian's
compile options.
    libraries_test.py CHECK_EXE WINE"""
import os
import sqlite3
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
import servers  # noqa: E402

# Options that name the platform rather than a choice: the compiler, and the mutexes each
# platform's build picks for itself.
PLATFORM_OPTIONS = ("COMPILER=", "MUTEX_")
BODY = "zudor over schannel"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_check(check, wine, *args):
    done = subprocess.run([wine, check, *args], capture_output=True, text=True, timeout=120,
                          env=servers.without_proxies(os.environ))
    if done.returncode != 0:
        sys.exit("libraries_check %s exited %d: %s%s" % (args[0], done.returncode, done.stdout, done.stderr))
    return done.stdout.splitlines()


def check_https(check, wine, work):
    root = os.path.join(work, "root")
    os.makedirs(root)
    with open(os.path.join(root, "served.txt"), "w") as f:
        f.write(BODY)
    other = os.path.join(work, "other")
    os.makedirs(other)
    other_cert, _ = servers.make_certificate(other)
    with servers.Nginx(root, os.path.join(work, "nginx")) as nginx:
        # By name: this libcurl matches a certificate's DNS names only, not its IP addresses.
        url = nginx.https.replace("127.0.0.1", "localhost") + "/served.txt"
        lines = run_check(check, wine, "https", url, windows_path(nginx.cert), windows_path(other_cert))
    probes = dict(line.split(": ", 1) for line in lines)
    print("https: " + "; ".join("%s: %s" % item for item in probes.items()))
    # Without a CA file, Windows' store alone: no path of the machine that built libcurl.
    expected = {"tls": "Schannel", "default ca file": "none", "default ca folder": "none",
                "ca file": "ok 206 HTTP/1.1 " + BODY}
    for probe, want in expected.items():
        if probes.get(probe) != want:
            sys.exit("%s: expected %r, got %r" % (probe, want, probes.get(probe)))
    # Trust comes from the CA file alone, not from any file given.
    if not probes.get("other ca file", "").startswith("error 60 "):
        sys.exit("other ca file: expected CURLE_PEER_FAILED_VERIFICATION, got %r" % probes.get("other ca file"))


def check_sqlite(check, wine, work):
    path = os.path.join(work, "catalogue.db")
    lines = run_check(check, wine, "sqlite", windows_path(path))
    matches = [line for line in lines if line.startswith("match ")]
    if matches != ["match 3 Harbour at dawn"]:
        sys.exit("FTS5 query on Windows: %r" % lines)
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT rowid, title FROM search WHERE search MATCH 'title:harbour AND ada'").fetchall()
        if rows != [(3, "Harbour at dawn")]:
            sys.exit("FTS5 query on Linux of the file Windows wrote: %r" % rows)
        linux = {row[0] for row in db.execute("PRAGMA compile_options")}
    windows = {line[len("option "):] for line in lines if line.startswith("option ")}
    mine = {o for o in windows if not o.startswith(PLATFORM_OPTIONS)}
    debian = {o for o in linux if not o.startswith(PLATFORM_OPTIONS)}
    if mine != debian:
        sys.exit("SQLite's compile options differ from Debian's: only on Windows %s, only on Linux %s"
                 % (sorted(mine - debian), sorted(debian - mine)))
    print("sqlite: FTS5 query alike on both platforms; %d compile options as Debian's (%s on Windows)"
          % (len(mine), ", ".join(sorted(windows - mine))))


def main():
    check, wine = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        check_https(check, wine, work)
        check_sqlite(check, wine, work)


if __name__ == "__main__":
    main()
