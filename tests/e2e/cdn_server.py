#!/usr/bin/python3
"""Local HTTPS stand-in for the storage CDN.

Serves the files of one folder under their bare names over TLS, as
https://localhost:PORT/NAME, listening on 127.0.0.1 only. Every request is
recorded ("GET /NAME"), and each file name can be given a rule that makes
the server misbehave for it:

    {"status": 404}     answer with that status and a short body
    {"truncate": N}     announce the file's full length, send its first N
                        bytes, then close the connection
    {"size": N}         answer 200 with a body of exactly N zero bytes,
                        generated while sending (nothing is stored)
    {"stall": S}        read the request, send nothing for S seconds, close
    {"stall": S, "after": N}
                        send the headers and the first N bytes of the file,
                        then nothing for S seconds, then close
    {"reset": true}     read the request, then reset the connection (RST)

A name without a rule is served from the folder, or answered 404.

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
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

CHUNK = 1 << 18
_ZEROS = bytes(CHUNK)
# What a client that gives up mid-transfer leaves behind on our side.
_CLIENT_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, ssl.SSLError, TimeoutError)


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
        self.server.record(f"GET {self.path}")
        rule = self.server.rule_for(name)
        try:
            self._answer(name, rule)
        except _CLIENT_GONE:
            self.close_connection = True

    def _answer(self, name, rule):
        if "status" in rule:
            body = f"status {rule['status']}\n".encode()
            self.send_response(int(rule["status"]))
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif "stall" in rule and "after" not in rule:
            self.server.stopping.wait(float(rule["stall"]))
            self.close_connection = True
        elif "reset" in rule:
            # Linger with timeout 0 makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
        elif "size" in rule:
            self._send_generated(int(rule["size"]))
        else:
            path = self.server.root / name
            if not name or "/" in name or "\\" in name or not path.is_file():
                self._answer(name, {"status": 404})
                return
            self._send_file(path, rule.get("truncate", rule.get("after")))
            if "stall" in rule:
                self.server.stopping.wait(float(rule["stall"]))

    def _send_generated(self, size):
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        left = size
        view = memoryview(_ZEROS)
        while left > 0:
            n = min(left, CHUNK)
            self.wfile.write(view[:n])
            left -= n

    def _send_file(self, path, truncate):
        size = path.stat().st_size
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        left = size if truncate is None else min(size, int(truncate))
        with open(path, "rb") as f:
            while left > 0:
                data = f.read(min(left, CHUNK))
                if not data:
                    break
                self.wfile.write(data)
                left -= len(data)
        if truncate is not None:
            self.close_connection = True


class CdnServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, port, cert, key, host="127.0.0.1", rules=None, rules_file=None, log_file=None):
        self.root = Path(root)
        self.rules = dict(rules or {})
        self.rules_file = Path(rules_file) if rules_file else None
        self.log_file = Path(log_file) if log_file else None
        self.requests = []
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._thread = None
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(cert), str(key))
        super().__init__((host, int(port)), _Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread, so a client
        # that stalls or refuses our certificate blocks nobody else.
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

    def record(self, line):
        with self._lock:
            self.requests.append(line)
            if self.log_file:
                with open(self.log_file, "a") as f:
                    f.write(line + "\n")

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
