"""The two stand-in remote services: speech (text-to-speech and cloning) and
transcription, each an HTTPS server on loopback with a certificate from a
certificate authority made at start-up.
"""

import hashlib
import io
import ipaddress
import json
import os
import re
import socket
import ssl
import threading
import time
import urllib.error
import urllib.request
import uuid
import wave
from collections import OrderedDict
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import urlsplit

from support.defaults import CLONE_PATH, SPEECH_PORT, TRANSCRIBE_PATH, TRANSCRIPTION_PORT, TTS_PATH

from . import audio

MAX_BODY = 1 << 20
MAX_AUDIO = 50 << 20
FETCH_TIMEOUT = 30
# Texts whose audio is kept. espeak-ng's output depends only on its
# arguments, so a repeated text is answered from memory: under a load test
# the stand-in would otherwise spend a process start per call and measure
# itself rather than the hosts.
SPOKEN_CACHE = 256
# Digests of the audio whose words are known, for transcription: enough for
# every file the store keeps under its default limits many times over.
KNOWN_TEXTS = 20_000
# The audio store's own limits: files older than this go, and while the
# store holds more bytes than this the oldest go first.
AUDIO_MAX_AGE = 3600
AUDIO_MAX_BYTES = 1 << 30
EXPIRY_INTERVAL = 60
AUDIO_NAME = re.compile(r"^[A-Za-z0-9-]{1,64}\.wav$")


class BadRequest(Exception):
    """A request the service refuses, with the status to answer."""

    def __init__(self, message, status=400):
        super().__init__(message)
        self.status = status


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    # A redirect could lead off loopback, past the address check.
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        raise BadRequest(f"the audio URL redirects ({code}); give the final URL", 422)


def _is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Services:
    """Both services with their shared audio store.

    Audio that the speech service synthesises is remembered by the digest of
    its bytes together with its text, so the same audio fetched back from any
    URL (a host's local copy included) is recognised as its own.
    """

    def __init__(
        self,
        state_dir,
        host="127.0.0.1",
        speech_port=SPEECH_PORT,
        transcription_port=TRANSCRIPTION_PORT,
        transcriber="auto",
        audio_max_age=AUDIO_MAX_AGE,
        audio_max_bytes=AUDIO_MAX_BYTES,
    ):
        if not _is_loopback(host):
            raise ValueError(f"the stand-in serves loopback addresses only, not {host!r}")
        if transcriber == "auto":
            transcriber = "pocketsphinx" if audio.recogniser_available() else "recorded"
        if transcriber == "pocketsphinx" and not audio.recogniser_available():
            raise ValueError("pocketsphinx is not installed")
        if transcriber not in ("pocketsphinx", "recorded"):
            raise ValueError(f"unknown transcriber {transcriber!r}")
        self.transcriber = transcriber
        self.synthesiser = audio.synthesiser_name()
        self.host = host
        self.state_dir = Path(state_dir).resolve()
        self.audio_dir = self.state_dir / "audio"
        self.audio_dir.mkdir(parents=True, exist_ok=True)
        self.ca_path = self.state_dir / "ca.pem"
        self.audio_max_age = audio_max_age
        self.audio_max_bytes = audio_max_bytes
        self._texts = OrderedDict()
        self._spoken = OrderedDict()
        self._lock = threading.Lock()
        # The store's files, oldest first, with their time and size: the
        # service is their only writer, so it needs no listing to expire them.
        self._files = OrderedDict()
        self._audio_bytes = 0
        self._index_audio()
        self._stopping = threading.Event()
        self._ports = (speech_port, transcription_port)
        self._servers = []
        self._threads = []

    # -- life cycle -------------------------------------------------------

    def start(self):
        import trustme

        ca = trustme.CA(organization_name="stand-in speech services")
        ca.cert_pem.write_to_path(str(self.ca_path))
        server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert(self.host, "localhost", "127.0.0.1").configure_cert(server_context)
        self._client_context = ssl.create_default_context(cafile=str(self.ca_path))

        speech_routes = {TTS_PATH: self.tts, CLONE_PATH: self.clone}
        transcription_routes = {TRANSCRIBE_PATH: self.transcribe}
        try:
            for port, routes, name in (
                (self._ports[0], speech_routes, "speech"),
                (self._ports[1], transcription_routes, "transcription"),
            ):
                server = _Server((self.host, port), _Handler, server_context, routes, self, name)
                self._servers.append(server)
        except OSError:
            self.close()
            raise
        for server in self._servers:
            thread = threading.Thread(target=server.serve_forever, name=server.name, daemon=True)
            thread.start()
            self._threads.append(thread)
        self._stopping.clear()
        expiry = threading.Thread(
            target=self._expire_every, args=(EXPIRY_INTERVAL,), name="audio-expiry", daemon=True
        )
        expiry.start()
        self._threads.append(expiry)
        return self

    def close(self):
        self._stopping.set()
        for server in self._servers:
            server.shutdown()
            server.server_close()
        for thread in self._threads:
            thread.join()
        self._servers.clear()
        self._threads.clear()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def _url(self, index):
        host = self.host if ":" not in self.host else f"[{self.host}]"
        return f"https://{host}:{self._servers[index].server_address[1]}"

    @property
    def speech_url(self):
        return self._url(0)

    @property
    def transcription_url(self):
        return self._url(1)

    @property
    def connections(self):
        """The connections each service has accepted so far, by its name."""
        return {server.name: server.connections for server in self._servers}

    # -- audio store --------------------------------------------------------

    def _index_audio(self):
        # An earlier run's files in the same folder count against the
        # limits; its partial files have no writer left.
        found = []
        for entry in os.scandir(self.audio_dir):
            if not entry.is_file(follow_symlinks=False):
                continue
            if entry.name.startswith("."):
                os.unlink(entry.path)
                continue
            stat = entry.stat(follow_symlinks=False)
            found.append((stat.st_mtime, entry.name, stat.st_size))
        for mtime, name, size in sorted(found):
            self._files[name] = (mtime, size)
            self._audio_bytes += size

    def expire_audio(self, now=None):
        """Removes the audio older than the age limit, then the oldest while
        the store is over its size limit. Returns the names removed."""
        with self._lock:
            return self._expire(time.time() if now is None else now)

    def _expire(self, now):
        # Under the lock, removals included: the count and the folder agree
        # whenever another thread looks.
        gone = []
        while self._files:
            name, (mtime, size) = next(iter(self._files.items()))
            too_old = 0 < self.audio_max_age < now - mtime
            too_big = 0 < self.audio_max_bytes < self._audio_bytes
            if not (too_old or too_big):
                break
            del self._files[name]
            self._audio_bytes -= size
            # A request that opened the file before still reads all of it.
            (self.audio_dir / name).unlink(missing_ok=True)
            gone.append(name)
        return gone

    @property
    def audio_bytes(self):
        with self._lock:
            return self._audio_bytes

    def _expire_every(self, interval):
        while not self._stopping.wait(interval):
            self.expire_audio()

    def _store(self, data, prefix, text=None):
        name = f"{prefix}-{uuid.uuid4().hex}.wav"
        with self._lock:
            # Counted before it is written, and room made for it at once, so
            # that the folder never holds more than its limit.
            self._files[name] = (time.time(), len(data))
            self._audio_bytes += len(data)
            self._expire(time.time())
            if text is not None:
                digest = hashlib.sha256(data).hexdigest()
                self._texts[digest] = text
                self._texts.move_to_end(digest)
                while len(self._texts) > KNOWN_TEXTS:
                    self._texts.popitem(last=False)
        temp = self.audio_dir / f".{name}.part"
        temp.write_bytes(data)
        os.replace(temp, self.audio_dir / name)
        with self._lock:
            if name not in self._files:
                # Made room for others while it was being written: it is
                # already expired.
                (self.audio_dir / name).unlink(missing_ok=True)
        return f"{self.speech_url}/tts/audio/{name}"

    def _speak(self, text, voice, speed, pitch):
        """The synthesised audio, from the cache when this text was spoken
        with these settings before. Each answer is still a new file."""
        key = json.dumps([text, voice, speed, pitch], default=repr)
        with self._lock:
            data = self._spoken.get(key)
            if data is not None:
                self._spoken.move_to_end(key)
                return data
        data = audio.synthesise(text, voice, speed, pitch)
        with self._lock:
            self._spoken[key] = data
            while len(self._spoken) > SPOKEN_CACHE:
                self._spoken.popitem(last=False)
        return data

    def _known_text(self, data):
        with self._lock:
            return self._texts.get(hashlib.sha256(data).hexdigest())

    def audio_file(self, name):
        if not AUDIO_NAME.match(name):
            return None
        path = self.audio_dir / name
        return path if path.is_file() else None

    def _fetch(self, url):
        """The WAV audio at a loopback URL (plain HTTP or HTTPS under this CA)."""
        if not isinstance(url, str) or not url:
            raise BadRequest('"url" must be a non-empty text')
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise BadRequest('"url" must be an http or https URL')
        if not _is_loopback(parts.hostname):
            raise BadRequest("the stand-in fetches audio from loopback addresses only", 422)
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({}),
            urllib.request.HTTPSHandler(context=self._client_context),
            _NoRedirect,
        )
        try:
            with opener.open(url, timeout=FETCH_TIMEOUT) as response:
                data = response.read(MAX_AUDIO + 1)
        except urllib.error.HTTPError as e:
            raise BadRequest(f"fetching the audio failed: HTTP {e.code}", 422) from None
        except (urllib.error.URLError, OSError) as e:
            raise BadRequest(f"fetching the audio failed: {getattr(e, 'reason', e)}", 422) from None
        except ValueError as e:  # a URL that parses yet cannot be sent (control characters)
            raise BadRequest(f'"url" is not a usable URL: {e}') from None
        if len(data) > MAX_AUDIO:
            raise BadRequest("the audio is too large", 413)
        try:
            with wave.open(io.BytesIO(data)) as w:
                w.getnframes()
        except (wave.Error, EOFError):
            raise BadRequest("the audio is not a WAV file", 415) from None
        return data

    # -- endpoints ----------------------------------------------------------

    def tts(self, body):
        fields = body.get("data")
        if not isinstance(fields, list) or len(fields) < 2:
            raise BadRequest('"data" must be a list: text, voice, speed, "1", pitch, "0"')
        text, voice = fields[0], fields[1]
        if not isinstance(text, str) or not text.strip():
            raise BadRequest('the text (first element of "data") must be a non-empty text')
        if len(text) > audio.MAX_TEXT:
            raise BadRequest(f"the text is longer than {audio.MAX_TEXT} characters")
        speed = fields[2] if len(fields) > 2 else 1
        pitch = fields[4] if len(fields) > 4 else 1
        data = self._speak(text, voice, speed, pitch)
        url = self._store(data, "tts", text)
        entry = {"oss_url": url, "voice": voice, "duration": round(audio.duration(data), 2)}
        return 200, {"code": 0, "msg": "ok", "data": {"convert_result": [entry], "engine": self.synthesiser}}

    def clone(self, body):
        source = self._fetch(body.get("url"))
        voice_id = body.get("id")
        if voice_id is None:
            raise BadRequest('"id" is missing')
        # The recording is spoken again in a voice picked by the identifier
        # when its words are known; otherwise it is handed back as it is.
        words = self._known_text(source)
        if words is None and self.transcriber == "pocketsphinx":
            words = audio.recognise(source) or None
        digest = hashlib.sha256(str(voice_id).encode()).digest()
        variant = audio.CLONE_VARIANTS[digest[0] % len(audio.CLONE_VARIANTS)]
        if words:
            cloned = audio.synthesise(words, "en-us", variant=variant)
            url = self._store(cloned, "clone", words)
        else:
            url = self._store(source, "clone")
        return 200, {"data": url, "id": voice_id, "voice": variant if words else None}

    def transcribe(self, body):
        data = self._fetch(body.get("url"))
        if self.transcriber == "pocketsphinx":
            return 200, {"transcription": audio.recognise(data), "engine": "pocketsphinx"}
        text = self._known_text(data)
        if text is None:
            # No "transcription" member: the client reports that none was found.
            return 200, {"engine": "recorded", "note": "audio not synthesised by this service"}
        return 200, {"transcription": text, "engine": "recorded"}


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    # Hosts behind a balancer send a burst of up to thousands of calls at
    # once; the default backlog of 5 would drop their connections for a
    # second each. The kernel caps it at net.core.somaxconn.
    request_queue_size = 4096

    def __init__(self, address, handler, context, routes, services, name):
        self.routes = routes
        # Connections accepted so far: what a client's kept connections save
        # shows here (GET /).
        self.connections = 0
        self.services = services
        self.name = name
        self.context = context
        family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.address_family = family
        super().__init__(address, handler)

    def get_request(self):
        conn, addr = self.socket.accept()
        self.connections += 1
        # Headers and body go in writes of their own; on a kept connection
        # Nagle's algorithm would hold the body until the client's delayed ack.
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The handshake runs on the request's own thread (at its first read),
        # so a client that stalls in it cannot block the accept loop.
        return self.context.wrap_socket(conn, server_side=True, do_handshake_on_connect=False), addr


class _Handler(BaseHTTPRequestHandler):
    server_version = "standin/1"
    # Connections stay open between requests, as a real service's do; one
    # idle this long is closed (the socket's time-out).
    protocol_version = "HTTP/1.1"
    timeout = 60

    def log_message(self, format, *args):
        print(f"[{self.server.name}] {self.address_string()} {format % args}", flush=True)

    def _send(self, status, body, content_type="application/json"):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        path = urlsplit(self.path).path
        if path == "/":
            self._send(
                200,
                {
                    "service": self.server.name,
                    "endpoints": sorted(self.server.routes),
                    "connections": self.server.connections,
                },
            )
            return
        prefix = "/tts/audio/"
        if self.server.name == "speech" and path.startswith(prefix):
            found = self.server.services.audio_file(path[len(prefix) :])
            try:
                data = found.read_bytes() if found is not None else None
            except FileNotFoundError:
                data = None  # expired since it was looked up
            if data is not None:
                self._send(200, data, "audio/wav")
                return
        self._send(404, {"error": "not found"})

    do_HEAD = do_GET

    def do_POST(self):
        route = self.server.routes.get(urlsplit(self.path).path)
        # A body left unread would be taken for the next request: the
        # connection is kept only once the whole body has been read.
        kept = not self.close_connection
        self.close_connection = True
        if route is None:
            self._send(404, {"error": "not found"})
            return
        try:
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if length < 0 or length > MAX_BODY:
                raise BadRequest("the body is missing or too large")
            try:
                raw = self.rfile.read(length)
                self.close_connection = not kept or len(raw) < length
                body = json.loads(raw)
            except ValueError:
                raise BadRequest("the body is not JSON") from None
            if not isinstance(body, dict):
                raise BadRequest("the body must be a JSON object")
            status, answer = route(body)
        except BadRequest as e:
            status, answer = e.status, {"error": str(e)}
        except Exception as e:  # the service answers; the trace goes to its log
            self.log_error("internal error: %r", e)
            status, answer = 500, {"error": "internal error"}
        self._send(status, answer)
