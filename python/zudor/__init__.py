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
"""
from __future__ import annotations

import os as _os
import typing as _t

from . import _zudor

__all__ = ["read", "read_bytes", "scan", "update_catalog", "CatalogueError", "Record", "PathLike"]
__version__ = _zudor.__version__

Record = _t.Dict[str, _t.Any]
PathLike = _t.Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]


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


def _jobs(jobs: _t.Optional[int]) -> int:
    if jobs is None:
        return _os.cpu_count() or 1
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError("jobs must be a positive int or None, not %s" % type(jobs).__name__)
    if jobs < 1:
        raise ValueError("jobs must be at least 1, not %d" % jobs)
    return jobs


def _paths(inputs: _t.Union[PathLike, _t.Iterable[PathLike]]) -> _t.List[bytes]:
    if isinstance(inputs, (str, bytes, _os.PathLike)):
        inputs = [inputs]
    return [_os.fsencode(path) for path in inputs]


def read(path: PathLike, xmp: str = "parsed") -> Record:
    """Read one TIFF file and return its record.

    path  the file, as str, bytes or a path object; its bytes become the record's ``file``.
          An http(s):// URL or s3://bucket/key is read by ranged requests (the README's
          "Remote files": credentials from the AWS variables and profiles); ``file`` is
          then the URL without credentials or signing parameters
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

    Raises TypeError or ValueError for a wrong argument. The GIL is released while reading.
    """
    return _zudor.read(_os.fsencode(path), _xmp_mode(xmp))


def read_bytes(data: _t.Any, name: PathLike = "<bytes>", xmp: str = "parsed") -> Record:
    """Read one TIFF document already in memory (fetched from an object store, say).

    data  any contiguous bytes-like object (bytes, bytearray, memoryview, mmap, a NumPy
          array); it is read in place, not copied, and must not change during the call
    name  what the record's ``file`` says
    xmp   "parsed", "toolkit" or "raw", as for read()

    The record is the one read() gives for a file holding the same bytes.
    """
    return _zudor.read_bytes(data, _os.fsencode(name), _xmp_mode(xmp))


def scan(inputs: _t.Union[PathLike, _t.Iterable[PathLike]], jobs: _t.Optional[int] = None,
         xmp: str = "parsed", any_file: bool = False) -> _t.Iterator[Record]:
    """Read many files and yield their records in input order, as ``sievecheck -i`` does.

    inputs    a path or an iterable of paths: files, and directories, walked depth first
              with every file below them in the order of their sorted paths (links to
              directories are not followed); "-" is one document read from standard input;
              URLs, s3://bucket/key, and s3://bucket/prefix/ for every key below it, are
              fetched by ranges on one I/O thread, many requests at once, ahead of the
              reading threads
    jobs      documents read in parallel on native threads, without the GIL (None: every
              core); the records and their order are the same for every value
    xmp       "parsed", "toolkit" or "raw", as for read()
    any_file  hand every file to the reader, whatever its first bytes. Otherwise a file met
              in a directory that is not a classic TIFF is skipped, and one named in inputs
              gets a record with its error

    Memory does not grow with the number of files: each thread has a few batches of
    documents in flight. Arguments are checked at once; the reading starts with the call and
    stops when the iterator is exhausted, closed or dropped.
    """
    return _records(_zudor.Scanner(_paths(inputs), _jobs(jobs), _xmp_mode(xmp), bool(any_file)))


class CatalogueError(RuntimeError):
    """A catalogue that cannot be used: not a catalogue, corrupt, of a newer version, being
    updated by another run, on a full or read-only disk, or made with other options."""


def update_catalog(path: PathLike, inputs: _t.Union[PathLike, _t.Iterable[PathLike]],
                   jobs: _t.Optional[int] = None, xmp: _t.Optional[str] = None,
                   any_file: bool = False, wait: bool = False) -> _t.Dict[str, int]:
    """Bring the SQLite catalogue at path up to date with inputs, as ``sievecheck --catalog``.

    path      the catalogue, made when missing; an ordinary SQLite file for ``sqlite3`` or pandas
              (its tables are described in the README)
    inputs    files and directories, as for scan(); the catalogue keeps the records of these
              inputs alone, so a later run with other inputs removes the others' records
    jobs      documents read in parallel (None: every core)
    xmp       "parsed" or "raw"; None keeps the catalogue's own (parsed for a new one). A
              catalogue keeps the mode it was made with and refuses another
    any_file  as for scan(); a catalogue keeps it too
    wait      wait for another run that updates the catalogue rather than fail

    A file whose size, modification time and inode are the ones catalogued is not read at
    all. Records are committed in batches: a run stopped at any point keeps every committed
    batch and the next run goes on from there. Returns the counts of documents: ``new``,
    ``changed``, ``unchanged`` and ``removed``. Raises CatalogueError when the catalogue
    cannot be used, TypeError or ValueError for a wrong argument.
    """
    xmp_mode = 0 if xmp is None else _xmp_mode(xmp)
    try:
        return _zudor.update_catalog(_os.fsencode(path), _paths(inputs), _jobs(jobs), xmp_mode,
                                     bool(any_file), bool(wait))
    except RuntimeError as error:
        raise CatalogueError(str(error)) from None


def _records(scanner: _t.Any) -> _t.Iterator[Record]:
    try:
        while True:
            batch = scanner.next_batch()
            if batch is None:
                return
            yield from batch
    finally:
        scanner.close()
