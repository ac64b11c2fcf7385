"""HTTPS at the front: the profile it speaks, plain HTTP sent to it, and a
certificate renewed under calls in flight. Hosts run the module's real wait."""

import http.client
import socket
import ssl
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.real_wait

PROFILE_TLS12 = {
    "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-CHACHA20-POLY1305",
}
TTS = b'{"text": "Over HTTPS.", "voice_id": "en-us"}'


@pytest.fixture(scope="module")
def certificates(launch, tmp_path_factory):
    return launch.DemoCertificates(tmp_path_factory.mktemp("tls"))


@pytest.fixture(scope="module")
def fleet(launch, fleet_factory, certificates):
    fleet = fleet_factory(2, front={"certificate": str(certificates.path)}, tls_port=launch.free_port())
    yield fleet
    fleet.stop()


def handshake(fleet, certificates, versions=(None, None), ciphers=None, alpn=("h2", "http/1.1")):
    """(version, cipher, protocol, the front's certificate) of one handshake."""
    context = ssl.create_default_context(cafile=certificates.ca_path)
    context.minimum_version = versions[0] or ssl.TLSVersion.MINIMUM_SUPPORTED
    context.maximum_version = versions[1] or ssl.TLSVersion.MAXIMUM_SUPPORTED
    if ciphers:
        context.set_ciphers(ciphers)
    context.set_alpn_protocols(list(alpn))
    with (
        socket.create_connection(("127.0.0.1", fleet.tls_port), timeout=5) as raw,
        context.wrap_socket(raw, server_hostname="127.0.0.1") as tls,
    ):
        return tls.version(), tls.cipher()[0], tls.selected_alpn_protocol(), tls.getpeercert(True)


def https(fleet, certificates, method, path, body=None):
    """(status, headers, body) of one request on a connection of its own."""
    context = ssl.create_default_context(cafile=certificates.ca_path)
    connection = http.client.HTTPSConnection("127.0.0.1", fleet.tls_port, timeout=60, context=context)
    try:
        connection.request(method, path, body, {"Content-Type": "application/json"} if body else {})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


V12, V13 = ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3


@pytest.mark.parametrize(
    "versions, ciphers, alpn, expected",
    [
        # Before TLS 1.2: the client offers it (at OpenSSL's lowest
        # security level), the front refuses.
        (
            (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1),
            "DEFAULT:@SECLEVEL=0",
            ["http/1.1"],
            "PROTOCOL_VERSION",
        ),
        ((V12, V12), None, ["h2", "http/1.1"], ("TLSv1.2", PROFILE_TLS12, "h2")),
        ((V13, V13), None, ["http/1.1"], ("TLSv1.3", {"TLS_AES_256_GCM_SHA384"}, "http/1.1")),
        ((V12, V12), "ECDHE-ECDSA-CHACHA20-POLY1305", ["h2"], ("TLSv1.2", PROFILE_TLS12, "h2")),
        # Outside the profile: a CBC cipher, and one without forward secrecy.
        ((V12, V12), "ECDHE-ECDSA-AES128-SHA", ["h2"], "HANDSHAKE_FAILURE"),
        ((V12, V12), "AES128-GCM-SHA256:@SECLEVEL=0", ["h2"], "HANDSHAKE_FAILURE"),
    ],
)
def test_the_front_speaks_the_intermediate_profile_and_offers_http2(
    fleet, certificates, versions, ciphers, alpn, expected
):
    if isinstance(expected, str):
        with pytest.raises(ssl.SSLError) as refused:
            handshake(fleet, certificates, versions, ciphers, alpn)
        assert expected in refused.value.reason
        return
    version, cipher, protocol, _ = handshake(fleet, certificates, versions, ciphers, alpn)
    assert (version, protocol) == expected[::2] and cipher in expected[1]


@pytest.mark.parametrize("path", ["/", "/api/voices?lang=en", "/.hidden"])
def test_plain_http_is_sent_to_https_and_every_https_answer_keeps_browsers_there(fleet, certificates, path):
    plain = http.client.HTTPConnection("127.0.0.1", fleet.port, timeout=10)
    try:
        plain.request("POST", path, b"{}", {"Host": f"localhost:{fleet.port}"})
        answer = plain.getresponse()
        answer.read()
    finally:
        plain.close()
    # To the same path on the base URL's name, the method and body kept (308).
    assert answer.status == 308
    assert answer.headers["Location"] == f"https://127.0.0.1:{fleet.tls_port}{path}"
    assert "Strict-Transport-Security" not in answer.headers
    status, headers, _ = https(fleet, certificates, "GET", path)
    assert status in (200, 404, 405)
    assert headers["Strict-Transport-Security"] == "max-age=63072000"


def test_a_renewed_certificate_is_served_after_a_reload_and_no_call_in_flight_is_lost(fleet, certificates):
    before = handshake(fleet, certificates)[3]
    worker = fleet.front_pid()
    stop, quick = threading.Event(), []

    def quick_calls():
        # New connections, each its own handshake, across the reload.
        while not stop.is_set():
            quick.append(https(fleet, certificates, "GET", "/")[0])
            time.sleep(0.05)

    with ThreadPoolExecutor(7) as pool:
        calls = [pool.submit(https, fleet, certificates, "POST", "/api/tts", TTS) for _ in range(6)]
        steady = pool.submit(quick_calls)
        time.sleep(2)  # the calls are in the hosts' ten-second wait
        certificates.renew()
        fleet.reload_front()
        after = handshake(fleet, certificates)[3]
        time.sleep(1)
        stop.set()
        steady.result(30)
        answers = [call.result(60) for call in calls]
    assert after != before and fleet.front_pid() != worker
    for status, _, body in answers:
        # The links the hosts hand out are the front's HTTPS ones.
        assert status == 200 and f'"https://127.0.0.1:{fleet.tls_port}/output/tts/' in body.decode(), body
    assert len(quick) > 20 and set(quick) == {200}, quick
