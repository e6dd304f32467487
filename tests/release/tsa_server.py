"""A local RFC 3161 time-stamping authority for the release check: answers
each POSTed time-stamp query with `openssl ts -reply`. Prints its port, then
serves until killed.

    tsa_server.py CONFIG   (an openssl ts configuration with a [tsa] section)
"""

import http.server
import subprocess
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
            input=query,
            capture_output=True,
        )
        sys.stderr.write(reply.stderr.decode(errors="replace"))
        self.send_response(200 if reply.returncode == 0 and reply.stdout else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
