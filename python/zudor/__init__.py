"""Read the metadata of TIFF files through the ZUDOR reader module.

Each document becomes a record: a dict with the keys ``file``, ``summary``, ``title``,
``author``, ``createTime``, ``properties``, ``xmp`` and ``error``, in that order, equal to the
parsed JSON record that ``sievecheck --format json`` writes for the same file.

    >>> import zudor
    >>> zudor.read("samples/sample.tif")["title"]
    'Harbour at dawn'
    >>> for record in zudor.scan(["samples"], jobs=2):
    ...     print(record["file"], record["summary"])
    samples/sample.tif complete

``zudor.update_catalog`` keeps the records in an SQLite catalogue that later runs bring up to
date, reading only what changed. ``zudor.dask`` spreads a scan over a Dask cluster.

URLs (http://, https://, s3://) are read like paths. ``scan``, ``update_catalog`` and
``zudor.dask.read_metadata`` take the remote options of ``sievecheck``, ``read`` all but
connections (it fetches one document):

    ca_file          certificates (PEM) to trust instead of the system's store; None: the file
                     AWS_CA_BUNDLE names, if any
    timeout          seconds to connect, and to wait for a byte of an answer (0.1 to 3600; 10)
    retries          tries again after a failed request (0 to 20; 4)
    connections      requests in flight for a scan (1 to 1024; 32)
    no_sign_request  send S3 requests unsigned, for public buckets (AWS_NO_SIGN_REQUEST=true
                     does the same)

A wrong argument raises TypeError or ValueError at once, as does a CA file that cannot be read
when something is to be read remotely. ZudorError, a RuntimeError, is the base of the
package's own errors: CatalogueError, and a scan whose threads the system cannot start.
"""
from __future__ import annotations

import importlib.util as _importlib_util
import os as _os
import typing as _t
import warnings as _warnings

try:
    from . import _zudor
except ImportError:
    # Python's own words for a missing extension blame a circular import.
    if _importlib_util.find_spec(__name__ + "._zudor") is not None:
        raise
    raise ImportError("the zudor package's native extension (_zudor) is not built: build it "
                      "with cmake --build build/default --target zudor_python (scripts/demo "
                      "and scripts/check do)") from None

__all__ = ["read", "read_bytes", "scan", "update_catalog", "Client", "ServiceError", "ZudorError", "CatalogueError",
           "NoDocumentWarning", "Record", "PathLike"]
__version__ = _zudor.__version__

Record = _t.Dict[str, _t.Any]
PathLike = _t.Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]

ZudorError = _zudor.ZudorError
CatalogueError = _zudor.CatalogueError


def __dir__() -> _t.List[str]:
    # The API, not the helpers and imports the package works with.
    return sorted(__all__ + ["__version__"])

_XMP_MODES = {"parsed": _zudor.XMP_PARSED, "toolkit": _zudor.XMP_TOOLKIT, "raw": _zudor.XMP_RAW}


def _xmp_mode(xmp: str) -> int:
    if not isinstance(xmp, str):
        raise TypeError("xmp must be 'parsed', 'toolkit' or 'raw', not %s" % type(xmp).__name__)
    try:
        return _XMP_MODES[xmp]
    except KeyError:
        raise ValueError("xmp must be 'parsed', 'toolkit' or 'raw', not %r" % xmp) from None


# Types are checked here; ranges, defaults and what goes with what are the run rules of the
# library, the same as sievecheck's (_zudor.check_run raises ValueError in this package's words).
def _int(name: str, value: _t.Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    return value


def _seconds(name: str, value: _t.Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number of seconds, not %s" % (name, type(value).__name__))
    return float(value)


def _jobs(jobs: _t.Optional[int]) -> int:
    # A system that cannot start the threads is a ZudorError.
    if jobs is None:
        return _zudor.default_jobs()
    _zudor.check_run({"jobs": _int("jobs", jobs)}, False, "")
    return jobs


_Remote = _t.Tuple[bytes, float, int, int, bool]


def _remote(ca_file: _t.Optional[PathLike] = None, timeout: _t.Optional[float] = None,
            retries: _t.Optional[int] = None, connections: _t.Optional[int] = None,
            no_sign_request: bool = False) -> _Remote:
    # sievecheck's --ca-file, --timeout, --retries and --connections, with the same ranges and defaults.
    if ca_file is None:
        ca = b""
    elif isinstance(ca_file, (str, bytes, _os.PathLike)):
        ca = _os.fsencode(ca_file)
        if not ca:
            raise ValueError("ca_file must name a file, or be None for the default")
    else:
        raise TypeError("ca_file must be a path or None, not %s" % type(ca_file).__name__)
    # None takes the library's default, as leaving out the flag does.
    numbers = {}
    if timeout is not None:
        numbers["timeout"] = _seconds("timeout", timeout)
    if retries is not None:
        numbers["retries"] = _int("retries", retries)
    if connections is not None:
        numbers["connections"] = _int("connections", connections)
    _zudor.check_run(numbers, False, "")
    for name in ("timeout", "retries", "connections"):
        numbers.setdefault(name, _zudor.option_default(name))
    return (ca, float(numbers["timeout"]), int(numbers["retries"]), int(numbers["connections"]),
            bool(no_sign_request))


_Isolation = _t.Tuple[bool, float, int]


def _isolation(isolate: bool = False, document_timeout: _t.Optional[float] = None,
               document_memory: _t.Optional[int] = None) -> _Isolation:
    # sievecheck's --isolate, --document-timeout and --document-memory, with their ranges.
    if not isinstance(isolate, bool):
        raise TypeError("isolate must be True or False, not %s" % type(isolate).__name__)
    # A cap given where it cannot hold is refused, as sievecheck refuses it without --isolate.
    numbers = {}
    if document_timeout is not None:
        numbers["document_timeout"] = _seconds("document_timeout", document_timeout)
    if document_memory is not None:
        numbers["document_memory"] = _int("document_memory", document_memory)
    _zudor.check_run(numbers, isolate, "")
    return (isolate, float(numbers.get("document_timeout", _zudor.option_default("document_timeout"))),
            int(numbers.get("document_memory", _zudor.option_default("document_memory"))))


def _zone(time_zone: _t.Optional[str]) -> str:
    # The zone of this call alone ("" for the process's own): the process's zone is never set.
    if time_zone is None:
        return ""
    if not isinstance(time_zone, str):
        raise TypeError("time_zone must be a zone name such as 'Europe/Berlin' or None, not %s"
                        % type(time_zone).__name__)
    if not time_zone:
        raise ValueError("time_zone must name a zone such as 'Europe/Berlin', or be None for the process's")
    _zudor.check_run({}, False, time_zone)
    return time_zone


def _path(path: PathLike) -> bytes:
    # A NUL would end the name the system sees while the record named the whole: refused, as
    # Python's open refuses it.
    name = _os.fsencode(path)
    if b"\0" in name:
        raise ValueError("embedded null byte in path %r" % (path,))
    return name


def _paths(inputs: _t.Union[PathLike, _t.Iterable[PathLike]]) -> _t.List[bytes]:
    if isinstance(inputs, (str, bytes, _os.PathLike)):
        inputs = [inputs]
    return [_path(path) for path in inputs]


def read(path: PathLike, xmp: str = "parsed", *, ca_file: _t.Optional[PathLike] = None,
         timeout: _t.Optional[float] = None, retries: _t.Optional[int] = None, no_sign_request: bool = False,
         time_zone: _t.Optional[str] = None, isolate: bool = False, document_timeout: _t.Optional[float] = None,
         document_memory: _t.Optional[int] = None) -> Record:
    """Read one TIFF file and return its record.

    path  the file, as str, bytes or a path object; its bytes become the record's ``file``.
          An http(s):// URL or s3://bucket/key is read by ranged requests (the README's
          "Remote files": credentials from the AWS variables and profiles); ``file`` is
          then the URL without credentials or signing parameters. ca_file, timeout, retries
          and no_sign_request are as the package's help tells, and hold for this call alone
    xmp   "parsed": ``xmp`` holds ``packetBytes`` and the packet's simple ``properties`` as
          [path, value] pairs, as the XMP toolkit lists them, each packet read on its own;
          "toolkit": the same, read by the XMP toolkit (Exempi) itself, whose namespace
          prefixes depend on the packets it read before; "raw": ``packetBytes`` and the
          packet's text as ``packet``

    A file that cannot be read is not an exception: its record says why in ``error`` ("not a
    TIFF file", "BigTIFF is not supported", the system's reason, ...). ``summary`` is
    "complete", "partial" (only the reader's second retrieval succeeded) or "none".
    ``createTime`` is the first DateTime, read as local time and given in UTC
    ("2024-02-29T13:45:00Z"), or None. Bytes that are not UTF-8 are read as Latin-1.
    ``warnings`` says what went wrong where the summary is not complete ("the first DateTime,
    "...", is not of the form YYYY:MM:DD HH:MM:SS"), or what was left out of a complete one;
    a file name that is not UTF-8 is given exactly, in base64, as ``fileBytes``.

    time_zone  read DateTimes in this zone ("Europe/Berlin", "UTC", or a POSIX rule such as
               "EST5EDT"), not the process's, for this call alone; the functions below take it
               alike. The C library converts in one zone per process, so while such a call
               reads a document, reads in other zones wait, and the process's zone is put back
               once it is done

    isolate  read each document in a reader process of its own, as ``sievecheck
             --isolate``: the module never runs in this process, no reader sees another
             call's or another document's bytes, and a document
             that crashes the reader, takes longer than document_timeout seconds (0.1 to
             86400; default 60) or holds more than document_memory MiB (0 for no cap; default
             1024) gives a record whose ``error`` says so; both are refused without isolate.
             On Linux the worker runs in a sandbox.

    Raises TypeError or ValueError for a wrong argument, or for a URL, a CA file that cannot
    be read, and ZudorError when the worker cannot start. The GIL is released while reading.
    """
    remote = _remote(ca_file, timeout, retries, no_sign_request=no_sign_request)
    isolation = _isolation(isolate, document_timeout, document_memory)
    return _zudor.read(_path(path), _xmp_mode(xmp), remote, isolation, _zone(time_zone))


def read_bytes(data: _t.Any, name: PathLike = "<bytes>", xmp: str = "parsed", *,
               time_zone: _t.Optional[str] = None, isolate: bool = False,
               document_timeout: _t.Optional[float] = None, document_memory: _t.Optional[int] = None) -> Record:
    """Read one TIFF document already in memory (fetched from an object store, say).

    data  any contiguous bytes-like object (bytes, bytearray, memoryview, mmap, a NumPy
          array); it is read in place, not copied, and must not change during the call
    name  what the record's ``file`` says
    xmp   "parsed", "toolkit" or "raw", as for read()

    The record is the one read() gives for a file holding the same bytes. isolate,
    document_timeout and document_memory are as for read(); isolated, the bytes are copied
    to the worker.
    """
    isolation = _isolation(isolate, document_timeout, document_memory)
    return _zudor.read_bytes(data, _os.fsencode(name), _xmp_mode(xmp), isolation, _zone(time_zone))


def scan(inputs: _t.Union[PathLike, _t.Iterable[PathLike]], jobs: _t.Optional[int] = None,
         xmp: str = "parsed", any_file: bool = False, *, ca_file: _t.Optional[PathLike] = None,
         timeout: _t.Optional[float] = None, retries: _t.Optional[int] = None, connections: _t.Optional[int] = None,
         no_sign_request: bool = False, time_zone: _t.Optional[str] = None, isolate: bool = False,
         document_timeout: _t.Optional[float] = None, document_memory: _t.Optional[int] = None) -> _t.Iterator[Record]:
    """Read many files and yield their records in input order, as ``sievecheck -i`` does.

    inputs    a path or an iterable of paths: files, and directories, walked depth first
              with every file below them in the order of their sorted paths (links to
              directories are not followed); "-" is one document read from standard input;
              URLs, s3://bucket/key, and s3://bucket/prefix/ for every key below it, are
              fetched by ranges on one I/O thread, many requests at once, ahead of the
              reading threads
    jobs      documents read in parallel on native threads, without the GIL, 1 to 256
              (None: every core); the records and their order are the same for every value
    xmp       "parsed", "toolkit" or "raw", as for read()
    any_file  hand every file to the reader, whatever its first bytes. Otherwise a file met
              in a directory that is not a classic TIFF is skipped, and one named in inputs
              gets a record with its error

    ca_file, timeout, retries, connections and no_sign_request are as the package's help
    tells; isolate, document_timeout and document_memory as for read(), with a worker
    process per thread. Memory does not grow with the number of files: each thread has a few batches of
    documents in flight. Arguments are checked at once; the reading starts with the call and
    stops when the iterator is exhausted, closed or dropped. Raises ZudorError when the
    system cannot start the threads.
    """
    remote = _remote(ca_file, timeout, retries, connections, no_sign_request)
    isolation = _isolation(isolate, document_timeout, document_memory)
    zone = _zone(time_zone)
    paths = _paths(inputs)
    return _records(_zudor.Scanner(paths, _jobs(jobs), _xmp_mode(xmp), bool(any_file), remote, isolation, zone),
                    paths)


def update_catalog(path: PathLike, inputs: _t.Union[PathLike, _t.Iterable[PathLike]],
                   jobs: _t.Optional[int] = None, xmp: _t.Optional[str] = None,
                   any_file: bool = False, wait: bool = False, *,
                   forget: _t.Union[PathLike, _t.Iterable[PathLike]] = (),
                   ca_file: _t.Optional[PathLike] = None, timeout: _t.Optional[float] = None,
                   retries: _t.Optional[int] = None, connections: _t.Optional[int] = None,
                   no_sign_request: bool = False,
                   time_zone: _t.Optional[str] = None, isolate: bool = False,
                   document_timeout: _t.Optional[float] = None, document_memory: _t.Optional[int] = None) -> _t.Dict[str, int]:
    """Bring the SQLite catalogue at path up to date with inputs, as ``sievecheck --catalog``.

    path       the catalogue, made when missing; an ordinary SQLite file for ``sqlite3`` or
               pandas (its tables are described in the README)
    inputs     files and directories, as for scan(). The catalogue keeps the records of inputs
               a run does not name; inputs relate by their names as given, so a path inside an
               input the catalogue has updates that input's files below it, and an input that
               contains others takes them over
    jobs       documents read in parallel, 1 to 256 (None: every core)
    xmp        "parsed" or "raw"; None keeps the catalogue's own (parsed for a new one). A
               catalogue keeps the mode it was made with and refuses another
    any_file   as for scan(); a catalogue keeps it too
    wait       wait for another run that updates the catalogue rather than fail
    forget     inputs, or paths inside one, whose records are dropped first (``--forget``);
               inputs may then be empty
    time_zone  as for scan(). A catalogue keeps the zone it was first filled in and refuses
               another; None takes the catalogue's zone, for this call alone as a zone given

    A file whose size, modification time and inode are the ones catalogued is not read at
    all. Records are committed in batches: a run stopped at any point keeps every committed
    batch and the next run goes on from there. The remote options and isolate,
    document_timeout and document_memory are as for scan(). Returns the counts of documents:
    ``new``, ``changed``, ``unchanged``, ``removed``, ``untouched`` (kept, as the inputs did
    not cover them) and ``reread`` (read again though unchanged: modified within 2 s of the run
    that read them, too recently for their times to show a later change). Raises CatalogueError
    when the catalogue cannot be used, ZudorError when the system cannot start the threads or the
    worker processes, TypeError or ValueError for a wrong argument.
    """
    xmp_mode = 0 if xmp is None else _xmp_mode(xmp)
    remote = _remote(ca_file, timeout, retries, connections, no_sign_request)
    isolation = _isolation(isolate, document_timeout, document_memory)
    zone = _zone(time_zone)
    return _zudor.update_catalog(_path(path), _paths(inputs), _paths(forget), _jobs(jobs),
                                 xmp_mode, bool(any_file), bool(wait), zone,
                                 remote, isolation)


class NoDocumentWarning(UserWarning):
    """A directory, S3 prefix or list named to scan() gave no document: empty, a typo, or
    nothing in it a TIFF file."""


def _records(scanner: _t.Any, paths: _t.Sequence[bytes] = ()) -> _t.Iterator[Record]:
    try:
        while True:
            batch = scanner.next_batch()
            if batch is None:
                break
            yield from batch
        # Every named input accounts for itself, as with sievecheck; one named twice once.
        for index, met in scanner.quiet():
            path = paths[index]
            if path == b"-" or path in paths[:index]:
                continue
            _warn_no_document(path, met, stacklevel=2)
    finally:
        scanner.close()


def _warn_no_document(path: bytes, met: int, stacklevel: int) -> None:
    shown = _os.fsdecode(path)
    prefix = shown.lower().startswith(("s3://", "http://", "https://"))
    if met == 0:
        why = "no key under this prefix" if prefix else "no file in this directory or below it"
    elif met == 1:
        why = "its one %s is not a TIFF file (any_file=True reads every file)" % ("key" if prefix else "file")
    else:
        why = "none of its %d %s is a TIFF file (any_file=True reads every file)" % (met, "keys" if prefix else "files")
    _warnings.warn("%s: %s" % (shown, why), NoDocumentWarning, stacklevel=stacklevel + 1)


# A service's records, as the functions above give them (zudor-serve).
from .client import Client, ServiceError  # noqa: E402
