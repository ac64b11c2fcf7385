"""Attacks on the front, from many loopback addresses at once: a flood of
calls, headers sent a byte a second (a slowloris), answers read a KiB a
second, and HTTP/2 streams whose window is never opened. The front's tests
and the benchmarks share them."""

import asyncio
import json
import socket
import threading
import time
import urllib.parse

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings


def flood_address(i):
    """The loopback address that stands for the i-th client of a flood,
    each the only one of its /24 (a client is a network to the front and
    the store): 127.x.y.1 from 127.100.0.1, apart from 127.0.0.1, which
    the honest callers use."""
    return f"127.{100 + i // 256}.{i % 256}.1"


def network_address(i):
    """The i-th of many addresses of one /24, 127.5.0.0/24: one client
    that holds many addresses."""
    return f"127.5.0.{i % 254 + 1}"


async def _raw_call(host, port, source, request, timeout):
    started = time.monotonic()
    outcome = {"source": source, "status": None, "seconds": None, "retry_after": None, "error": None}
    try:
        async with asyncio.timeout(timeout):
            reader, writer = await asyncio.open_connection(host, port, local_addr=(source, 0))
            try:
                writer.write(request)
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                outcome["status"] = int(lines[0].split()[1])
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.lower() == "retry-after":
                        outcome["retry_after"] = value.strip()
                await reader.read()  # the body, to the close
            finally:
                writer.close()
    except (TimeoutError, OSError, asyncio.IncompleteReadError, ValueError, IndexError) as e:
        outcome["error"] = repr(e)
    outcome["seconds"] = time.monotonic() - started
    return outcome


def flood(base_url, addresses, per_address, text="A caller among many.", timeout=90, path="/api/tts"):
    """`addresses` x `per_address` text-to-speech calls, all sent at once,
    each from the loopback address of its client (flood_address) on a
    connection of its own: what many clients at one moment look like to the
    front. Returns one outcome per call (status None: no answer, see
    "error"), never raises for a call."""
    url = urllib.parse.urlsplit(base_url)
    body = json.dumps({"text": text, "voice_id": "en-us"}).encode()

    def request(call_id):
        return (
            f"POST {path} HTTP/1.1\r\nHost: {url.netloc}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\nX-Call-Id: {call_id}\r\nConnection: close\r\n\r\n"
        ).encode() + body

    async def run():
        calls = [
            _raw_call(url.hostname, url.port, flood_address(a), request(f"flood-{a}-{i}"), timeout)
            for a in range(addresses)
            for i in range(per_address)
        ]
        return await asyncio.gather(*calls)

    return asyncio.run(run())


async def _trickle(host, port, source, head, seconds, held):
    try:
        reader, writer = await asyncio.open_connection(host, port, local_addr=(source, 0))
    except OSError:
        return "refused"
    held.append(writer)
    try:
        writer.write(head)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            await asyncio.sleep(1)
            if reader.at_eof() or writer.is_closing():
                return "closed"
            writer.write(b"X")
            await writer.drain()
        return "held"
    except OSError:
        return "closed"
    finally:
        writer.close()


class Trickle:
    """`addresses` x `per_address` connections to the front, each sending
    the start of a request and then a byte of its headers a second, for
    `seconds` (a slowloris from many addresses), on a thread of its own;
    `outcomes` once joined: how each connection ended."""

    def __init__(self, base_url, addresses, per_address, seconds, first=100):
        self.url = urllib.parse.urlsplit(base_url)
        self.args = addresses, per_address, seconds, first
        self.held = []
        self.outcomes = None
        self.thread = threading.Thread(target=lambda: asyncio.run(self._run()), daemon=True)

    async def _run(self):
        addresses, per_address, seconds, first = self.args
        head = f"POST /api/tts HTTP/1.1\r\nHost: {self.url.netloc}\r\nX-Slow: ".encode()
        self.outcomes = await asyncio.gather(
            *[
                _trickle(self.url.hostname, self.url.port, flood_address(first + a), head, seconds, self.held)
                for a in range(addresses)
                for _ in range(per_address)
            ]
        )

    def start(self):
        self.thread.start()
        return self

    def join(self, timeout=None):
        self.thread.join(timeout)
        return self.outcomes


async def _read_slowly(host, port, source, request, seconds):
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # the window stays small
    sock.setblocking(False)
    try:
        sock.bind((source, 0))
        await asyncio.get_running_loop().sock_connect(sock, (host, port))
        reader, writer = await asyncio.open_connection(sock=sock)
    except OSError:
        sock.close()
        return "refused"
    try:
        writer.write(request)
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            try:
                # An answer that has not begun yet is still held open.
                if not await asyncio.wait_for(reader.read(1024), left):
                    return "closed"
            except TimeoutError:
                break
            await asyncio.sleep(1)
        return "held"
    except OSError:
        return "closed"
    finally:
        writer.close()


def read_slowly(base_url, path, addresses, per_address, seconds, first=200):
    """`addresses` x `per_address` clients that ask for `path` and read its
    answer a KiB a second, for `seconds`; how each connection ended."""
    url = urllib.parse.urlsplit(base_url)
    request = f"GET {path} HTTP/1.1\r\nHost: {url.netloc}\r\n\r\n".encode()

    async def run():
        return await asyncio.gather(
            *[
                _read_slowly(url.hostname, url.port, flood_address(first + a), request, seconds)
                for a in range(addresses)
                for _ in range(per_address)
            ]
        )

    return asyncio.run(run())


async def _stalled_streams(host, port, source, authority, path, streams, seconds):
    """One HTTP/2 connection (prior knowledge) from `source` asking for `path`
    on `streams` streams with a window of 0, which it never opens: how each
    stream ended ("held": a download still open when `seconds` ran out,
    "refused STATUS": answered otherwise)."""
    try:
        reader, writer = await asyncio.open_connection(host, port, local_addr=(source, 0))
    except OSError:
        return ["refused"] * streams
    connection = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    connection.initiate_connection()
    connection.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
    ended = {}
    for _ in range(streams):
        stream = connection.get_next_available_stream_id()
        request = [(":method", "GET"), (":scheme", "http"), (":authority", authority), (":path", path)]
        connection.send_headers(stream, request, end_stream=True)
        ended[stream] = "held"
    try:
        writer.write(connection.data_to_send())
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            try:
                data = await asyncio.wait_for(reader.read(65536), left)
            except TimeoutError:
                break
            if not data:
                return ["closed" if v == "held" else v for v in ended.values()]
            for event in connection.receive_data(data):
                if isinstance(event, h2.events.ResponseReceived):
                    status = dict(event.headers).get(b":status", b"").decode()
                    if status != "200":
                        ended[event.stream_id] = f"refused {status}"
                elif isinstance(event, h2.events.StreamReset):
                    ended[event.stream_id] = "reset"
                elif isinstance(event, h2.events.StreamEnded) and ended[event.stream_id] == "held":
                    ended[event.stream_id] = "ended"
            writer.write(connection.data_to_send())  # acknowledgements only, never a window
        return list(ended.values())
    except (OSError, h2.exceptions.ProtocolError):
        return ["closed" if v == "held" else v for v in ended.values()]
    finally:
        writer.close()


def stall_streams(base_url, path, addresses, streams, seconds, first=400):
    """`addresses` clients, each on one HTTP/2 connection holding `streams`
    streams of `path` whose window it never opens, for `seconds`; how each
    stream ended."""
    url = urllib.parse.urlsplit(base_url)

    async def run():
        connections = await asyncio.gather(
            *[
                _stalled_streams(
                    url.hostname, url.port, flood_address(first + a), url.netloc, path, streams, seconds
                )
                for a in range(addresses)
            ]
        )
        return [outcome for each in connections for outcome in each]

    return asyncio.run(run())
