#!/usr/bin/python3
"""A small S3 endpoint for the remote tests, on 127.0.0.1 only: path-style GET of objects
(ranges, suffix ranges, If-Match) and ListObjectsV2 in small pages (each key with its size
and the ETag a GET answers), over the folders of
--root (one folder a bucket). Every request's signature is checked with botocore; a bucket
named in --public may also be read unsigned. Faults are injected on request:

    POST /__faults  [{"key": "bucket/key", "kind": "status", "status": 503, "count": 2,
                      "retry_after": "1"}, ...]

kinds: status (answer with that status, and a Location when given), reset (close the connection at once), truncate
(send half the body under the whole length), replace (the object changes after the first
answer), ignore_range (200 with the whole body), stall (headers, then silence for
`seconds`), stall_body (headers and half the body, then silence for `seconds`), weak_etag (a weak ETag, which If-Match never matches), list_fail (the listing's
pages after the first fail with `status`). A fault with a count applies that many times;
without one, always. Each request is logged as a JSON line to --log once it is answered (a
stalled one once its silence begins), and

    GET /__log   answers the lines logged since the last look, and empties the log,

once every request that has reached the server is logged: a client that has its answers and
has ended may have left the server a moment of writing, which the look waits out. The server
stops by itself after --max-requests requests or --max-seconds."""
import argparse
import datetime
import hashlib
import json
import os
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

ARGS = None
FAULTS = []
FAULT_LOCK = threading.Lock()
LOG_LOCK = threading.Lock()
# Requests begun and not yet logged.
UNLOGGED = [0]
UNLOGGED_CHANGE = threading.Condition()
REQUESTS = [0]
REPLACED = {}  # bucket/key -> bytes that replaced the file's


def take_fault(key, kinds):
    with FAULT_LOCK:
        for fault in FAULTS:
            if fault["kind"] in kinds and (fault["key"] == key or
                                           (fault["key"].endswith("*") and key.startswith(fault["key"][:-1]))):
                if "count" in fault:
                    if fault["count"] <= 0:
                        continue
                    fault["count"] -= 1
                return dict(fault)
    return None


def file_etag(stat):
    """A file's ETag, as GET answers it and the listing lists it: changes with every write."""
    return '"%x-%x"' % (stat.st_mtime_ns, stat.st_size)


def error_xml(code, message):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>%s</Code><Message>%s</Message></Error>'
            % (code, escape(message))).encode()


CODES = {403: "AccessDenied", 404: "NoSuchKey", 412: "PreconditionFailed", 429: "SlowDown",
         500: "InternalError", 502: "BadGateway", 503: "SlowDown", 504: "GatewayTimeout"}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "zudor-test-s3"

    def log_message(self, *args):
        pass

    def handle_one_request(self):
        self.unlogged = False
        try:
            super().handle_one_request()
        finally:
            self.logged()

    def begin(self):
        with UNLOGGED_CHANGE:
            UNLOGGED[0] += 1
        self.unlogged = True

    def logged(self):
        if self.unlogged:
            self.unlogged = False
            with UNLOGGED_CHANGE:
                UNLOGGED[0] -= 1
                UNLOGGED_CHANGE.notify_all()

    def record(self, status, sent, signed):
        if ARGS.log:
            line = json.dumps({"method": self.command, "path": self.path, "range": self.headers.get("Range"),
                               "status": status, "bytes": sent, "signed": signed,
                               "if_match": self.headers.get("If-Match")})
            with LOG_LOCK, open(ARGS.log, "a") as f:
                f.write(line + "\n")
        self.logged()

    def take_log(self):
        """The log so far, once no request is between its start and its line; emptied."""
        with UNLOGGED_CHANGE:
            settled = UNLOGGED_CHANGE.wait_for(lambda: UNLOGGED[0] == 0, timeout=300)
        lines = b""
        if settled and ARGS.log:
            with LOG_LOCK:
                if os.path.exists(ARGS.log):  # made by the first request logged
                    with open(ARGS.log, "rb") as f:
                        lines = f.read()
                open(ARGS.log, "w").close()
        # Not logged itself: the look is no request of a client's.
        self.send_response(200 if settled and ARGS.log else 503 if ARGS.log else 404)
        self.send_header("Content-Length", str(len(lines)))
        self.end_headers()
        self.wfile.write(lines)

    def answer(self, status, body=b"", headers=(), signed=False, send_body=True):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)
        self.record(status, len(body) if send_body else 0, signed)

    def fail(self, status, code=None, message="", headers=(), signed=False):
        self.answer(status, error_xml(code or CODES.get(status, "Error"), message),
                    [("Content-Type", "application/xml")] + list(headers), signed)

    def signature_ok(self):
        """True for a request signed with the test credentials (checked with botocore), None
        for an unsigned one, False for a bad signature."""
        auth = self.headers.get("Authorization")
        if auth is None:
            return None
        try:
            fields = dict(part.strip().split("=", 1) for part in auth[len("AWS4-HMAC-SHA256 "):].split(","))
            access, day, region, service, _ = fields["Credential"].split("/")
            names = fields["SignedHeaders"].split(";")
        except (KeyError, ValueError):
            return False
        if access != ARGS.access_key or region != ARGS.region or service != "s3":
            return False
        if ARGS.session_token and self.headers.get("x-amz-security-token") != ARGS.session_token:
            return False
        stamp = self.headers.get("x-amz-date", "")
        if not stamp.startswith(day) or "x-amz-content-sha256" not in names:
            return False
        skew = abs(datetime.datetime.utcnow() - datetime.datetime.strptime(stamp, "%Y%m%dT%H%M%SZ"))
        if skew > datetime.timedelta(minutes=15):
            return False
        headers = {name: self.headers.get(name, "") for name in names}
        request = AWSRequest(method=self.command, url="http://%s%s" % (self.headers.get("Host"), self.path),
                             headers=headers)
        request.context["timestamp"] = stamp
        signer = S3SigV4Auth(Credentials(ARGS.access_key, ARGS.secret_key, ARGS.session_token or None),
                             "s3", ARGS.region)
        expected = signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request)
        return expected == fields["Signature"]

    def do_POST(self):
        self.begin()
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.path != "/__faults":
            return self.fail(404)
        with FAULT_LOCK:
            FAULTS[:] = json.loads(body)
        self.answer(204)

    def do_GET(self):
        REQUESTS[0] += 1
        if self.path == "/__log":
            return self.take_log()
        self.begin()
        split = urllib.parse.urlsplit(self.path)
        parts = split.path.lstrip("/").split("/", 1)
        bucket = urllib.parse.unquote(parts[0])
        key = urllib.parse.unquote(parts[1]) if len(parts) > 1 else ""
        signed = self.signature_ok()
        if signed is False or (signed is None and bucket not in ARGS.public):
            return self.fail(403, "SignatureDoesNotMatch" if signed is False else "AccessDenied")
        folder = os.path.join(ARGS.root, bucket)
        if not bucket or not os.path.isdir(folder):
            return self.fail(404, "NoSuchBucket", signed=signed)
        query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        if key == "" and query.get("list-type") == ["2"]:
            return self.list_objects(bucket, folder, query, signed)
        return self.get_object(bucket, key, folder, signed)

    def list_objects(self, bucket, folder, query, signed):
        prefix = query.get("prefix", [""])[0]
        token = query.get("continuation-token", [""])[0]
        if token:
            fault = take_fault(bucket + "/" + prefix, ("list_fail",))
            if fault:
                return self.fail(fault.get("status", 500), signed=signed)
        keys = []
        for top, dirs, files in os.walk(folder):
            for name in files:
                path = os.path.relpath(os.path.join(top, name), folder).replace(os.sep, "/")
                if path.startswith(prefix):
                    keys.append(path)
        keys.sort(key=lambda k: k.encode())
        start = 0
        if token:
            after = bytes.fromhex(token).decode()
            start = next((i for i, k in enumerate(keys) if k.encode() > after.encode()), len(keys))
        size = min(int(query.get("max-keys", ["1000"])[0]), ARGS.page_size)
        page = keys[start:start + size]
        truncated = start + size < len(keys)
        encode = query.get("encoding-type") == ["url"]
        show = (lambda k: urllib.parse.quote_plus(k, safe="/")) if encode else escape
        body = ['<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult xmlns='
                '"http://s3.amazonaws.com/doc/2006-03-01/"><Name>%s</Name><Prefix>%s</Prefix>'
                '<KeyCount>%d</KeyCount><MaxKeys>%d</MaxKeys>' % (bucket, show(prefix), len(page), size)]
        if encode:
            body.append("<EncodingType>url</EncodingType>")
        body.append("<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false"))
        for key in page:
            stat = os.stat(os.path.join(folder, key))
            replaced = REPLACED.get(bucket + "/" + key)
            size, etag = (len(replaced), '"%s"' % hashlib.md5(replaced).hexdigest()) if replaced is not None \
                else (stat.st_size, file_etag(stat))
            body.append("<Contents><Key>%s</Key><Size>%d</Size><ETag>%s</ETag><StorageClass>STANDARD</StorageClass>"
                        "</Contents>" % (show(key), size, escape(etag, {'"': "&quot;"})))
        if truncated:
            body.append("<NextContinuationToken>%s</NextContinuationToken>" % page[-1].encode().hex())
        body.append("</ListBucketResult>")
        self.answer(200, "".join(body).encode(), [("Content-Type", "application/xml")], signed)

    def get_object(self, bucket, key, folder, signed):
        name = bucket + "/" + key
        path = os.path.join(folder, *key.split("/"))
        if name in REPLACED:
            data = REPLACED[name]
            size, etag = len(data), '"%s"' % hashlib.md5(data).hexdigest()
            read = lambda first, n: data[first:first + n]
        elif key and os.path.isfile(path):
            stat = os.stat(path)
            size, etag = stat.st_size, file_etag(stat)

            def read(first, n):
                with open(path, "rb") as f:
                    f.seek(first)
                    return f.read(n)
        else:
            return self.fail(404, signed=signed)
        fault = take_fault(name, ("status", "reset", "truncate", "replace", "ignore_range", "stall", "stall_body",
                                 "weak_etag"))
        kind = fault["kind"] if fault else None
        if kind == "status":
            extra = [("Retry-After", fault["retry_after"])] if "retry_after" in fault else []
            extra += [("Location", fault["location"])] if "location" in fault else []
            return self.fail(fault["status"], headers=extra, signed=signed)
        if kind == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.record("reset", 0, signed)
            return
        if kind == "replace":
            data = read(0, size)
            REPLACED[name] = data[:8] + bytes(16) + data[24:]
        if kind == "weak_etag":
            etag = "W/" + etag
        wanted = self.headers.get("If-Match")
        # If-Match compares strongly: a weak ETag matches nothing.
        if wanted is not None and (wanted != etag or etag.startswith("W/")):
            return self.fail(412, signed=signed)
        headers = [("ETag", etag), ("Accept-Ranges", "bytes"), ("Content-Type", "image/tiff")]
        asked = self.headers.get("Range")
        if asked is None or kind == "ignore_range":
            return self.send_whole(size, read, headers, signed)
        first, _, last = asked[len("bytes="):].partition("-")
        if first == "":
            first, last = max(0, size - int(last)), size - 1
        else:
            first, last = int(first), min(int(last) if last else size - 1, size - 1)
        if first >= size:
            return self.fail(416, "InvalidRange", headers=[("Content-Range", "bytes */%d" % size)], signed=signed)
        body = read(first, last - first + 1)
        headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
        if kind in ("truncate", "stall", "stall_body"):
            self.send_response(206)
            for header in headers + [("Content-Length", str(len(body)))]:
                self.send_header(*header)
            self.end_headers()
            sent = 0 if kind == "stall" else len(body) // 2
            self.wfile.write(body[:sent])
            self.close_connection = True
            if kind != "truncate":
                self.wfile.flush()
                # Logged as the silence begins: the client gives up long before it ends.
                self.record(kind, sent, signed)
                time.sleep(min(float(fault.get("seconds", 5)), 30))
                return
            self.record(kind, sent, signed)
            return
        self.answer(206, body, headers, signed)

    def send_whole(self, size, read, headers, signed):
        """200 and the whole object, a megabyte at a time, for as long as the client takes it."""
        self.send_response(200)
        for header in headers + [("Content-Length", str(size))]:
            self.send_header(*header)
        self.end_headers()
        sent = 0
        try:
            while sent < size:
                chunk = read(sent, min(1 << 20, size - sent))
                self.wfile.write(chunk)
                sent += len(chunk)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        self.record(200, sent, signed)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def process_request(self, request, client_address):
        request.settimeout(30)
        super().process_request(request, client_address)


def main():
    global ARGS
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--log")
    ap.add_argument("--access-key", default="AKIDZUDORTEST")
    ap.add_argument("--secret-key", default="zudor/test+secret/KEY")
    ap.add_argument("--session-token", default="")
    ap.add_argument("--region", default="eu-test-1")
    ap.add_argument("--public", nargs="*", default=[])
    ap.add_argument("--page-size", type=int, default=3)
    ap.add_argument("--max-requests", type=int, default=20000)
    ap.add_argument("--max-seconds", type=float, default=3600)
    ARGS = ap.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    with open(ARGS.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(ARGS.port_file + ".tmp", ARGS.port_file)
    deadline = time.monotonic() + ARGS.max_seconds
    server.timeout = 0.5
    while time.monotonic() < deadline and REQUESTS[0] < ARGS.max_requests:
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    sys.exit(main())
