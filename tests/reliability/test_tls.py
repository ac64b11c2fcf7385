"""Certificates are verified by default: a service whose certificate no
trusted authority signed gets no request body and yields no file."""

import os

import pytest
import requests

BASE = "http://h/"


@pytest.fixture
def untrusted(tls_server):
    """An HTTPS server with a certificate from an authority nobody trusts."""
    trustme = pytest.importorskip("trustme")
    server = tls_server(trustme.CA())
    server.expect_request("/files/voice.wav").respond_with_data(b"RIFF" * 100, content_type="audio/wav")
    return server


def client_reason(url):
    """What the client itself says about that server, as the module quotes it."""
    with pytest.raises(requests.exceptions.SSLError) as failure:
        requests.post(url, json={}, timeout=5)
    return str(failure.value)


@pytest.fixture
def default_trust(monkeypatch):
    for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)


def output_files():
    return [os.path.join(d, f) for d, _, files in os.walk(".") for f in files]


def test_requests_to_an_untrusted_service_fail(dorvane, untrusted, default_trust, sleeps):
    url = untrusted.url_for("/op")
    reason = client_reason(url)
    assert "CERTIFICATE_VERIFY_FAILED" in reason
    assert dorvane.generate_tts("hi", "v", tts_endpoint=url) == {"error": "Request failed: " + reason}
    assert dorvane.clone_voice("http://x/a.wav", "v", url) == {"error": "Request failed: " + reason}
    assert dorvane.transcribe_audio("http://x/a.wav", url) == {"error": "Request failed: GPU Overload"}
    assert untrusted.log == []
    assert output_files() == [] and sleeps == []


def test_downloads_from_an_untrusted_host_fail(dorvane, https_server, untrusted, sleeps):
    """The service is trusted (through the local authority's bundle); the
    host its links name is not."""
    link = untrusted.url_for("/files/voice.wav")
    https_server.expect_request("/tts").respond_with_json({"data": {"convert_result": [{"oss_url": link}]}})
    https_server.expect_request("/cln").respond_with_json({"data": link})
    reason = client_reason(link)

    result = dorvane.generate_tts("hi", "v", base_url=BASE, tts_endpoint=https_server.url_for("/tts"))
    assert result == {"data": {"convert_result": [{"oss_url": "Error downloading file: " + reason}]}}
    assert sleeps == [10]
    assert dorvane.clone_voice("http://x/a.wav", "v", https_server.url_for("/cln")) == {
        "error": "Failed to cloned audio"
    }
    assert untrusted.log == []
    assert output_files() == []
