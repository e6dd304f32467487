#!/usr/bin/python3
"""Local HTTPS stand-in for the storage CDN.

Serves the files of one folder under their bare names over TLS, as
https://localhost:PORT/NAME, listening on 127.0.0.1 only. Every request is
recorded ("GET /NAME"), and each file name can be given a rule that makes
the server misbehave for it:

    {"status": 404}     answer with that status and a short body
    {"truncate": N}     announce the answer's full length, send the first N
                        bytes of its body, then close the connection
    {"size": N}         answer 200 with a body of exactly N zero bytes,
                        generated while sending (nothing is stored)
    {"stall": S}        read the request, send nothing for S seconds, close
    {"stall": S, "after": N}
                        send the headers and the first N bytes of the body,
                        then nothing for S seconds, then close
    {"reset": true}     read the request, then reset the connection (RST)
    {"reset_after": N}  send the headers and the first N bytes of the body,
                        a moment later reset the connection
    {"status": 503, "retry_after": "1"}
                        that status with a Retry-After header
    {"ignore_range": true}
                        answer a Range request with the whole file (200)
    {"content_range": "bytes 0-9/10"}
                        send this Content-Range on a 206 instead of the true one
    {"etag": "\"new\""}  the file's ETag on this answer, as if it had changed
    {"endless": true, "interval": S}
                        answer 200 without a length and send 64 KiB every S
                        seconds (0: as fast as possible) until the client goes

A rule {"requests": [RULE, RULE, ...]} gives the file's first, second, ...
request each its own rule ({} for none); later requests are served truly. A
name without a rule is served from the folder, or answered 404.

Files are served with a strong ETag and Last-Modified, and "Range:
bytes=N-" is honoured (206) unless If-Range names another version.
bytes_served[NAME] counts the body bytes sent for each name.

From Python (the end-to-end fixtures do this):

    server = CdnServer(root, port, cert, key).start()
    server.rules["VoraService.exe"] = {"status": 500}
    server.requests          # ["GET /VoraService.exe", ...]
    server.stop()

From the command line:

    /usr/bin/python3 tests/e2e/cdn_server.py --root build/windows/cdn --port 48443 \
        --cert build/windows/pki/tls.pem --key build/windows/pki/tls.key \
        [--rules rules.json] [--log requests.log]

--rules names a JSON object {"NAME": RULE, ...}; it is read again for every
request, so a script may change the behaviour while the server runs. --log
appends one line per request. Stop the server with Ctrl-C or SIGTERM.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from email.utils import formatdate
from pathlib import Path

CHUNK = 1 << 18
_ZEROS = bytes(CHUNK)
# What a client that gives up mid-transfer leaves behind on our side.
_CLIENT_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, ssl.SSLError, TimeoutError)


def _etag(path):
    """A strong ETag: the file's content decides it."""
    return '"' + hashlib.sha256(path.read_bytes()).hexdigest()[:16] + '"'


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VoraTestCdn/1.0"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass

    def do_GET(self):  # noqa: N802 - the base class's name
        name = self.path.split("?", 1)[0].lstrip("/")
        if name == MANIFEST and self.server.manifest_key and not (self.server.root / MANIFEST).exists():
            self.server.manifest_requests.append(f"GET {self.path}")
            body = signed_manifest(self.server.root, self.server.manifest_key)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        number = self.server.record(f"GET {self.path}", name, self.headers.get("Range"), self.headers.get("If-Range"))
        rule = self.server.rule_for(name)
        if "requests" in rule:
            scripted = rule["requests"]
            rule = dict(scripted[number]) if number < len(scripted) else {}
        try:
            self._answer(name, rule)
        except _CLIENT_GONE:
            self.close_connection = True

    def _answer(self, name, rule):
        if "status" in rule:
            body = f"status {rule['status']}\n".encode()
            self.send_response(int(rule["status"]))
            self.send_header("Content-Length", str(len(body)))
            if "retry_after" in rule:
                self.send_header("Retry-After", str(rule["retry_after"]))
            self.end_headers()
            self.wfile.write(body)
        elif "endless" in rule:
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            interval = float(rule.get("interval", 0))
            chunk = memoryview(_ZEROS)[: 1 << 16]
            while not self.server.stopping.is_set():
                self._write(name, chunk)
                if interval:
                    self.server.stopping.wait(interval)
        elif "stall" in rule and "after" not in rule:
            self.server.stopping.wait(float(rule["stall"]))
            self.close_connection = True
        elif "reset" in rule:
            # Linger with timeout 0 makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
        elif "size" in rule:
            self._send_generated(name, int(rule["size"]))
        else:
            # A published tree keeps each release under releases/<release>/.
            path = self.server.root / name
            parts = name.split("/")
            if not name or "\\" in name or any(p in ("", ".", "..") for p in parts) or not path.is_file():
                self._answer(name, {"status": 404})
                return
            cut = rule.get("truncate", rule.get("after", rule.get("reset_after")))
            self._send_file(name, path, rule, cut)
            if "stall" in rule:
                self.server.stopping.wait(float(rule["stall"]))
            if "reset_after" in rule:
                # A moment for the client to read them: a reset discards
                # whatever it has not read yet.
                self.server.stopping.wait(0.2)
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()

    def _write(self, name, data):
        self.wfile.write(data)
        self.server.count(name, len(data))

    def _send_generated(self, name, size):
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        left = size
        view = memoryview(_ZEROS)
        while left > 0:
            n = min(left, CHUNK)
            self._write(name, view[:n])
            left -= n

    def _send_file(self, name, path, rule, cut):
        """The file, or from a Range request on the rest of it; cut: bytes
        of this answer's body sent before the fault."""
        size = path.stat().st_size
        etag = rule.get("etag", _etag(path))
        modified = formatdate(path.stat().st_mtime, usegmt=True)
        start = 0
        asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "") or "")
        if_range = self.headers.get("If-Range")
        if asked and not rule.get("ignore_range") and int(asked.group(1)) < size and if_range in (None, etag, modified):
            start = int(asked.group(1))
        if start:
            self.send_response(206)
            self.send_header("Content-Range", rule.get("content_range", f"bytes {start}-{size - 1}/{size}"))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(size - start))
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        self.end_headers()
        left = size - start if cut is None else min(size - start, int(cut))
        with open(path, "rb") as f:
            f.seek(start)
            while left > 0:
                data = f.read(min(left, CHUNK))
                if not data:
                    break
                self._write(name, data)
                left -= len(data)
        if cut is not None:
            self.close_connection = True


MANIFEST = "VoraRelease.json"
PROGRAM_FILES = ("VoraService.exe", "VoraSetup.exe", "VoraBroker.exe")


def _publish_script():
    """scripts/publish (a script without a .py name) as a module."""
    import importlib.machinery
    import types

    path = Path(__file__).resolve().parents[2] / "scripts" / "publish"
    module = types.ModuleType("vora_publish")
    module.__file__ = str(path)
    importlib.machinery.SourceFileLoader("vora_publish", str(path)).exec_module(module)
    return module


def signed_manifest(root, key):
    """A manifest over the folder's program files as they are now, each at its
    bare name, of the release VoraService.exe there names; a file that is
    missing is listed as an empty one, and its request answers 404 anyway."""
    import hashlib
    import json

    publish = _publish_script()
    files, release = {}, "0.0.0.0"
    for name in PROGRAM_FILES:
        path = Path(root) / name
        data = path.read_bytes() if path.is_file() else b""
        files[name] = {"path": name, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()}
        if name == "VoraService.exe" and data:
            release = publish.version_of(path)[0]
    payload = json.dumps(publish.payload_for(release, files, 30)).encode()
    return json.dumps(publish.sign(key, payload)).encode()


class CdnServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, port, cert, key, host="127.0.0.1", rules=None, rules_file=None, log_file=None,
                 manifest_key=None):
        self.root = Path(root)
        # Signs VoraRelease.json over the folder's files when the folder has
        # none of its own: the key beside the TLS certificate by default.
        default_key = Path(cert).parent / "manifest.key"
        self.manifest_key = Path(manifest_key) if manifest_key else (default_key if default_key.exists() else None)
        self.manifest_requests = []
        self.rules = dict(rules or {})
        self.rules_file = Path(rules_file) if rules_file else None
        self.log_file = Path(log_file) if log_file else None
        self.requests = []
        # (name, Range, If-Range) and the monotonic time of every request,
        # and body bytes per name.
        self.ranges = []
        self.times = []
        self.bytes_served = {}
        self.handshakes = 0
        self._counts = {}
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._thread = None
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(cert), str(key))
        super().__init__((host, int(port)), _Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread, so a client
        # that stalls or refuses our certificate blocks nobody else.
        with self._lock:
            self.handshakes += 1
        try:
            request = self._context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            super().finish_request(request, client_address)
        finally:
            try:
                request.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], _CLIENT_GONE):
            super().handle_error(request, client_address)

    def record(self, line, name=None, range_header=None, if_range=None):
        """Notes a request; returns how many requests for name came before it."""
        with self._lock:
            self.requests.append(line)
            self.ranges.append((name, range_header, if_range))
            self.times.append(time.monotonic())
            number = self._counts.get(name, 0)
            self._counts[name] = number + 1
            if self.log_file:
                with open(self.log_file, "a") as f:
                    f.write(line + "\n")
            return number

    def count(self, name, n):
        with self._lock:
            self.bytes_served[name] = self.bytes_served.get(name, 0) + n

    def rule_for(self, name):
        if self.rules_file and self.rules_file.exists():
            rules = json.loads(self.rules_file.read_text() or "{}")
        else:
            rules = self.rules
        return dict(rules.get(name, {}))

    def start(self):
        self._thread = threading.Thread(target=self.serve_forever, name="cdn-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()
        if self._thread:
            self._thread.join()


def main(argv=None):
    build = Path(__file__).resolve().parents[2] / "build" / "windows"
    parser = argparse.ArgumentParser(description="Local HTTPS stand-in for the storage CDN")
    parser.add_argument("--root", default=str(build / "cdn"))
    parser.add_argument("--port", type=int, default=48443)
    parser.add_argument("--cert", default=str(build / "pki" / "tls.pem"))
    parser.add_argument("--key", default=str(build / "pki" / "tls.key"))
    parser.add_argument("--rules", help="JSON file of per-file rules, read on every request")
    parser.add_argument("--log", help="file to append one line per request to")
    args = parser.parse_args(argv)
    server = CdnServer(args.root, args.port, args.cert, args.key, rules_file=args.rules, log_file=args.log)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print(f"serving {os.path.abspath(args.root)} at https://localhost:{args.port}/", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()
