"""Spread a metadata scan over a Dask cluster.

    >>> from dask.distributed import Client, LocalCluster
    >>> import zudor.dask
    >>> client = Client(LocalCluster(n_workers=2))
    >>> bag = zudor.dask.read_metadata(["archive/"], partition_size=1000)
    >>> records = bag.compute()          # the records, in the order zudor.scan gives them
    >>> frame = bag.to_dataframe()       # one row per document

The client walks the directories (file names only, no file is opened) and lists S3
prefixes, and cuts the list into partitions; each partition's files are read with the
scanner of ``zudor.scan`` on the worker that runs it, so every worker must see the files
under the same paths (a shared or network file system, or a copy on each machine), or they
are URLs, which each worker fetches by ranges with the credentials of its own environment
and the remote options given to read_metadata.
"""
from __future__ import annotations

import uuid
from typing import Dict, Iterable, List, Optional, Tuple, Union

import dask.bag

from . import (PathLike, Record, _isolation, _Isolation, _paths, _records, _remote, _Remote, _warn_no_document,
               _xmp_mode, _zudor)

__all__ = ["read_metadata"]


def read_metadata(paths: Union[PathLike, Iterable[PathLike]], partition_size: int = 1000,
                  xmp: str = "parsed", *, ca_file: Optional[PathLike] = None,
                  timeout: Optional[float] = None, retries: Optional[int] = None,
                  connections: Optional[int] = None, no_sign_request: bool = False,
                  isolate: bool = False, document_timeout: Optional[float] = None,
                  document_memory: Optional[int] = None) -> dask.bag.Bag:
    """Return a ``dask.bag.Bag`` of the records of every file under paths.

    paths           a path or an iterable of paths: files, directories and URLs, taken as
                    zudor.scan takes them (directories walked and S3 prefixes listed in
                    sorted order, files that are not TIFF skipped there; a named file always
                    has a record)
    partition_size  files per partition, each read as one task
    xmp             "parsed", "toolkit" or "raw", as for zudor.read()

    ca_file, timeout, retries, connections and no_sign_request are those of zudor.scan():
    the client lists S3 prefixes with them and every worker fetches with them (a ca_file
    must be there under the same path on every worker; where it is None, each worker takes
    the AWS_CA_BUNDLE of its own environment). isolate, document_timeout and
    document_memory are those of zudor.scan(): each partition's task reads in a worker
    process of its own (zudor-worker must be installed on every Dask worker), so a document
    that crashes the reader costs its own record, not the Dask worker. Arguments are checked
    at once.

    Each record is the dict zudor.read() gives; in order, the bag holds what zudor.scan()
    yields for the same paths; a directory or S3 prefix with nothing in it is a
    zudor.NoDocumentWarning at once. ``bag.to_dataframe()`` makes a Dask DataFrame of them, one
    row per document, ``properties`` a column of [name, value] lists.
    """
    mode = _xmp_mode(xmp)
    remote = _remote(ca_file, timeout, retries, connections, no_sign_request)
    isolation = _isolation(isolate, document_timeout, document_memory)
    if isinstance(partition_size, bool) or not isinstance(partition_size, int):
        raise TypeError("partition_size must be an int, not %s" % type(partition_size).__name__)
    if partition_size < 1:
        raise ValueError("partition_size must be at least 1, not %d" % partition_size)
    named = _paths(paths)
    items, empty = _zudor.walk(named, remote)
    # What the walk alone can tell: a directory or prefix with nothing in it. That none of an
    # input's files is a TIFF file is known only once the workers have read them.
    for index in empty:
        if named[index] != b"-" and named[index] not in named[:index]:
            _warn_no_document(named[index], 0, stacklevel=2)
    # Named afresh each time: the records depend on the files as they are when it runs.
    name = "zudor-read-metadata-" + uuid.uuid4().hex
    starts = range(0, len(items), partition_size) or [0]
    graph = {(name, i): (_read_partition, *_packed(items[start:start + partition_size]), mode, remote,
                         isolation)
             for i, start in enumerate(starts)}
    return dask.bag.Bag(graph, name, len(graph))


def _packed(items: List[Tuple[bytes, int, str]]) -> Tuple[bytes, bytes, Dict[int, str]]:
    # A partition's paths travel as one bytes object, not a tuple per file: the client, the
    # scheduler and the worker each pickle the graph, and 100,000 tuples cost a second.
    paths = b"\0".join(path for path, _, _ in items)
    origins = bytes(origin for _, origin, _ in items)
    return paths, origins, {i: error for i, (_, _, error) in enumerate(items) if error}


def _read_partition(paths: bytes, origins: bytes, errors: Dict[int, str], mode: int,
                    remote: _Remote, isolation: _Isolation) -> List[Record]:
    # One reading thread per task: the worker's other threads run the other partitions.
    items = [(path, origin, errors.get(i, ""))
             for i, (path, origin) in enumerate(zip(paths.split(b"\0"), origins))]
    return list(_records(_zudor.Scanner.from_items(items, 1, mode, False, remote, isolation)))
