"""A client of zudor-serve, the HTTP service: records of documents read on another machine, as
dicts equal to those ``zudor.read`` gives for the same bytes.

    >>> client = zudor.Client("http://127.0.0.1:8750", token=None)
    >>> client.read("samples/sample.tif")["title"]
    'Harbour at dawn'

Only the standard library is used (urllib.request). A refusal of the service (a wrong token,
a document over its size limit, a full queue) raises ServiceError with the service's words.
"""
from __future__ import annotations

import http.client
import json
import os
import typing as _t
import urllib.error
import urllib.parse
import urllib.request

from . import ZudorError


class ServiceError(ZudorError):
    """The service refused a request, or could not be reached: status is the HTTP status (0
    when there was no answer), retry_after the seconds it asked the client to wait, if any."""

    def __init__(self, message: str, status: int = 0, retry_after: _t.Optional[float] = None):
        super().__init__(message)
        self.status = status
        self.retry_after = retry_after


class Client:
    """The service at url (``http://host:port``), with a bearer token where it asks for one."""

    def __init__(self, url: str, token: _t.Optional[str] = None, timeout: float = 120.0):
        if not isinstance(url, str) or not url.startswith(("http://", "https://")):
            raise ValueError("url must be the service's http:// or https:// address, not %r" % (url,))
        self.url = url.rstrip("/")
        self._token = token
        self.timeout = timeout

    def __repr__(self) -> str:
        return "zudor.Client(%r)" % self.url  # never the token

    def read_bytes(self, data: bytes, name: _t.Union[str, bytes] = "-", xmp: str = "parsed",
                   time_zone: _t.Optional[str] = None) -> _t.Dict[str, _t.Any]:
        """The record of the document data, its file named name."""
        query = [("xmp", xmp), ("name", name)]
        if time_zone is not None:
            query.append(("time_zone", time_zone))
        encoded = "&".join("%s=%s" % (key, urllib.parse.quote(value, safe="")) for key, value in query)
        request = urllib.request.Request(self.url + "/v1/record?" + encoded, data=bytes(data), method="POST",
                                         headers={"Content-Type": "application/octet-stream"})
        return json.loads(self._send(request))

    def read(self, path: _t.Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"], xmp: str = "parsed",
             time_zone: _t.Optional[str] = None) -> _t.Dict[str, _t.Any]:
        """The record of the file at path, named as given, read here and sent whole."""
        with open(path, "rb") as f:
            data = f.read()
        return self.read_bytes(data, name=os.fsencode(path), xmp=xmp, time_zone=time_zone)

    def scan(self, inputs: _t.Iterable[str], xmp: str = "parsed",
             time_zone: _t.Optional[str] = None) -> _t.Iterator[_t.Dict[str, _t.Any]]:
        """The records of remote inputs (http(s) URLs, S3 objects and S3 prefixes, which the
        service fetches from the hosts and buckets it allows), in order, as they arrive."""
        if isinstance(inputs, (str, bytes)):
            raise TypeError("inputs is a list of URLs; for one, give [url]")
        listed = []
        for item in inputs:
            if not isinstance(item, str) or not item or "\n" in item or "\r" in item:
                raise ValueError("each input is one URL, a non-empty str without line breaks, not %r" % (item,))
            listed.append(item)
        query = [("xmp", xmp)] + ([("time_zone", time_zone)] if time_zone is not None else [])
        encoded = "&".join("%s=%s" % (key, urllib.parse.quote(value, safe="")) for key, value in query)
        request = urllib.request.Request(self.url + "/v1/records?" + encoded, data="\n".join(listed).encode(),
                                         method="POST", headers={"Content-Type": "text/plain; charset=utf-8"})
        with self._open(request) as answer:
            try:
                for line in answer:
                    yield json.loads(line)
            except http.client.IncompleteRead:
                raise ServiceError("%s: the records' stream was cut short; the service's log says why"
                                   % self.url) from None

    def ready(self) -> bool:
        """Whether the service takes documents now."""
        try:
            self._send(urllib.request.Request(self.url + "/v1/ready"))
            return True
        except ServiceError:
            return False

    def _send(self, request: urllib.request.Request) -> bytes:
        with self._open(request) as answer:
            return answer.read()

    def _open(self, request: urllib.request.Request):
        if self._token is not None:
            request.add_unredirected_header("Authorization", "Bearer " + self._token)
        try:
            return urllib.request.urlopen(request, timeout=self.timeout)
        except urllib.error.HTTPError as e:
            body = e.read()
            try:
                why = json.loads(body)["error"]
            except (ValueError, KeyError, TypeError):
                why = e.reason
            retry = e.headers.get("Retry-After")
            raise ServiceError("%s: %s (HTTP %d)" % (self.url, why, e.code), e.code,
                               float(retry) if retry and retry.isdigit() else None) from None
        except (urllib.error.URLError, OSError) as e:
            reason = getattr(e, "reason", e)
            raise ServiceError("%s: cannot reach the service: %s" % (self.url, reason)) from None
