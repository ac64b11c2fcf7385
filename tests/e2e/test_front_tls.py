"""HTTPS at the front: the profile it speaks, plain HTTP sent to it, and a
certificate renewed under calls in flight. Hosts run the module's real wait."""

import http.client
import socket
import ssl
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from support.processes import free_port

pytestmark = pytest.mark.real_wait
V10, V11, V12, V13 = (ssl.TLSVersion[name] for name in ("TLSv1", "TLSv1_1", "TLSv1_2", "TLSv1_3"))


@pytest.fixture(scope="module")
def tls(launch, fleet_factory, tmp_path_factory):
    certificates = launch.DemoCertificates(tmp_path_factory.mktemp("tls"))
    fleet = fleet_factory(2, front={"certificate": str(certificates.path)}, tls_port=free_port())
    yield fleet, certificates
    fleet.stop()


def handshake(tls, versions=(V12, V13), ciphers=None):
    """(version, cipher, protocol, the front's certificate) of one handshake."""
    fleet, certificates = tls
    context = ssl.create_default_context(cafile=certificates.ca_path)
    context.minimum_version, context.maximum_version = versions
    if ciphers:
        context.set_ciphers(ciphers)
    context.set_alpn_protocols(["h2", "http/1.1"])
    with (
        socket.create_connection(("127.0.0.1", fleet.tls_port), timeout=5) as raw,
        context.wrap_socket(raw, server_hostname="127.0.0.1") as tls,
    ):
        return tls.version(), tls.cipher()[0], tls.selected_alpn_protocol(), tls.getpeercert(True)


def call(tls, method, path, body=None, port=None):
    """(status, headers, body): over HTTPS, or plain HTTP to `port`."""
    fleet, certificates = tls
    if port:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    else:
        context = ssl.create_default_context(cafile=certificates.ca_path)
        connection = http.client.HTTPSConnection("127.0.0.1", fleet.tls_port, timeout=60, context=context)
    try:
        connection.request(method, path, body, {"Content-Type": "application/json"})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


@pytest.mark.parametrize(
    "versions, ciphers, expected",
    [
        # Offered (at OpenSSL's lowest security level), refused by the front.
        ((V10, V11), "DEFAULT:@SECLEVEL=0", "PROTOCOL_VERSION"),
        ((V12, V12), "ECDHE-ECDSA-AES128-SHA", "HANDSHAKE_FAILURE"),  # CBC
        ((V12, V12), "AES128-GCM-SHA256:@SECLEVEL=0", "HANDSHAKE_FAILURE"),  # no forward secrecy
        ((V12, V12), "ECDHE-ECDSA-CHACHA20-POLY1305", ("TLSv1.2", "ECDHE-ECDSA-CHACHA20-POLY1305")),
        ((V13, V13), None, ("TLSv1.3", "TLS_AES_256_GCM_SHA384")),
    ],
)
def test_the_front_speaks_the_intermediate_profile_and_http2(tls, versions, ciphers, expected):
    try:
        agreed = handshake(tls, versions, ciphers)
    except ssl.SSLError as refused:
        assert isinstance(expected, str) and expected in refused.reason
    else:
        assert agreed[:3] == (*expected, "h2")


@pytest.mark.parametrize("path", ["/", "/.hidden?a=1"])
def test_plain_http_is_sent_to_https_and_every_https_answer_keeps_browsers_there(tls, path):
    fleet = tls[0]
    status, headers, _ = call(tls, "POST", path, b"{}", port=fleet.port)
    # The same path on HTTPS, the method and body kept (308).
    assert (status, headers["Location"]) == (308, f"https://127.0.0.1:{fleet.tls_port}{path}")
    assert "Strict-Transport-Security" not in headers
    status, headers, _ = call(tls, "GET", path)  # the page, and the front's own 404
    assert headers["Strict-Transport-Security"] == "max-age=63072000"


def test_a_renewed_certificate_is_served_after_a_reload_and_no_call_in_flight_is_lost(tls):
    fleet, certificates = tls
    before, worker = handshake(tls)[3], fleet.front_pid()
    stop, quick = threading.Event(), []

    def quick_calls():  # new connections, each its own handshake, across the reload
        while not stop.is_set():
            quick.append(call(tls, "GET", "/")[0])
            time.sleep(0.05)

    with ThreadPoolExecutor(7) as pool:
        tts = b'{"text": "Over HTTPS.", "voice_id": "en-us"}'
        calls = [pool.submit(call, tls, "POST", "/api/tts", tts) for _ in range(6)]
        steady = pool.submit(quick_calls)
        time.sleep(2)  # the calls are in the hosts' ten-second wait
        certificates.renew()
        fleet.reload_front()
        after = handshake(tls)[3]
        time.sleep(1)
        stop.set()
        steady.result(30)
        answers = [c.result(60) for c in calls]
    assert after != before and fleet.front_pid() != worker
    for status, _, body in answers:  # links on the front's HTTPS address
        assert status == 200 and f'"https://127.0.0.1:{fleet.tls_port}/output/tts/' in body.decode(), body
    assert len(quick) > 20 and set(quick) == {200}, quick
