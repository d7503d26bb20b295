#!/usr/bin/env python3
"""sievecheck.exe --isolate under Wine with the misbehaving module: a crash and an endless loop
end as that document's record, every other record is the in-process one, and a reader sees
none of the environment's credentials. Wine 8 keeps no count of a job's memory and lets a
job's process start others (JOB_OBJECT_LIMIT_PROCESS_MEMORY, ACTIVE_PROCESS): the memory
cap and the refusal of a process are not tried here.

    wine_isolation_test.py SIEVECHECK.EXE MISBEHAVING.DLL WINE
"""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from documents import write_documents  # noqa: E402

# (marker, the marked documents' error, the time limit): a crash must be named as a crash
# however long a limit it is given; an endless loop costs its limit, which a plain document
# under Wine on a loaded machine stays far below.
ROWS = [("CRASH", "the reader crashed (access violation, 0xC0000005)", 600),
        ("HANG", "the reader took longer than 10 s", 10),
        ("ENVIRONMENT", None, 600)]  # nothing to refuse: the reader's environment holds no secret


def records(wine, command, cwd):
    env = dict(os.environ, TZ="UTC", AWS_SECRET_ACCESS_KEY="zudor-test-secret")
    done = subprocess.run([wine] + command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=900)
    return done.returncode, done.stdout


def main():
    sievecheck, module, wine = sys.argv[1:4]
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for marker, error, limit in ROWS:
            docs = os.path.join(tmp, marker.lower())
            write_documents(docs, 6, marked=lambda i: i in (1, 4), marker=marker)
            base = [sievecheck, "-i", docs, "-", "--format", "json", "--quiet", "-j", "1"]
            _, plain = records(wine, base, tmp)
            status, isolated = records(wine, base + ["--isolate", "--module", "Z:" + module,
                                                     "--document-timeout", str(limit)], tmp)
            want, got = plain.splitlines(), isolated.splitlines()
            problems = []
            if len(got) != 6:
                problems.append("%d records, not 6" % len(got))
            for i, (a, b) in enumerate(zip(want, got)):
                if error is None or i not in (1, 4):
                    if a != b:
                        problems.append("record %d differs: %s" % (i, b[:120]))
                elif json.loads(b)["error"] != error:
                    problems.append("record %d: %s" % (i, json.loads(b)["error"]))
            if error is not None and status != 1:
                problems.append("exit status %d" % status)
            if b"zudor-test-secret" in isolated:
                problems.append("the secret reached the records")
            print("%s: %s" % (marker, "; ".join(problems) or "as expected"))
            failures += bool(problems)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
