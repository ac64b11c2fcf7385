"""The fleet's front against a single stranger and a hung host: per-client
limits, slow clients, the queue within each host's capacity, active health,
the Host header, hidden files, and hosts nobody reaches past the front.

Distinct loopback source addresses stand for distinct clients. The hosts run
the module's real wait: the flood and the hung host are about calls held."""

import dataclasses
import http.client
import ipaddress
import json
import os
import resource
import runpy
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import clients
import pytest

from support.processes import children, wait_until
from testing import attacks, front_log

pytestmark = pytest.mark.real_wait

TTS = json.dumps({"text": "An honest caller.", "voice_id": "en-us"}).encode()
# The module's fixed wait; every bound below is this plus a generous margin.
WAIT = 10


@pytest.fixture(scope="module")
def fleet(fleet_factory):
    # Room on the hosts for a whole flood's share and the honest callers,
    # so that only the front's per-client limits decide.
    fleet = fleet_factory(2, threads=64)
    yield fleet
    fleet.stop()


def request(fleet, method, path, body=None, source="127.0.0.1", headers=None, timeout=60, version=None):
    """One request to the front from `source`: (status, headers, body,
    seconds); status None when the front closed the connection instead."""
    connection = http.client.HTTPConnection(
        "127.0.0.1", fleet.port, timeout=timeout, source_address=(source, 0)
    )
    if version == "HTTP/1.0":
        connection._http_vsn, connection._http_vsn_str = 10, "HTTP/1.0"
    started = time.monotonic()
    try:
        all_headers = {"Content-Type": "application/json"} if body is not None else {}
        all_headers.update(headers or {})
        skip_host = "Host" in all_headers or version == "HTTP/1.0"
        connection.putrequest(method, path, skip_host=skip_host, skip_accept_encoding=True)
        for name, value in all_headers.items():
            if value is not None:
                connection.putheader(name, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return response.status, response.headers, response.read(), time.monotonic() - started
    except (ConnectionError, http.client.RemoteDisconnected) as e:
        return None, {}, repr(e).encode(), time.monotonic() - started
    finally:
        connection.close()


def in_parallel(count, call):
    results = [None] * count

    def run(i):
        results[i] = call(i)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    return threads, results


def join(threads, seconds):
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(0.1, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), f"calls still running after {seconds} s"


def client_entry(fleet, address, table="per_client"):
    """The front's counters for the client (the network) of one address ({}
    when it has none)."""
    network = ipaddress.ip_network((address, fleet.front.client_prefix_v4), strict=False)
    key = f"::ffff:{network.network_address}"
    for line in fleet.front_command(f"show table {table} key {key}").splitlines():
        if "key=" in line:
            return dict(part.split("=", 1) for part in line.split()[1:] if "=" in part)
    return {}


# A client is a network: its many addresses of one /24 hold what one would.
@pytest.mark.parametrize("addresses", [1, 200], ids=["one-address", "many-addresses-of-one-network"])
def test_one_client_flooding_the_front_leaves_another_client_served(fleet, addresses):
    flood = 200
    threads, flooded = in_parallel(
        flood,
        lambda i: request(
            fleet,
            "POST",
            "/api/tts",
            TTS,
            source=f"127.0.2.{i % addresses + 1}",
            headers={"X-Call-Id": f"flood-{i}"},
        ),
    )
    # The honest call goes in once the flood holds all it may hold.
    wait_until(lambda: sum(clients.in_flight(h) for h in fleet.hosts) >= fleet.front.client_calls, 8)
    status, _, body, seconds = request(
        fleet, "POST", "/api/tts", TTS, source="127.0.3.1", headers={"X-Call-Id": "honest"}
    )
    join(threads, 3 * WAIT)

    assert status == 200 and json.loads(body)["data"]["convert_result"][0]["oss_url"].startswith(fleet.url)
    assert seconds < WAIT + 2, f"the honest call took {seconds:.1f} s"
    answered = [r for r in flooded if r[0] == 200]
    refused = [r for r in flooded if r[0] == 429]
    # Two hundred connections at once from one address may hold more than
    # its share for a moment: the front closes those over it unread.
    closed = [r for r in flooded if r[0] is None]
    assert len(answered) == fleet.front.client_calls and len(answered) + len(refused) + len(closed) == flood
    for _, headers, body, seconds in refused:
        assert int(headers["Retry-After"]) > 0 and "error" in json.loads(body)
        # At once, not after a call's wait (a loaded machine took 2.06 s).
        assert seconds < WAIT / 2
    assert all(seconds < WAIT / 2 for _, _, _, seconds in closed)
    # No host ever saw a refused call, nor a closed one (the front logs no
    # line of those: it closed them before reading a request). The check
    # goes by call ids, not by a count of lines, so a line the front has not
    # yet written when the log is read cannot fail it; every line there
    # must say what it should.
    refused_ids = {f"flood-{i}" for i, r in enumerate(flooded) if r[0] == 429}
    answered_ids = {f"flood-{i}" for i, r in enumerate(flooded) if r[0] == 200}
    routed = front_log.routed(fleet.access_log, answered_ids | refused_ids)
    to_hosts = {
        call
        for call, (_, upstream) in routed.items()
        if call.startswith("flood-") and upstream.startswith("host-")
    }
    assert to_hosts.issubset(answered_ids), to_hosts - answered_ids
    assert all(routed[call][1].startswith("host-") for call in answered_ids & routed.keys())
    assert all(routed[call] == (429, "<NOSRV>") for call in refused_ids & routed.keys())


def test_an_address_over_its_request_rate_gets_429_and_others_do_not(fleet):
    limit = fleet.front.client_rate
    statuses = [
        request(fleet, "GET", "/output/tts/none.wav", source="127.0.4.1")[0] for _ in range(limit + 5)
    ]
    assert statuses[:limit] == [404] * limit and statuses[limit:] == [429] * 5
    # Other addresses are not slowed by it.
    assert request(fleet, "GET", "/output/tts/none.wav", source="127.0.5.1")[0] == 404


def trickle(fleet, source, part, seconds):
    """A connection from `source` that sends the start of a call, then one
    byte a second of its headers or its body. Returns the connection and
    the thread that trickles until the front closes it."""
    conn = socket.create_connection(("127.0.0.1", fleet.port), timeout=seconds, source_address=(source, 0))
    start = f"POST /api/tts HTTP/1.1\r\nHost: 127.0.0.1:{fleet.port}\r\nContent-Type: application/json\r\n"
    conn.sendall((start if part == "headers" else start + f"Content-Length: {len(TTS)}\r\n\r\n").encode())
    outcome = {}

    def run():
        started = time.monotonic()
        try:
            while time.monotonic() - started < seconds:
                conn.sendall(b"X" if part == "headers" else b" ")
                conn.settimeout(1)
                try:
                    answer = conn.recv(4096)
                except TimeoutError:
                    continue
                outcome.update(answer=answer, after=time.monotonic() - started)
                return
        except OSError as e:
            outcome.update(answer=repr(e).encode(), after=time.monotonic() - started)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return conn, thread, outcome


@pytest.mark.parametrize(
    "part, source, holds, over",
    [
        # Headers never finished: the address holds its share of the
        # front's connections, and the next connection is closed unread.
        ("headers", "127.0.6.1", "client_connections", None),
        # A body never finished is a call in flight: the address holds its
        # calls, and the next one gets 429.
        ("body", "127.0.7.1", "client_calls", 429),
    ],
)
def test_trickling_clients_are_cut_and_cannot_crowd_out_others(fleet, part, source, holds, over):
    holds = getattr(fleet.front, holds)
    held = [trickle(fleet, source, part, 3 * WAIT) for _ in range(holds)]
    try:
        wait_until(lambda: int(client_entry(fleet, source).get("conn_cur", 0)) == holds, 5)
        extra = request(fleet, "POST", "/api/tts", TTS, source=source, timeout=5)
        assert extra[0] == over and extra[3] < 2
        # Meanwhile another address is served in full.
        status, _, _, seconds = request(fleet, "POST", "/api/tts", TTS, source="127.0.8.1")
        assert status == 200 and seconds < WAIT + 2
        for _, thread, _ in held:
            thread.join(3 * WAIT)
    finally:
        for conn, _, _ in held:
            conn.close()
    for _, _, outcome in held:
        # Cut with 408 once its time-out ran out, however it kept sending.
        assert outcome["answer"].startswith(b"HTTP/1.1 408"), outcome
        assert outcome["after"] < WAIT + 3
    # ... and freed: the address holds no connection any more.
    wait_until(lambda: int(client_entry(fleet, source).get("conn_cur", 0)) == 0, 2)


@pytest.mark.parametrize(
    "headers, version, expected",
    [
        ({}, None, 200),
        ({"Host": "localhost:{port}"}, None, 200),
        ({"Host": "evil.example"}, None, 421),
        ({"Host": "127.0.0.1.evil.example:{port}"}, None, 421),
        ({"Host": "[::1]:{port}"}, None, 421),
        ({}, "HTTP/1.0", 421),  # no Host at all
        # A list is no name, whichever of its items is the front's, nor is
        # a name with a path, a user or a blank in it: malformed.
        ({"Host": "evil.example, 127.0.0.1:{port}"}, None, 400),
        ({"Host": "127.0.0.1:{port}, evil.example"}, None, 400),
        ({"Host": "127.0.0.1:{port}/x"}, None, 400),
        ({"Host": "127.0.0.1:{port}.evil.example"}, None, 400),
        ({"Host": "user@127.0.0.1:{port}"}, None, 400),
        ({"Host": "127.0.0.1 :{port}"}, None, 400),
        # ... nor one with characters no name has, which HAProxy 3's own
        # parser lets through to the front's rules.
        ({"Host": "127.0.0.1:{port};x"}, None, 400),
        ({"Host": "127.0.0.1%3A{port}"}, None, 400),
        (
            {
                "X-Forwarded-Proto": "https",
                "X-Forwarded-Host": "evil.example",
                "Forwarded": "host=evil.example",
            },
            None,
            200,
        ),
    ],
)
def test_links_come_from_the_fleet_never_from_the_request(fleet, headers, version, expected):
    headers = {k: v.format(port=fleet.port) for k, v in headers.items()}
    status, answer_headers, body, _ = request(
        fleet, "POST", "/api/tts", TTS, headers=headers, version=version
    )
    assert status == expected and "Server" not in answer_headers
    if expected == 200:
        assert json.loads(body)["data"]["convert_result"][0]["oss_url"].startswith(fleet.url)
    else:
        assert "error" in json.loads(body)


@pytest.mark.parametrize(
    "path",
    [
        "/output/tts/{hidden}",
        "/output/tts/{hidden}/../x.wav",
        "/output/tts/%2E{hidden_rest}/%2e%2e/x.wav",
        "/output/tts/{hidden}%2F..%2Fx.wav",
    ],
)
@pytest.mark.parametrize("through", ["front", "nginx"])
def test_partial_downloads_are_never_served(fleet, path, through):
    from unix_http import http_get

    hidden = ".dorvane-0123456789abcdef.part"
    (fleet.store / "tts" / hidden).write_bytes(b"half a file")
    path = path.format(hidden=hidden, hidden_rest=hidden[1:])
    if through == "front":
        status, _, body, _ = request(fleet, "GET", path)
    else:  # the store's own server, as only the front reaches it
        status, body, _ = http_get(fleet.nginx_socket, path)
    assert status == 404 and b"half a file" not in body


@pytest.mark.parametrize(
    "path, status",
    [
        ("/output/tts/{name}", 200),
        # Encoded letters and slashes: the same link once decoded, so nginx's.
        ("/%6Futput/tts/{name}", 200),
        ("/%6futput/%74ts/{name}", 200),
        ("/output%2Ftts/{name}", 200),
        # Empty and dot segments, plain, encoded and in mixed case, each with
        # the real file behind it once normalised: refused.
        ("//output/tts/{name}", 404),
        ("/output//tts/{name}", 404),
        ("/%2Foutput/tts/{name}", 404),
        ("/x/../output/tts/{name}", 404),
        ("/x/%2e%2e/output/tts/{name}", 404),
        ("/output/tts/sub/%2e%2e/{name}", 404),
        ("/output/tts/sub/%2E%2E/{name}", 404),
        ("/output/tts/sub/%2e%2E/{name}", 404),
        ("/output/tts/sub/.%2E/{name}", 404),
        ("/output/tts/sub%2F%2E%2E%2F{name}", 404),
        # A path that does not decode is malformed.
        ("/output/tts/%zz{name}", 400),
    ],
)
def test_every_spelling_of_a_stored_files_link_is_nginxs_or_refused(fleet, path, status):
    (fleet.store / "tts" / "spelled.wav").write_bytes(b"RIFF the stored bytes")
    call = f"spelled-{abs(hash(path))}"
    answer, headers, body, _ = request(
        fleet, "GET", path.format(name="spelled.wav"), source="127.0.10.1", headers={"X-Call-Id": call}
    )
    assert answer == status and "X-Served-By" not in headers
    assert (body == b"RIFF the stored bytes") == (status == 200)
    # No host saw it: nginx answered, or the front itself.
    upstream = "files" if status == 200 else "<NOSRV>"
    assert front_log.routed(fleet.access_log, [call])[call] == (status, upstream)


def test_idle_keep_alive_connections_of_an_address_are_not_its_calls_in_flight(fleet):
    source, idle = "127.0.11.1", fleet.front.client_calls + 8
    connections = [
        http.client.HTTPConnection("127.0.0.1", fleet.port, timeout=10, source_address=(source, 0))
        for _ in range(idle)
    ]
    try:
        for connection in connections:
            connection.request("GET", "/api/status")
            assert connection.getresponse().status == 200
        assert int(client_entry(fleet, source)["conn_cur"]) > fleet.front.client_calls
        # Held open and idle, they are connections, not calls: a call is served.
        assert request(fleet, "POST", "/api/tts", TTS, source=source)[0] == 200
    finally:
        for connection in connections:
            connection.close()


def test_a_call_id_is_logged_only_as_a_plain_token(fleet):
    source = "127.0.12.1"
    for call in ("x upstream=host-9 backend=hosts call=forged", 'a"b', "plain-Token_1.2:3"):
        assert request(fleet, "GET", "/api/status", source=source, headers={"X-Call-Id": call})[0] == 200

    def lines():
        return [line for line in fleet.access_log.read_text().splitlines() if line.startswith(source + " ")]

    wait_until(lambda: len(lines()) == 3, 5)
    assert [line.rsplit(" call=", 1)[1] for line in lines()] == ["-", "-", "plain-Token_1.2:3"]
    assert all(line.count("upstream=") == 1 and line.count(" call=") == 1 for line in lines())


def test_nginx_follows_no_symbolic_link_out_of_the_store(fleet):
    # Beside the store, where nginx's workers may read: the link alone is
    # what must stop them.
    secret = fleet.store.parent / "secret.wav"
    secret.write_bytes(b"RIFF outside the store")
    secret.chmod(0o644)
    (fleet.store / "tts" / "linked.wav").symlink_to(secret)
    status, _, body, _ = request(fleet, "GET", "/output/tts/linked.wav")
    assert status in (403, 404) and b"outside" not in body


def test_junk_requests_leave_the_logs_bounded_and_the_logs_and_figures_private(fleet_factory):
    bound, kept = 20_000, 2
    fleet = fleet_factory(1, front={"log_max_bytes": bound, "log_files": kept})
    try:
        # 200 requests of some 750 bytes' line each, on one connection: five
        # times what the bound keeps.
        connection = http.client.HTTPConnection("127.0.0.1", fleet.port, timeout=10)
        for i in range(200):
            connection.request("GET", f"/api/status?junk={'x' * 600}", headers={"X-Call-Id": f"junk-{i}"})
            response = connection.getresponse()
            response.read()
            assert response.status == 200
        connection.close()
        wait_until(lambda: "call=junk-199" in fleet.access_log.read_text(), 30)
        figures = fleet.hosts[0].workdir / "metrics"
        assert list(figures.glob("*.db")) and figures.stat().st_mode & 0o077 == 0
    finally:
        fleet.stop()
    for log in (fleet.access_log, fleet.hosts[0].log):
        kept_files = sorted(log.parent.glob(log.name + "*"))
        # Rotated as logrotate names them, none past its bound.
        assert [p.name for p in kept_files] == [log.name, *(f"{log.name}.{n}" for n in range(1, kept + 1))]
        assert all(p.stat().st_size <= bound for p in kept_files)
        assert all(p.stat().st_mode & 0o077 == 0 for p in kept_files)


def test_writes_to_the_store_are_refused_at_the_front_and_leave_nginxs_log_bounded_and_private(fleet):
    # A stranger's POSTs with bodies nginx would refuse, and log, from many
    # addresses (within each one's rate), every spelling the front routes to
    # the store.
    before = fleet.nginx_log.stat().st_size
    paths = ["/output/tts/a.wav", "/%6Futput/clone/b.wav", "/output/", "/output/tts/missing"]
    body = b"x" * 2048

    def post(i):
        return [
            request(
                fleet, method, paths[n % len(paths)], body, source=attacks.flood_address(600 + i), timeout=10
            )
            for n, method in enumerate(["POST", "PUT", "DELETE", "PATCH", "POST"] * 10)
        ]

    threads, results = in_parallel(20, post)
    join(threads, 120)
    answers = [r for each in results for r in each]
    assert len(answers) == 1000
    assert {(status, headers.get("Allow")) for status, headers, *_ in answers} == {(405, "GET, HEAD")}
    time.sleep(1)  # what nginx would have logged reaches its sink
    assert fleet.nginx_log.stat().st_size - before <= 64 << 10
    assert fleet.nginx_log.stat().st_mode & 0o077 == 0
    # Reading a stored file still reaches nginx.
    (fleet.store / "tts" / "read.wav").write_bytes(b"stored bytes")
    assert request(fleet, "HEAD", "/output/tts/read.wav")[0] == 200


@pytest.mark.parametrize(
    "path",
    [
        "/healthz",
        "/readyz",
        "/livez",
        "/%68ealthz",
        "/healthz?full=1",
        "//healthz",
        "/%2fhealthz",
        "/%2Fhealthz",
        "/./healthz",
        "/metrics",
        "/metric%73",
        "//metrics",
        "/%2fmetrics",
        "/./metrics",
        "/api/../metrics",
    ],
)
def test_health_and_figures_are_not_answered_to_the_public(fleet, path):
    status, _, body, _ = request(fleet, "GET", path)
    assert status == 404 and b"served_by" not in body and b"webapp_requests" not in body


def raw(fleet, data, source="127.0.0.1", timeout=10):
    """`data` sent as it is on a connection of its own; what came back
    before the front closed it or the time-out ran out."""
    with socket.create_connection(
        ("127.0.0.1", fleet.port), timeout=timeout, source_address=(source, 0)
    ) as conn:
        conn.sendall(data)
        answer = b""
        try:
            while chunk := conn.recv(65536):
                answer += chunk
                if (
                    b"\r\n\r\n" in answer
                    and b"Connection: close" not in answer
                    and b"connection: close" not in answer
                ):
                    break
        except (TimeoutError, ConnectionResetError):
            pass
    return answer


@pytest.mark.parametrize(
    "lengths, status",
    [
        # More digits than 64 bits hold: 2^64 wraps to 0 as a 64-bit number
        # (HAProxy 2.6 read it so), and HAProxy 3's parser refuses it itself.
        (["18446744073709551616"], {400}),
        (["10000000000000000000"], {400}),
        (["36893488147419103232"], {400}),
        (["99999999999999999999999"], {400}),
        (["9999999999999999999"], {413}),  # 19 digits: a number, far over the limit
        (["100000"], {413}),  # six digits: over the limit by its length alone
        (["65537"], {413}),
        (["-1"], {400}),
        (["1e3"], {400}),
        (["0x20"], {400}),
        # Lengths that disagree (identical ones HAProxy merges into one, as
        # HTTP allows): HAProxy's parser refuses them before any rule, and
        # HAProxy 3 closes the connection without a word (None).
        (["20", "21"], {400, None}),
        (["20, 21"], {400}),
    ],
)
def test_a_content_length_that_is_not_one_plain_bounded_number_is_refused_by_the_front(
    fleet, lengths, status
):
    call = f"framing-{'-'.join(lengths)}".replace(" ", "").replace(",", "c")
    head = (
        f"POST /api/tts HTTP/1.1\r\nHost: 127.0.0.1:{fleet.port}\r\nContent-Type: application/json\r\n"
        f"X-Call-Id: {call}\r\n" + "".join(f"Content-Length: {n}\r\n" for n in lengths) + "\r\n"
    )
    answer = raw(fleet, head.encode() + TTS[:20])
    assert (int(answer.split(b" ", 2)[1]) if answer else None) in status, answer[:200]
    # The front answered itself: no host saw it.
    assert front_log.routed(fleet.access_log, [call], seconds=1).get(call, (0, "<NOSRV>"))[1] == "<NOSRV>"


def test_bad_framing_is_refused_at_the_front_and_leaves_other_clients_keep_alive_requests_unharmed(fleet):
    def bad(i):
        return (
            f"POST /api/tts HTTP/1.1\r\nHost: 127.0.0.1:{fleet.port}\r\nContent-Type: application/json\r\n"
            f"X-Call-Id: wrapped-{i}\r\nContent-Length: 18446744073709551616\r\n\r\n"
        ).encode() + TTS

    before = fleet.front_stats()
    attackers, answers = in_parallel(60, lambda i: raw(fleet, bad(i), source=f"127.0.13.{i % 20 + 1}"))

    def keep_alive(i):
        connection = http.client.HTTPConnection(
            "127.0.0.1", fleet.port, timeout=10, source_address=(f"127.0.4.{i + 1}", 0)
        )
        statuses = []
        try:
            for _ in range(30):
                connection.request("GET", "/api/status")
                response = connection.getresponse()
                response.read()
                statuses.append(response.status)
        except (OSError, http.client.HTTPException) as e:
            statuses.append(repr(e))
        finally:
            connection.close()
        return statuses

    honest, results = in_parallel(8, keep_alive)
    join(attackers + honest, 30)
    assert all(a.startswith(b"HTTP/1.1 400 ") for a in answers), {a[:40] for a in answers}
    assert results == [[200] * 30] * 8

    # Refused at the front: the hosts had the honest requests and no other,
    # and the front answered the 60 errors itself. A stream's counters are
    # added when it ends.
    after = {}

    def grew(row, counter):
        return int(after[row][counter] or 0) - int(before[row][counter] or 0)

    def front_answered_all():
        after.update(fleet.front_stats())
        return grew(("front", "FRONTEND"), "hrsp_4xx") >= 60

    wait_until(front_answered_all, 10, "the front's count of its 400 answers")
    assert grew(("front", "FRONTEND"), "hrsp_4xx") == 60
    assert grew(("hosts", "BACKEND"), "req_tot") == 8 * 30
    assert sum(grew(row, "hrsp_4xx") for row in after if row[0] == "hosts") == 0

    # And its log has every line of the burst. The attackers' are found by
    # addresses no other test here uses: the parser refused the length
    # before the call id was read.
    def attackers_lines():
        return [line for line in fleet.access_log.read_text().splitlines() if line.startswith("127.0.13.")]

    wait_until(lambda: len(attackers_lines()) == 60, 60, "the attackers' 60 log lines")
    assert all(" upstream=<NOSRV> " in line for line in attackers_lines())


def test_hosts_listen_only_where_the_front_reaches_them(fleet):
    for host in fleet.hosts:
        # No network socket at all: a host's sockets are its unix socket.
        inodes = set()
        for pid in host.pids():
            for fd in Path(f"/proc/{pid}/fd").iterdir():
                target = os.readlink(fd)
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        listening = [
            line.split()[9]
            for name in ("tcp", "tcp6")
            for line in Path(f"/proc/net/{name}").read_text().splitlines()[1:]
            if line.split()[3] == "0A"
        ]
        assert not inodes & set(listening)
        assert host.healthy()
    # The sockets' folder is closed to every other user of the machine but
    # the front's (started as root, HAProxy runs as a user of its own).
    folder, front_user = fleet.sockets.stat(), fleet.front_user()
    assert folder.st_mode & 0o027 == 0
    assert folder.st_mode & 0o070 == 0 if front_user is None else folder.st_gid == front_user[1]
    # Another user (as root can show: nobody) cannot connect to a host.
    system_python = shutil.which("python3", path="/usr/bin:/bin")
    if os.geteuid() == 0 and system_python:
        probe = "import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])"
        for host in fleet.hosts:
            tried = subprocess.run(
                [system_python, "-c", probe, str(host.socket)],
                user=65534,
                cwd="/",
                capture_output=True,
                text=True,
            )
            assert tried.returncode != 0 and "PermissionError" in tried.stderr


def test_a_host_on_a_tcp_address_believes_no_forwarded_headers(fleet, tmp_path):
    """Reached directly, without a front, a host takes its links from the
    request, and a client's X-Forwarded-Proto must not turn them to https."""
    from host_process import Host

    from support.processes import free_port

    port = free_port()
    env = {k: v for k, v in fleet.env.items() if k != "WEBAPP_BASE_URL"}
    host = Host(1, tmp_path, port=port).start(dict(env, WEBAPP_THREADS="2"))
    try:
        host.wait_ready()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        connection.request(
            "POST",
            "/api/tts",
            TTS,
            {"Content-Type": "application/json", "X-Forwarded-Proto": "https", "X-Forwarded-Ssl": "on"},
        )
        answer = json.loads(connection.getresponse().read())
        assert answer["data"]["convert_result"][0]["oss_url"].startswith(
            f"http://127.0.0.1:{port}/output/tts/"
        )
    finally:
        host.terminate()
        host.wait_stopped()


@pytest.fixture
def narrow(fleet_factory):
    """One host that takes two calls at a time, with a queue of two and a
    call time-out shorter than the module's wait."""
    fleet = fleet_factory(1, front={"host_calls": 2, "queue_max": 2, "queue_timeout": 2, "call_timeout": 4})
    yield fleet
    fleet.stop()


def test_calls_over_a_hosts_capacity_wait_briefly_or_get_503_at_once_and_time_outs_leave_the_host_in(narrow):
    threads, results = in_parallel(
        6, lambda i: (time.sleep(0.3 * (i >= 2)), request(narrow, "POST", "/api/tts", TTS))[1]
    )
    join(threads, 3 * WAIT)
    statuses = sorted(r[0] for r in results)
    # Two calls reached the host and outlived the call time-out (504); two
    # waited out the queue and got 503; the queue full, two more got 503
    # at once. Every refusal is JSON with a Retry-After.
    assert statuses == [503, 503, 503, 503, 504, 504]
    waits = sorted(seconds for status, _, _, seconds in results if status == 503)
    assert waits[1] < 1 and 1.5 < waits[2] < 4 and 1.5 < waits[3] < 4, waits
    for status, headers, body, _ in results:
        assert "error" in json.loads(body)
        if status == 503:
            assert int(headers["Retry-After"]) > 0
    # The time-outs were the calls', not the host's: it is still in.
    assert narrow.host_states() == {"host-1": "UP"}
    assert request(narrow, "GET", "/api/status")[0] == 200


def test_a_hung_host_is_taken_out_killed_and_restarted_and_its_calls_move_on(fleet):
    hung, live = fleet.hosts
    # Each outcome with the moment it came back.
    threads, first = in_parallel(
        16,
        lambda i: (
            *request(fleet, "POST", "/api/tts", TTS, headers={"X-Call-Id": f"hung-{i}"}),
            time.monotonic(),
        ),
    )
    wait_until(lambda: sum(clients.in_flight(h) for h in fleet.hosts) >= 16, 8)
    held = clients.in_flight(hung)
    assert held > 0 and clients.in_flight(live) > 0, "the calls did not spread over both hosts"
    stopped = time.monotonic()
    hung.signal(signal.SIGSTOP)
    try:
        wait_until(lambda: fleet.host_states()["host-1"] == "DOWN", 3.5)
        # The supervisor's watchdog kills it; the calls it held are tried
        # again on the live host and complete there.
        join(threads, 2 * WAIT + 10)
        assert [r[0] for r in first] == [200] * 16
        retried = front_log.retried(fleet.access_log, [f"hung-{i}" for i in range(16)])
        assert sum(retried[f"hung-{i}"] > 0 for i in range(16)) == held
        assert max(r[4] for r in first) - stopped < fleet.supervisor.watchdog + 2 * WAIT
        # New calls all succeed meanwhile.
        threads, after = in_parallel(12, lambda i: request(fleet, "POST", "/api/tts", TTS))
        join(threads, WAIT + 10)
        assert [r[0] for r in after] == [200] * 12
    finally:
        hung.signal(signal.SIGCONT)
    # Restarted, back within seconds, and given calls again.
    wait_until(lambda: fleet.host_states()["host-1"] == "UP", 15)
    assert any(
        what.startswith("made no progress") for _, name, what in fleet.supervisor.events if name == "host-1"
    )
    threads, again = in_parallel(4, lambda i: request(fleet, "POST", "/api/tts", TTS))
    join(threads, WAIT + 5)
    assert [r[0] for r in again] == [200] * 4 and hung.name in {r[1]["X-Served-By"] for r in again}


@pytest.mark.parametrize(
    "config, capacity, cpu_bound",
    [
        ({"workers": 1, "worker_class": "gthread", "threads": 16}, 16, 16),
        ({"workers": 3, "worker_class": "gthread", "threads": 8}, 24, 24),
        # gevent holds far more than its CPU serves: 45 calls/s x 10.5 s a worker.
        ({"workers": 1, "worker_class": "gevent", "threads": 1}, 1000, 472),
        ({"workers": 2, "worker_class": "gevent", "threads": 1}, 2000, 945),
    ],
)
def test_a_hosts_capacity_follows_its_gunicorn_settings_and_its_cpu(webapp, config, capacity, cpu_bound):
    from front import calls_in_flight
    from front import capacity as host_capacity

    config = dict(config, worker_connections=1000)
    assert host_capacity(config) == capacity
    assert calls_in_flight(config, worker_rate=45, call_seconds=10.5) == cpu_bound


@pytest.mark.parametrize(
    "settings, front, expected",
    [
        # The front's bounds are the application's and its server's own.
        (
            {},
            {},
            {"worker_class": "gevent", "capacity": 1000, "call_timeout": "240000ms", "body_max": "65536"},
        ),
        (
            {
                "WEBAPP_CALL_TIMEOUT": "300",
                "WEBAPP_WORKER_CLASS": "gthread",
                "WEBAPP_WORKERS": "3",
                "WEBAPP_THREADS": "8",
            },
            {},
            {"worker_class": "gthread", "capacity": 24, "call_timeout": "300000ms"},
        ),
        # Unless the front is given others.
        ({}, {"call_timeout": 4, "body_max": 1000}, {"call_timeout": "4000ms", "body_max": "1000"}),
    ],
)
def test_the_fleet_sets_its_hosts_server_and_takes_the_fronts_bounds_from_the_host(
    webapp, open_folders, settings, front, expected
):
    from fleet import Fleet
    from front import Front, capacity, haproxy_environ

    env = {k: v for k, v in os.environ.items() if not k.startswith(("WEBAPP_", "FRONT_"))}
    fleet = Fleet(
        open_folders("bounds"),
        2,
        port=1,
        env=dict(env, **settings),
        front=Front(host_calls=5, **front),
    )
    fleet.lay_out()
    fleet.stop()  # nothing started; its runtime folder goes
    hosts = fleet.hosts[0].environ(fleet.env)
    haproxy = haproxy_environ(fleet)
    if "capacity" in expected:
        # Each host is told its server settings, which gunicorn.conf.py reads.
        assert hosts["WEBAPP_WORKER_CLASS"] == expected["worker_class"]
        assert capacity(dataclasses.asdict(fleet.server)) == expected["capacity"]
    assert haproxy["CALL_TIMEOUT"] == expected["call_timeout"]
    if "body_max" in expected:
        assert haproxy["BODY_MAX"] == expected["body_max"]
        assert haproxy["BODY_DIGITS"] == str(len(expected["body_max"]))
    # HAProxy is given its settings and nothing else of the launcher's.
    assert not [name for name in haproxy if name.startswith(("WEBAPP_", "FRONT_"))]


def test_reading_the_hosts_gunicorn_settings_changes_nothing_and_starting_its_server_prepares_it(
    webapp, tmp_path, monkeypatch
):
    workdir = tmp_path / "host"
    stale = workdir / "metrics" / "counter_1.db"
    stale.parent.mkdir(parents=True)
    stale.write_bytes(b"an earlier run's figures")
    for name in ("PROMETHEUS_MULTIPROC_DIR", "WEBAPP_SERVED_BY"):
        # Set first, so that what the hooks set goes when the test does.
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    monkeypatch.setenv("WEBAPP_WORKDIR", str(workdir))
    monkeypatch.setenv("WEBAPP_BIND", "127.0.0.1:5999")
    monkeypatch.setenv("WEBAPP_HEALTH_BIND", f"unix:{tmp_path / 'health.sock'}")
    before = dict(os.environ)
    config = runpy.run_path(str(webapp.HERE / "gunicorn.conf.py"))
    assert dict(os.environ) == before and stale.exists()
    assert (config["chdir"], config["timeout"], config["worker_class"]) == (str(workdir), 240, "gevent")
    try:
        config["on_starting"](None)
        assert os.environ["PROMETHEUS_MULTIPROC_DIR"] == str(workdir / "metrics")
        assert os.environ["WEBAPP_SERVED_BY"].endswith(":5999")
        assert not stale.exists() and stale.parent.is_dir()
    finally:
        for listener in config["health_listeners"]:
            listener.close()


def test_a_slowloris_from_many_addresses_leaves_a_new_address_served(fleet):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 14000:
        pytest.skip(f"12,000 connections need more than {hard} open files")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    # 100 addresses x 120 connections, each trickling its headers.
    trickle = attacks.Trickle(fleet.url, 100, 120, 3 * WAIT).start()
    wait_until(lambda: len(trickle.held) >= 100 * fleet.front.client_connections, 60)
    try:
        status, _, body, seconds = request(fleet, "GET", "/", source="127.0.9.1", timeout=30)
        assert status == 200 and b"<html" in body.lower() and seconds < 5, seconds
        status, _, body, seconds = request(fleet, "POST", "/api/tts", TTS, source="127.0.9.2", timeout=30)
        assert status == 200 and seconds < 15, seconds
    finally:
        outcomes = trickle.join(3 * WAIT + 30)
    # Each address held its share, no more; the rest were closed at once,
    # the held ones after the header time-out.
    assert outcomes.count("refused") + outcomes.count("closed") == 12000


def haproxy_mib(fleet):
    """The front's master and its workers."""
    return sum(
        int(line.split()[1]) / 1024
        for pid in [fleet.haproxy.pid, *children(fleet.haproxy.pid)]
        for line in Path(f"/proc/{pid}/status").read_text().splitlines()
        if line.startswith("VmRSS:")
    )


def test_slow_readers_cost_the_front_a_bounded_memory_that_the_next_ones_reuse(fleet):
    (fleet.store / "tts" / "large.wav").write_bytes(os.urandom(5_500_000))
    peaks = []
    for _ in range(2):
        peak, stop = [0.0], threading.Event()

        def sample(peak=peak, stop=stop):
            while not stop.is_set():
                peak[0] = max(peak[0], haproxy_mib(fleet))
                time.sleep(0.2)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        # As many addresses as hold 3,200 downloads within each one's bound.
        each = fleet.front.client_files
        outcomes = attacks.read_slowly(fleet.url, "/output/tts/large.wav", 3200 // each, each, 8)
        stop.set()
        sampler.join()
        assert outcomes == ["held"] * 3200
        peaks.append(peak[0])
    # 3,200 slow readers within 72 KiB each (front.Front's bound) over
    # what the front held before, and a second wave within the same: what
    # the first freed is reused, not added to.
    assert max(peaks) < 3200 * 72 / 1024 + 64, peaks


def test_the_stores_server_reads_as_nobody_when_the_fleet_runs_as_root(fleet):
    if os.geteuid() != 0:
        pytest.skip("the fleet runs as its own user, and so does nginx")
    workers = children(fleet.nginx.pid)
    assert workers
    for pid in workers:
        uids = next(
            line for line in Path(f"/proc/{pid}/status").read_text().splitlines() if line.startswith("Uid:")
        )
        assert set(uids.split()[1:]) == {"65534"}, uids
    # ... and still serves the files the hosts wrote.
    (fleet.store / "tts" / "as-nobody.wav").write_bytes(b"stored bytes")
    assert clients.fetch(fleet.url + "output/tts/as-nobody.wav") == (200, b"stored bytes")


def uids(pid):
    """The real, effective, saved and file-system uids of process `pid`."""
    status = Path(f"/proc/{pid}/status").read_text().splitlines()
    return {int(u) for u in next(line for line in status if line.startswith("Uid:")).split()[1:]}


def test_no_haproxy_process_runs_as_root_and_the_front_still_reaches_its_peers(fleet):
    if os.geteuid() != 0:
        pytest.skip("the fleet runs as its own user, and so does HAProxy")
    pids = [fleet.haproxy.pid, *children(fleet.haproxy.pid)]
    assert len(pids) >= 2 and all(0 not in uids(pid) for pid in pids)
    # Its hosts' checks, their calls, the store's server and its own log.
    assert set(fleet.host_states().values()) == {"UP"}
    status, _, _, _ = request(fleet, "POST", "/api/tts", TTS, headers={"X-Call-Id": "as-haproxy"})
    assert status == 200
    (fleet.store / "tts" / "as-haproxy.wav").write_bytes(b"stored bytes")
    assert clients.fetch(fleet.url + "output/tts/as-haproxy.wav") == (200, b"stored bytes")
    wait_until(lambda: "call=as-haproxy" in fleet.access_log.read_text(), 10)


@pytest.mark.parametrize(
    "limits, addresses, bound",
    [
        # Many addresses, each over its share of downloads: the share holds
        # them to a few each, and honest downloads find nginx's room.
        ({"client_files": 4, "files_connections": 256}, 40, "client_files"),
        # Few addresses with a large share: the front's own bound on nginx.
        ({"client_files": 64, "files_connections": 48}, 3, "files_connections"),
    ],
    ids=["per-address", "per-front"],
)
def test_stalled_http2_downloads_leave_nginx_room_for_honest_ones(fleet_factory, limits, addresses, bound):
    fleet = fleet_factory(1, front=limits)
    try:
        (fleet.store / "tts" / "large.wav").write_bytes(os.urandom(5_500_000))
        (fleet.store / "tts" / "honest.wav").write_bytes(b"RIFF honest" * 1000)
        streams = []
        stalling = threading.Thread(
            target=lambda: streams.extend(
                attacks.stall_streams(fleet.url, "/output/tts/large.wav", addresses, 32, 20)
            ),
            daemon=True,
        )
        stalling.start()
        wait_until(lambda: int(fleet.front_stats()[("files", "files")]["scur"]) >= addresses * 3, 15)
        served = [clients.fetch(fleet.url + "output/tts/honest.wav", timeout=15)[0] for _ in range(20)]
        most = int(fleet.front_stats()[("files", "files")]["smax"])
        stalling.join(60)
    finally:
        fleet.stop()
    assert len(streams) == addresses * 32
    if bound == "client_files":
        assert served.count(200) >= 19, served
        # Each address holds its share; the rest of its streams are refused.
        assert streams.count("held") == addresses * limits["client_files"]
        assert streams.count("refused 429") == addresses * (32 - limits["client_files"])
    # nginx never sees more than the front's bound.
    assert most <= limits["files_connections"], most


# Set for each site by the deployment that runs the front (compose, the
# unit, the manifests), or read only where defined (TLS, the log's sink).
PER_SITE = {"STACK", "ADMIN_SOCKET", "PORT", "SERVER_NAMES", "NGINX_SOCKET"}
OPTIONAL = {"CERTIFICATE", "HSTS_SECONDS", "HTTPS_ROOT", "TLS_PORT", "LOG_SOCKET", "NAME"}


def test_every_setting_the_fronts_configuration_reads_is_in_each_deployments_settings():
    import re

    from support import ROOT, STACK

    yaml = pytest.importorskip("yaml")

    used = set(re.findall(r"\$\{([A-Z0-9_]+)", (STACK / "haproxy.cfg").read_text())) - PER_SITE - OPTIONAL
    lines = (ROOT / "examples/deploy/front.env").read_text().splitlines()
    env = {line.split("=", 1)[0] for line in lines if "=" in line and not line.startswith("#")}
    manifest = ROOT / "examples/deploy/kubernetes/base/front-settings.yaml"
    settings = next(doc for doc in yaml.safe_load_all(manifest.read_text()) if doc.get("kind") == "ConfigMap")
    assert used - env == set()
    assert used - set(settings["data"]) == set()
