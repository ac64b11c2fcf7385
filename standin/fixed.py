"""Fixed answers at the services' endpoints, over plain HTTP: what the
benchmarks time a caller against, where the full stand-in's synthesis and
TLS would be most of what is measured. `Fixed` runs it in a child process,
so its work shares no interpreter lock with the calls measured.

    python -m standin.fixed [CLONE_BYTES]    (prints its port, then serves)

    POST /tts/index.php  -> one convert_result entry linking /audio/small.wav
    POST /transcribe     -> a transcription with white space around it
    POST /tts/cln.php    -> "data" linking /audio/clone.wav
    GET  /audio/small.wav -> 1 KiB
    GET  /audio/clone.wav -> CLONE_BYTES bytes (default 1 KiB), produced on the fly
"""

import json
import os
import subprocess
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from support.defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH
from support.processes import stop

MIB = 1024 * 1024


class Fixed:
    """The fixed answers in a child process; `url` is its root, without a
    trailing slash. `body_bytes` sets the size of the large download."""

    def __init__(self, body_bytes=1024):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "standin.fixed", str(body_bytes)],
            cwd=Path(__file__).resolve().parent.parent,
            stdout=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )
        port = int(self.process.stdout.readline())
        self.url = f"http://127.0.0.1:{port}"

    def close(self):
        stop(self.process)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def serve(body_bytes):
    """Serves on a free loopback port, which it prints first."""
    small = os.urandom(1024)
    block = memoryview(os.urandom(MIB))

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def reply(self, status, body, kind="application/json"):
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            root = f"http://127.0.0.1:{self.server.server_address[1]}"
            if self.path == TTS_PATH:
                answer = {"data": {"convert_result": [{"oss_url": root + "/audio/small.wav"}]}}
            elif self.path == TRANSCRIBE_PATH:
                answer = {"transcription": "  hello world \n"}
            elif self.path == CLONE_PATH:
                answer = {"status": "ok", "data": root + "/audio/clone.wav"}
            else:
                self.reply(404, b"{}")
                return
            self.reply(200, json.dumps(answer).encode())

        def do_GET(self):
            if self.path == "/audio/small.wav":
                self.reply(200, small, "audio/wav")
            elif self.path == "/audio/clone.wav":
                self.send_response(200)
                self.send_header("Content-Type", "audio/wav")
                self.send_header("Content-Length", str(body_bytes))
                self.end_headers()
                left = body_bytes
                try:
                    while left:
                        piece = block[: min(left, len(block))]
                        self.wfile.write(piece)
                        left -= len(piece)
                except (BrokenPipeError, ConnectionResetError):
                    pass
            else:
                self.reply(404, b"")

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        # A burst of 128 callers connects at once.
        request_queue_size = 1024

    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    serve(int(sys.argv[1]) if len(sys.argv) > 1 else 1024)
