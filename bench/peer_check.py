"""Whether a run may stand as a figure. A peer that cannot start, ends with an error or reads
less than it was given is shown as failed, with the reason, in place of its figures: a reader
that died at its import once showed as the fastest of all.

  trial            one untimed run before any timing: a missing program or module shows here
  run_failure      the reason a finished run failed (exit status or signal, its last message)
  time_failure     the same for a run under /usr/bin/time, and the figures time wrote
  trial_document   a document to try every reader on, and the values any of them must print
  trial_folder     a folder holding that document alone
  missing_value    the first of those values a reader's output lacks
  shown            a table's cell: the figure, or "failed: <reason>"
"""
import json
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tiff_layout import minimum_io  # noqa: E402


def exit_reason(code):
    """"exit status 1" or "killed by SIGSEGV" for a return code as subprocess gives it."""
    if code < 0:
        try:
            return "killed by %s" % signal.Signals(-code).name
        except ValueError:
            return "killed by signal %d" % -code
    return "exit status %d" % code


def last_line(text, limit=160):
    """The last line a program wrote, which names what ended it (a traceback's last line is the
    exception), shortened to fit in a table's cell."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    lines = [line.strip() for line in (text or "").splitlines() if line.strip()]
    line = lines[-1].replace("|", "/") if lines else ""
    return line if len(line) <= limit else line[:limit - 3] + "..."


def run_failure(code, messages=""):
    """None for a run that ended well, else why it did not."""
    if code == 0:
        return None
    line = last_line(messages)
    return exit_reason(code) + (": " + line if line else "")


def time_failure(code, messages):
    """For a run under /usr/bin/time: (why it failed or None, the line of figures GNU time wrote
    last). A failed run's own messages come before a line of time's that restates its status."""
    if isinstance(messages, bytes):
        messages = messages.decode("utf-8", "replace")
    lines = messages.strip().splitlines()
    own = [line for line in lines[:-1] if not line.startswith("Command exited with non-zero status")]
    return run_failure(code, "\n".join(own)), lines[-1] if lines else ""


def wrong(what):
    return "wrong answer: " + what


def trial(cmd, timeout=300, **kw):
    """One untimed run of cmd: (the reason it failed or None, what it printed or None)."""
    try:
        done = subprocess.run(cmd, capture_output=True, timeout=timeout, **kw)
    except FileNotFoundError:
        return "not installed: %s" % cmd[0], None
    except OSError as error:
        return "could not start %s: %s" % (cmd[0], error.strerror), None
    except subprocess.TimeoutExpired:
        return "no end after %d s" % timeout, None
    return run_failure(done.returncode, done.stderr), done


def text_values(record):
    """The title, author and property values of one sievecheck JSON record, of four characters
    or more (shorter ones could turn up in any output by chance)."""
    values = [record.get("title"), record.get("author")]
    values += [value for _, value in record.get("properties") or []]
    return [v for v in values if isinstance(v, str) and len(v) >= 4]


def trial_document(sievecheck, paths):
    """The first of paths that is one page without XMP, whose record holds two text values or
    more, and those values. Every reader prints what it found in such a page, with no second
    page whose tags a reader might show instead of the first's."""
    for path in paths:
        with open(path, "rb") as f:
            layout = minimum_io(f.read())
        if not layout or layout["ifds"] != 1:
            continue
        done = subprocess.run([sievecheck, "-i", path, "-", "--format", "json", "--xmp", "raw", "--quiet"],
                              capture_output=True, text=True)
        if done.returncode != 0 or not done.stdout.strip():
            continue
        record = json.loads(done.stdout.splitlines()[0])
        values = text_values(record)
        if record.get("summary") == "complete" and record.get("xmp") is None and len(values) >= 2:
            return path, values
    sys.exit("no one-page document to try the readers on among %d files" % len(paths))


def trial_folder(sievecheck, paths, folder):
    """folder made afresh to hold a copy of the trial document alone: the reader's command over
    it is the one it is timed with, over one document. Returns the copy's path and its values."""
    path, values = trial_document(sievecheck, paths)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(path, folder)
    return os.path.join(folder, os.path.basename(path)), values


def pages_under(root):
    """The IFDs of every file under root, as the layout chains them."""
    pages = 0
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                layout = minimum_io(f.read())
            pages += layout["ifds"] if layout else 0
    return pages


def tifffile_pages(text):
    """The pages peers/tifffile_read.py read, or None where a file failed (its error stands in
    place of its pages)."""
    pages = 0
    for line in text.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            return None
        if not isinstance(record.get("pages"), list):
            return None
        pages += len(record["pages"])
    return pages


def missing_value(output, values):
    """The first of values that output holds neither as it is nor as JSON writes it, else None."""
    if isinstance(output, bytes):
        output = output.decode("utf-8", "replace")
    for value in values:
        if value not in output and json.dumps(value)[1:-1] not in output:
            return value
    return None


def value_failure(output, values):
    """The wrong answer of a reader that did not print a value sievecheck read, else None."""
    value = missing_value(output, values)
    return wrong("%r, which sievecheck reads, is not in its output" % value) if value is not None else None


def count_failure(found, expected, what):
    """The wrong answer of a reader that read another number of documents (or pages), else None."""
    if found == expected:
        return None
    return wrong("read {} of {:,} {}".format("none" if found is None else "{:,}".format(found), expected, what))


def shown(row, figure):
    """A table's cell: figure(row), or "failed: <reason>" for a row that holds a failure."""
    if row is None:
        return "–"
    if row.get("failed"):
        return "failed: %s" % row["failed"]
    return figure(row)


def failed_row(name, reason, **fields):
    """A row with its reason in place of its figures."""
    row = {"name": name}
    row.update(fields)
    row["failed"] = reason
    return row
