"""What the bench scripts share: the installed module, a stand-in service, memory readings.

The module is copied out of the environment into a temporary installation
directory that holds the complete model layout, because the installation check
looks beside the module's own file; every gated operation would otherwise
return its 400 pair at once and measure nothing.

The stand-in service runs in a child process (started with `serve`), so its
work does not share the interpreter lock with the calls being measured, and
the memory readings of the measuring process hold only the client side.

The benchmarks stand on the example's modules (examples/webapp): the default
layout and endpoints (defaults.py) and the plain-Python references they are
measured against (reference.py). Importing this module puts that folder on
the path.
"""

import atexit
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "webapp"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))
from defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH, lay_out  # noqa: E402
from launch import copy_module  # noqa: E402

MIB = 1024 * 1024


def install():
    """Imports dorvane from a temporary installation directory with the
    complete layout, and returns (module, directory)."""
    if "dorvane" in sys.modules:
        module = sys.modules["dorvane"]
        return module, Path(module.__file__).parent
    root = Path(tempfile.mkdtemp(prefix="dorvane-bench-"))
    atexit.register(shutil.rmtree, root, True)
    try:
        copy_module(root)
    except RuntimeError as error:
        sys.exit(str(error))
    lay_out(root)
    sys.path.insert(0, str(root))
    import dorvane

    assert Path(dorvane.__file__).parent == root, dorvane.__file__
    check = dorvane.check_project_structure()
    assert check == {"status": True}, check
    return dorvane, root


def proc_status_kib(field, pid="self"):
    """A memory figure from /proc/<pid>/status (VmRSS, VmHWM, ...), in KiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class Peak:
    """Samples `read()` on a thread until stopped; `peak` is the largest
    reading."""

    def __init__(self, read, interval=0.01):
        self.read = read
        self.interval = interval
        self.peak = read()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self):
        while not self.stop.wait(self.interval):
            self.peak = max(self.peak, self.read())

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def reset_peak_rss():
    """Makes VmHWM start again from the current resident size, so that a
    later reading is the peak of what ran in between (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def median(values):
    return statistics.median(values)


def spread(values):
    """min..max, for the reader to judge the noise."""
    return f"{min(values):.4g}..{max(values):.4g}"


class StandIn:
    """The stand-in service in a child process; `url` is its root, without a
    trailing slash. `body_bytes` sets the size of the large download."""

    def __init__(self, body_bytes=1024):
        self.process = subprocess.Popen(
            [sys.executable, __file__, "serve", str(body_bytes)],
            stdout=subprocess.PIPE,
            text=True,
        )
        port = int(self.process.stdout.readline())
        self.url = f"http://127.0.0.1:{port}"

    def close(self):
        self.process.terminate()
        self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def serve(body_bytes):
    """The stand-in speech and transcription services, on a free loopback port.

    POST /tts/index.php  -> one convert_result entry linking /audio/small.wav
    POST /transcribe     -> a transcription with white space around it
    POST /tts/cln.php    -> "data" linking /audio/clone.wav
    GET  /audio/small.wav -> 1 KiB
    GET  /audio/clone.wav -> `body_bytes` bytes, produced on the fly
    """
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

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


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    serve(int(sys.argv[2]))
