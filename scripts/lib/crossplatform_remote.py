#!/usr/bin/python3
"""Remote inputs and catalogues on both platforms (scripts/legs/35-crossplatform.sh):

  crossplatform_remote.py LINUX WINDOWS SEED_CORPUS WORK

LINUX is the Linux sievecheck, WINDOWS sievecheck.exe (run with `wine`), SEED_CORPUS the
program that writes the fuzz seeds. Over one tree in WORK (the four layouts of
tests/remote/layouts.py and ordinary documents, some under names that are not ASCII), served by
a loopback nginx and the S3 endpoint of tests/remote, both tools must write the same bytes:
records of every file as http and https URLs (https by name, `localhost`, trusting the test's
certificate through --ca-file) and of the bucket's prefixes, with the same messages and exit
status, asking the servers for the same ranges; and of objects the endpoint fails on purpose,
each ending in the same record. Then each builds a catalogue of the tree and a prefix: the
exports of both are the same bytes whichever platform reads which catalogue, a second run
on Windows over the unchanged tree reads nothing and fetches nothing but the listing, and each
platform updates the other's catalogue to the same records. Prints
what it compared; exits with the difference otherwise."""
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "remote"))
import layouts  # noqa: E402
import servers  # noqa: E402
from crossplatform import write_dates  # noqa: E402

# Files' times are set well in the past: a file changed within 2 s of being catalogued is read
# again by the next run, which would hide what the re-scan must show.
OLD = time.mktime((2024, 2, 29, 12, 0, 0, 0, 0, 0))
PLATFORMS = ("linux", "windows")
# Objects of faults/ and what the endpoint does to them: what the transfers make of each (retries,
# backoff, Retry-After, timeouts, resets) must end in the same record on both platforms.
FAULTS = [
    ("a.tif", {"kind": "status", "status": 503, "count": 2, "retry_after": "1"}, None),
    ("b.tif", {"kind": "status", "status": 500}, "server error: HTTP 500 (InternalError) (gave up after 3 attempts)"),
    ("c.tif", {"kind": "status", "status": 429}, "too many requests: HTTP 429 (gave up after 3 attempts)"),
    ("d.tif", {"kind": "reset"}, "connection reset (gave up after 3 attempts)"),
    ("e.tif", {"kind": "truncate"}, "truncated response (gave up after 3 attempts)"),
    ("f.tif", {"kind": "status", "status": 403}, "access denied (AccessDenied)"),
    ("h.tif", {"kind": "ignore_range"}, None),
    ("i.tif", {"kind": "weak_etag"}, None),
]
# An answer that never comes, given up at a short --timeout; its run alone has that timeout, as
# an honest answer on a loaded machine (Wine's above all) may take longer than a second.
STALL = ("g.tif", {"kind": "stall", "seconds": 30},
         "transfer stalled (timed out waiting for data) (gave up after 3 attempts)")


class Differ(Exception):
    pass


def make_tree(tree, seed_corpus):
    archive = os.path.join(tree, "archive")
    layouts.make_all(os.path.join(archive, "lay"))
    docs = os.path.join(archive, "docs")
    os.makedirs(docs)
    subprocess.run([seed_corpus, docs], check=True, stdout=subprocess.DEVNULL)
    write_dates(os.path.join(docs, "dates"))
    shutil.copy(os.path.join(docs, "ii-every-tag.tif"), os.path.join(docs, "two words & more.tif"))
    with open(os.path.join(docs, "notes.txt"), "w") as f:
        f.write("not a TIFF")
    # Objects the S3 endpoint fails on purpose.
    os.makedirs(os.path.join(archive, "faults"))
    for name, _, _ in FAULTS + [STALL]:
        shutil.copy(os.path.join(archive, "lay", "two-pages.tif"), os.path.join(archive, "faults", name))
    # Outside the catalogued prefix: an empty object's first answer (416) carries no ETag, so a
    # catalogue fetches it again at every run, on both platforms.
    os.makedirs(os.path.join(archive, "edge"))
    open(os.path.join(archive, "edge", "empty.tif"), "wb").close()
    files = []
    for top, _, names in os.walk(archive):
        for name in names:
            path = os.path.join(top, name)
            os.utime(path, (OLD, OLD))
            files.append(os.path.relpath(path, tree).replace(os.sep, "/"))
    return sorted(files, key=lambda p: p.encode())


class Pair:
    """Both tools, the same arguments, from WORK; each run's output, messages and status kept
    in linux-NAME.* and windows-NAME.*. {platform} in an argument becomes the tool's platform."""

    def __init__(self, linux, windows, work):
        self.commands = {"linux": [linux], "windows": ["wine", windows]}
        self.work = work

    def one(self, platform, name, args, env, output=True):
        args = [a.replace("{platform}", platform) for a in args]
        out = "%s-%s.out" % (platform, name)
        command = self.commands[platform] + args + ([out] if output else [])
        with open(os.path.join(self.work, "%s-%s.err" % (platform, name)), "wb") as err:
            done = subprocess.run(command, cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=err, timeout=600)
        return {"out": self.read(out) if output else b"", "err": self.read("%s-%s.err" % (platform, name)),
                "status": done.returncode}

    def read(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def both(self, name, args, env, log=None, output=True, parts=("out", "err", "status"), before=None):
        """Runs both, each after before(); the requests log() gave after each go in "log".
        Differ unless the parts and the requests are alike."""
        got = {}
        for platform in PLATFORMS:
            if before:
                before()
            got[platform] = self.one(platform, name, args, env, output)
            got[platform]["log"] = log() if log else []
        for part in parts + (("log",) if log else ()):
            if got["linux"][part] != got["windows"][part]:
                raise Differ("%s: the platforms differ (%s):\n%s" % (name, part, difference(got, part)))
        return got["linux"]


def difference(got, part):
    a, b = got["linux"][part], got["windows"][part]
    if isinstance(a, bytes):
        a, b = a.decode(errors="replace").splitlines(), b.decode(errors="replace").splitlines()
    elif isinstance(a, list):
        a, b = [repr(x) for x in a], [repr(x) for x in b]
    else:
        a, b = [repr(a)], [repr(b)]
    lines = ["- %s" % x for x in a if x not in b][:10] + ["+ %s" % x for x in b if x not in a][:10]
    return "\n".join(lines) or "(the same lines in another order)"


def nginx_requests(nginx):
    """What was asked of nginx, as a multiset: each request (its protocol aside, which is
    HTTP/2 over TLS on Linux only), range, validator, status and bytes."""
    entries = nginx.log()
    return sorted((e["request"].rsplit(" ", 1)[0], e["range"], e["if_match"], e["status"], e["bytes"])
                  for e in entries)


def s3_requests(s3):
    return sorted((e["path"], e["range"] or "", e["if_match"] or "", e["status"], e["bytes"], bool(e["signed"]))
                  for e in s3.log())


def stats_lines(err):
    """The --stats lines that do not depend on the clock."""
    kept = []
    for line in err.decode().splitlines():
        if line.startswith("time "):
            continue
        kept.append(re.sub(r"; fetch time .*", "", line))
    return kept


def check(condition, message):
    if not condition:
        raise Differ(message)


def remote_runs(pair, files, nginx, s3, env, s3env):
    http = [nginx.http + "/" + urllib.parse.quote(f) for f in files] + [nginx.http + "/archive/missing.tif"]
    https = [u.replace(nginx.http, nginx.https.replace("127.0.0.1", "localhost")) for u in http]
    for name, urls in (("http", http), ("https", https)):
        with open(os.path.join(pair.work, name + ".txt"), "w", encoding="utf-8") as f:
            f.write("\n".join(urls) + "\n")
    common = ["--format", "json", "--quiet", "--jobs", "2"]
    nginx.log()
    got = pair.both("http", ["--files-from", "http.txt"] + common, env, log=lambda: nginx_requests(nginx))
    records = got["out"].count(b"\n")
    check(records == len(http) and got["status"] == 1, "http: %d records, exit status %d" % (records, got["status"]))
    check(b'"error":"not found"' in got["out"], "http: the missing URL's record does not say it is not found")
    requests = len(got["log"])
    pair.both("https", ["--files-from", "https.txt", "--ca-file", "ca.pem"] + common, env,
              log=lambda: nginx_requests(nginx))
    # Every key of the bucket, listed in pages, and a prefix that lists nothing.
    s3.log()
    got = pair.both("s3", ["-i", "s3://archive/", "-i", "s3://archive/typo/"] + common, s3env,
                    log=lambda: s3_requests(s3))
    check(b"s3://archive/typo/: no key under this prefix" in got["err"], "s3: the empty prefix went unsaid")
    check(all(entry[5] for entry in got["log"]), "s3: a request went unsigned")
    return records, requests, len(got["log"])


def fault_runs(pair, s3, s3env):
    """Faults, armed afresh for each platform; the records say how many attempts each took."""
    common = ["--format", "json", "--quiet", "--jobs", "2", "--retries", "2"]
    faulty = ["s3://archive/faults/" + name for name, _, _ in FAULTS] + ["s3://archive/faults/missing.tif"]
    runs = (("faults", FAULTS, faulty, ["--timeout", "60"]),
            ("stall", [STALL], ["s3://archive/faults/" + STALL[0]], ["--timeout", "1"]))
    for name, faults, keys, timeout in runs:
        arm = lambda: s3.faults([dict(fault, key="archive/faults/" + key) for key, fault, _ in faults])
        got = pair.both(name, sum((["-i", key] for key in keys), []) + common + timeout, s3env, before=arm)
        errors = [re.search(rb'"error":(null|"[^"]*")', line).group(1).decode().strip('"')
                  for line in got["out"].splitlines()]
        want = [error or "null" for _, _, error in faults] + ["not found (NoSuchKey)"] * (name == "faults")
        check(errors == want, "%s: the records say %s" % (name, errors))
    return len(faulty) + 1


def catalogue_runs(pair, s3, s3env):
    inputs = ["-i", "tree/archive", "-i", "s3://archive/docs/"]
    s3.log()
    got = pair.both("catalogue", ["--catalog", "{platform}.db", "--stats", "--quiet"] + inputs, s3env,
                    log=lambda: s3_requests(s3), output=False, parts=("status",))
    first = {p: stats_lines(pair.read("%s-catalogue.err" % p)) for p in PLATFORMS}
    check(first["linux"] == first["windows"], "catalogue: the runs' statistics differ: %s" % first)
    counts = first["linux"][-1]
    new = int(re.match(r"catalogue: new (\d+), changed 0, unchanged 0, removed 0, untouched 0$", counts).group(1))
    # Each platform's catalogue exported by both: four exports, one text.
    exports = {}
    for reader in PLATFORMS:
        for made in PLATFORMS:
            done = pair.one(reader, "export-%s" % made, ["--catalog", "%s.db" % made, "--export"], os.environ)
            check(done["status"] == 0 and done["err"] == b"",
                  "%s could not export %s's catalogue: %s" % (reader, made, done["err"].decode()))
            exports[(reader, made)] = done["out"]
    check(len(set(exports.values())) == 1,
          "catalogue exports differ: %s" % {k: len(v) for k, v in exports.items()})
    exported = exports[("linux", "linux")].count(b"\n")
    # Windows again over the unchanged tree: nothing read, only the listing fetched, and the
    # records it writes are the catalogue's.
    s3.log()
    again = pair.one("windows", "rescan", ["--catalog", "windows.db", "--stats", "--quiet", "--format", "json"]
                     + inputs, s3env)
    listed = s3_requests(s3)
    lines = stats_lines(again["err"])
    check(again["status"] == got["status"] and "reads 0, seeks 0, bytes read 0" in lines and
          lines[-1] == "catalogue: new 0, changed 0, unchanged %d, removed 0, untouched 0" % new,
          "the re-scan on Windows read again: %s" % lines)
    fetched = [entry[0] for entry in listed if "list-type=2" not in entry[0]]
    check(listed and not fetched, "the re-scan on Windows fetched more than the listing: %s" % fetched)
    check(again["out"] == exports[("linux", "linux")], "the re-scan's records are not the catalogue's")
    # Each platform updates the other's catalogue: the local files are read again, as each
    # platform knows files by identities of its own, the unchanged keys are not fetched, and the
    # records come out as they were.
    keys = sum(line.startswith(b'{"file":"s3://') for line in exports[("linux", "linux")].splitlines())
    for platform, made in (("windows", "linux"), ("linux", "windows")):
        s3.log()
        done = pair.one(platform, "update-%s" % made, ["--catalog", "%s.db" % made, "--stats", "--quiet"] + inputs,
                        s3env, output=False)
        fetched = [entry[0] for entry in s3_requests(s3) if "list-type=2" not in entry[0]]
        lines = stats_lines(done["err"])
        want = "catalogue: new 0, changed %d, unchanged %d, removed 0, untouched 0" % (new - keys, keys)
        check(done["status"] == got["status"] and lines and lines[-1] == want and not fetched,
              "%s updating %s's catalogue: exit status %d, %s, fetched %s" % (platform, made, done["status"], lines,
                                                                              fetched))
        export = pair.one("linux", "export-updated-%s" % made, ["--catalog", "%s.db" % made, "--export"], os.environ)
        check(export["out"] == exports[("linux", "linux")],
              "%s's catalogue, updated on %s, exports other records" % (made, platform))
    return new, exported, len(listed)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    linux, windows, seed_corpus, work = sys.argv[1:]
    os.makedirs(work, exist_ok=True)
    tree = os.path.join(work, "tree")
    files = make_tree(tree, seed_corpus)
    pair = Pair(os.path.abspath(linux), os.path.abspath(windows), work)
    start = time.monotonic()
    env = servers.without_proxies(dict(os.environ, TZ="UTC"))
    # Profile files that hold nothing: the credentials come from the environment alone.
    empty = os.path.join(work, "aws-empty")
    open(empty, "w").close()
    # The endpoint's complaints about connections a client reset, kept out of the leg's output.
    os.makedirs(os.path.join(work, "s3"))
    try:
        with open(os.path.join(work, "s3", "stderr.txt"), "wb") as chatter, \
                servers.Nginx(tree, os.path.join(work, "nginx")) as nginx, \
                servers.S3Server(tree, os.path.join(work, "s3"), page_size=20, stderr=chatter) as s3:
            shutil.copy(nginx.cert, os.path.join(work, "ca.pem"))
            s3env = dict(s3.env(AWS_CONFIG_FILE=empty, AWS_SHARED_CREDENTIALS_FILE=empty), TZ="UTC")
            records, requests, s3_requests_made = remote_runs(pair, files, nginx, s3, env, s3env)
            new, exported, listings = catalogue_runs(pair, s3, s3env)
            faults = fault_runs(pair, s3, s3env)
    except Differ as e:
        sys.exit("cross-platform (remote): %s" % e)
    print("cross-platform (remote): %d files as http and https URLs (%d records, %d requests each, the same "
          "ranges), the bucket's prefixes (%d requests) and %d objects failed on purpose, identical; catalogues of "
          "%d documents exported alike by both platforms (%d records), the re-scan on Windows reading nothing "
          "(%d listing requests), each platform updating the other's, in %.0f s" % (
              len(files), records, requests, s3_requests_made, faults, new, exported, listings,
              time.monotonic() - start))


if __name__ == "__main__":
    main()
