"""The loopback servers of the remote tests and the bench, each started and stopped here by
process id: nginx (HTTP and HTTPS with HTTP/2, a self-signed certificate made on the spot),
the S3 endpoint of s3_server.py, and the delaying proxy of delay_proxy.py. Everything
listens on 127.0.0.1 only and stops by itself after a bounded time."""
import contextlib
import http.client
import json
import os
import pwd
import signal
import socket
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))


def without_proxies(env):
    """env without the proxy variables libcurl follows: the servers are on this machine."""
    return {k: v for k, v in env.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}


# Requests of the tests' own to their servers, never through a proxy of the environment's.
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_file(path, process, seconds=300):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("server did not start: %s" % " ".join(process.args))
        time.sleep(0.02)
    with open(path) as f:
        return int(f.read())


def wait_for_pid_file(path, process, seconds=300):
    """True once the file holds process's id, False if the process ends first."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            with open(path) as f:
                if f.read().strip() == str(process.pid):
                    return True
        except OSError:
            pass
        if process.poll() is not None:
            return False
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("server did not start: %s" % " ".join(process.args))
        time.sleep(0.02)


class Process:
    """A child process stopped by its id: SIGTERM, then SIGKILL after a few seconds."""

    def __init__(self, args, **kw):
        self.process = subprocess.Popen(args, **kw)
        self.pid = self.process.pid

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            os.kill(self.pid, sig)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.process.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1 and localhost; returns (cert, key)."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=zudor test",
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Nginx(Process):
    """nginx serving root over http://127.0.0.1:http_port and https://127.0.0.1:https_port
    (HTTP/2). /many/<anything> serves the file many_file. log() reads the access log."""

    def __init__(self, root, folder, many_file="many.tif"):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.cert, key = make_certificate(folder)
        with open(os.path.join(HERE, "nginx.conf.in")) as f:
            template = f.read()
        # Workers run as this user, who can read the files wherever the test put them.
        user = pwd.getpwuid(os.getuid()).pw_name
        path = os.path.join(folder, "nginx.conf")
        pid_file = os.path.join(folder, "nginx.pid")
        self.access_log = os.path.join(folder, "access.log")
        # A port found free may be taken by another process before nginx binds it: nginx then
        # ends at once, and the next try takes other ports.
        for _ in range(20):
            self.http_port, self.https_port = free_port(), free_port()
            conf = template
            for name, value in {"USER": user, "ROOT": os.path.abspath(root), "PREFIX": folder,
                                "HTTP_PORT": self.http_port, "HTTPS_PORT": self.https_port, "CERT": self.cert,
                                "KEY": key, "MANY_FILE": many_file}.items():
                conf = conf.replace("@%s@" % name, str(value))
            with open(path, "w") as f:
                f.write(conf)
            if os.path.exists(pid_file):
                os.remove(pid_file)
            super().__init__([nginx_binary(), "-p", folder, "-c", path, "-e", os.path.join(folder, "error.log")],
                             stderr=subprocess.DEVNULL)
            # The master writes its pid once it listens on both ports.
            if wait_for_pid_file(pid_file, self.process):
                break
        else:
            raise RuntimeError("nginx did not start (error log: %s)" % os.path.join(folder, "error.log"))
        self.http = "http://127.0.0.1:%d" % self.http_port
        self.https = "https://127.0.0.1:%d" % self.https_port

    def stop(self, sig=signal.SIGQUIT):
        # SIGQUIT lets the workers finish writing the log; SIGTERM after it would not wait.
        super().stop(sig)

    def log(self):
        """The access log's entries, and empties it for the next look. nginx logs a request once
        its answer is sent, a moment after a client may have it all and be gone; two requests of
        the look's own on one connection first: the one worker answers them in turn, so by the
        second answer it has logged every request that came before the first."""
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=60)
        try:
            for _ in range(2):
                connection.request("GET", SETTLED)
                connection.getresponse().read()
        finally:
            connection.close()
        entries = [e for e in read_log(self.access_log) if not e["request"].startswith("GET %s " % SETTLED)]
        # nginx keeps the file open: truncating it in place keeps its appends coming.
        open(self.access_log, "w").close()
        return entries


# The path of the log's own requests, which no test asks for.
SETTLED = "/__settled"


def nginx_binary():
    for path in ("/usr/sbin/nginx", "/usr/bin/nginx"):
        if os.path.exists(path):
            return path
    raise RuntimeError("nginx is not installed (nginx-light)")


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


class S3Server(Process):
    """s3_server.py over root (a folder a bucket). endpoint is its URL; env() the variables
    that point a client at it with its credentials."""

    ACCESS_KEY, SECRET_KEY, REGION = "AKIDZUDORTEST", "zudor/test+secret/KEY", "eu-test-1"

    def __init__(self, root, folder, page_size=3, public=(), session_token="", stderr=None):
        os.makedirs(folder, exist_ok=True)
        port_file = os.path.join(folder, "s3.port")
        self.access_log = os.path.join(folder, "s3.log")
        for stale in (port_file, self.access_log):
            if os.path.exists(stale):
                os.remove(stale)
        self.session_token = session_token
        args = [sys.executable, os.path.join(HERE, "s3_server.py"), "--root", root, "--port-file", port_file,
                "--log", self.access_log, "--page-size", str(page_size), "--access-key", self.ACCESS_KEY,
                "--secret-key", self.SECRET_KEY, "--region", self.REGION, "--session-token", session_token,
                "--public", *public]
        super().__init__(args, stderr=stderr)
        self.port = wait_for_file(port_file, self.process)
        self.endpoint = "http://127.0.0.1:%d" % self.port

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(AWS_ACCESS_KEY_ID=self.ACCESS_KEY, AWS_SECRET_ACCESS_KEY=self.SECRET_KEY,
                   AWS_REGION=self.REGION, AWS_ENDPOINT_URL=self.endpoint,
                   AWS_CONFIG_FILE=os.devnull, AWS_SHARED_CREDENTIALS_FILE=os.devnull)
        if self.session_token:
            env["AWS_SESSION_TOKEN"] = self.session_token
        env.update(extra)
        return without_proxies({k: v for k, v in env.items() if v is not None})

    def faults(self, faults):
        request = urllib.request.Request(self.endpoint + "/__faults", data=json.dumps(faults).encode(),
                                         method="POST")
        DIRECT.open(request, timeout=60).close()

    def log(self):
        """The GETs logged since the last look, once every request the endpoint has begun is
        logged (GET /__log waits for that)."""
        with DIRECT.open(self.endpoint + "/__log", timeout=600) as answer:
            lines = answer.read().decode().splitlines()
        return [e for e in (json.loads(line) for line in lines if line.strip()) if e["method"] == "GET"]


class DelayProxy(Process):
    """A TCP proxy to 127.0.0.1:target_port adding rtt_ms of round trip."""

    def __init__(self, target_port, rtt_ms, folder):
        port_file = os.path.join(folder, "proxy-%d.port" % target_port)
        if os.path.exists(port_file):
            os.remove(port_file)
        super().__init__([sys.executable, os.path.join(HERE, "delay_proxy.py"), "--target-port",
                          str(target_port), "--rtt-ms", str(rtt_ms), "--port-file", port_file])
        self.port = wait_for_file(port_file, self.process)


@contextlib.contextmanager
def delayed_port(nginx, rtt_ms, folder):
    """nginx's HTTP port with no delay, else that of a DelayProxy rtt_ms away from it."""
    if not rtt_ms:
        yield nginx.http_port
        return
    with DelayProxy(nginx.http_port, rtt_ms, folder) as proxy:
        yield proxy.port
