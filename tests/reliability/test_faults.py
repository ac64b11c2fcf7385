"""Services that break mid-answer, and output folders that cannot take the
file: every call still ends with its documented payload or exception, leaves
no partial file under a final name, no temporary file, and no descriptor or
thread behind."""

import json
import os
import shutil
import time
from pathlib import Path

import pytest

from scripted_server import cut_short, json_response, leftovers, reset, resources, response, stall, wait_for_close

OLD = b"the earlier file"
BODY = bytes(range(256)) * 800  # 200 KiB


def header_flood(line_length, count):
    def answer(conn, server):
        conn.sendall(b"HTTP/1.1 200 OK\r\n")
        for i in range(count):
            conn.sendall(b"X-Filler-%d: %s\r\n" % (i, b"a" * line_length))
        conn.sendall(b"Content-Length: 2\r\n\r\n{}")
        wait_for_close(conn, server.stop_event, 5)
    return answer


def endless_body(prefix):
    """A chunked body that never ends, until the client hangs up or the
    test's own bound (two seconds) cuts it short without a final chunk."""
    def answer(conn, server):
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        conn.sendall(b"%x\r\n%s\r\n" % (len(prefix), prefix))
        piece = b" " * 16384
        deadline = time.monotonic() + 2
        try:
            while time.monotonic() < deadline and not server.stop_event.is_set():
                conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
                time.sleep(0.002)
        except OSError:
            return
        reset(conn)
    return answer


FAULTS = {
    "reset mid-body": lambda prefix: cut_short(BODY, len(BODY) // 4, "reset"),
    "stall": lambda prefix: stall,
    "stall mid-body": lambda prefix: cut_short(BODY, 1000, "stall"),
    "long header line": lambda prefix: header_flood(100_000, 1),
    "many headers": lambda prefix: header_flood(10, 1000),
    "endless body": endless_body,
}


@pytest.fixture
def held(scripted):
    """Asserts that the call left no descriptor or thread open: counted
    before it and after the server has closed its side."""
    before = resources()
    yield
    scripted.wait_idle()
    assert resources() == before


def no_debris(folder):
    assert leftovers(".") == []
    final = Path(folder) / "voice.wav"
    assert not final.exists() or final.read_bytes() == OLD


@pytest.fixture
def earlier_files():
    for folder in ("output/tts", "output/clone"):
        os.makedirs(folder)
        Path(folder, "voice.wav").write_bytes(OLD)


@pytest.mark.parametrize("fault", FAULTS)
def test_generate_tts_request_fault(dorvane, scripted, earlier_files, held, sleeps, fault):
    scripted.route("/tts", lambda r: FAULTS[fault](b'{"data": {"convert_result": ['))
    result = dorvane.generate_tts("hi", "v", tts_endpoint=scripted.url + "/tts", wait_time=1)
    if fault == "stall":
        assert result == {"error": "TTS server did not respond within 1 seconds."}
    else:
        assert list(result) == ["error"] and result["error"].startswith("Request failed: ")
    assert sleeps == []
    no_debris("output/tts")


@pytest.mark.parametrize("fault", FAULTS)
def test_generate_tts_download_fault(dorvane, scripted, earlier_files, held, sleeps, fault):
    answer = {"data": {"convert_result": [{"oss_url": scripted.url + "/files/voice.wav"}]}}
    scripted.route("/tts", lambda r: json_response(answer))
    scripted.route("/files/", lambda r: FAULTS[fault](b"RIFF"))
    result = dorvane.generate_tts("hi", "v", tts_endpoint=scripted.url + "/tts", wait_time=1)
    assert result["data"]["convert_result"][0]["oss_url"].startswith("Error downloading file: ")
    assert sleeps == [10]
    no_debris("output/tts")


@pytest.mark.parametrize("fault", FAULTS)
def test_clone_voice_request_fault(dorvane, scripted, earlier_files, held, fault):
    scripted.route("/cln", lambda r: FAULTS[fault](b'{"data": "'))
    result = dorvane.clone_voice("http://x/ref.wav", "v", scripted.url + "/cln", 1)
    if fault == "stall":
        assert result == {"error": "Server did not respond within 1 seconds."}
    else:
        assert list(result) == ["error"] and result["error"].startswith("Request failed: ")
    no_debris("output/clone")


@pytest.mark.parametrize("fault", FAULTS)
def test_clone_voice_download_fault(dorvane, scripted, earlier_files, held, fault):
    scripted.route("/cln", lambda r: json_response({"data": scripted.url + "/files/voice.wav"}))
    scripted.route("/files/", lambda r: FAULTS[fault](b"RIFF"))
    result = dorvane.clone_voice("http://x/ref.wav", "v", scripted.url + "/cln", 1)
    assert result == {"error": "Failed to cloned audio"}
    no_debris("output/clone")


@pytest.mark.parametrize("fault", FAULTS)
def test_transcribe_audio_request_fault(dorvane, scripted, held, sleeps, fault):
    scripted.route("/stt", lambda r: FAULTS[fault](b'{"transcription": "'))
    result = dorvane.transcribe_audio("http://x/a.wav", scripted.url + "/stt", 1)
    if fault == "stall":
        assert result == {"error": "Server did not respond within 1 seconds."}
    else:
        assert result == {"error": "Request failed: GPU Overload"}
    assert sleeps == []


@pytest.fixture
def files_service(scripted):
    scripted.route("/tts", lambda r: json_response(
        {"data": {"convert_result": [{"oss_url": scripted.url + "/files/voice.wav"}]}}))
    scripted.route("/cln", lambda r: json_response({"data": scripted.url + "/files/voice.wav"}))
    scripted.route("/files/", lambda r: response(BODY, content_type="audio/wav"))
    return scripted


@pytest.mark.parametrize("blocked", ["output", "output/tts"])
def test_generate_tts_output_folder_is_a_file(dorvane, files_service, held, blocked):
    os.makedirs(os.path.dirname(blocked) or ".", exist_ok=True)
    Path(blocked).write_bytes(OLD)
    with pytest.raises(OSError):
        dorvane.generate_tts("hi", "v", tts_endpoint=files_service.url + "/tts", wait_time=5)
    assert Path(blocked).read_bytes() == OLD
    assert leftovers(".") == []


def test_clone_voice_output_folder_is_a_file(dorvane, files_service, held):
    Path("taken").write_bytes(OLD)
    with pytest.raises(FileExistsError):
        dorvane.clone_voice("http://x/ref.wav", "v", files_service.url + "/cln", 5, "taken")
    assert Path("taken").read_bytes() == OLD
    assert files_service.requests == []


# A child process, so that a lowered file-size limit or a dropped privilege
# never touches the test runner. It warms the client up (lazy imports) with
# one unrestricted call, then restricts itself and makes the call under test.
CHILD = r"""
import json, os, pwd, resource, sys, threading, types
import dorvane

config = json.loads(sys.argv[1])
dorvane.time = types.SimpleNamespace(sleep=lambda seconds: None)
call = getattr(dorvane, config["function"])
os.makedirs("warm-up", exist_ok=True)
os.chdir("warm-up")
call(*config["args"])
os.chdir("..")
if config.get("fsize"):
    resource.setrlimit(resource.RLIMIT_FSIZE, (config["fsize"], config["fsize"]))
if config.get("user"):
    # The installation beside the module is root's alone; its check is not
    # what is tested here.
    dorvane.check_project_structure = lambda: {"status": True}
    user = pwd.getpwnam(config["user"])
    os.setgroups([])
    os.setgid(user.pw_gid)
    os.setuid(user.pw_uid)

def resources():
    return len(os.listdir("/proc/self/fd")), threading.active_count()

before = resources()
try:
    outcome = {"result": call(*config["args"])}
except Exception as error:
    outcome = {"raised": type(error).__name__, "errno": getattr(error, "errno", None)}
outcome["resources"] = [before, resources()]
print(json.dumps(outcome))
"""


def run_child(child, function, args, **restrictions):
    outcome = json.loads(child(CHILD, json.dumps({"function": function, "args": args, **restrictions}), timeout=60))
    before, after = outcome.pop("resources")
    assert before == after
    return outcome


CASES = {
    "generate_tts": (lambda url: ["hi", "v", 1, 1, "http://h/", url + "/tts", 5], "output/tts"),
    "clone_voice": (lambda url: ["http://x/ref.wav", "v", url + "/cln", 5], "output/clone/"),
}


@pytest.mark.parametrize("function", CASES)
def test_file_size_limit_hit_while_writing(child, files_service, function):
    args, folder = CASES[function]
    os.makedirs(folder)
    Path(folder, "voice.wav").write_bytes(OLD)
    outcome = run_child(child, function, args(files_service.url), fsize=len(BODY) // 3)
    if function == "generate_tts":
        # A file that cannot be written is not the client's failure: it leaves.
        assert outcome == {"raised": "OSError", "errno": 27}  # EFBIG
    else:
        assert outcome == {"result": {"error": "Failed to cloned audio"}}
    no_debris(folder)
    assert Path("warm-up", folder, "voice.wav").read_bytes() == BODY


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to drop from root to another user")
@pytest.mark.parametrize("function", CASES)
def test_read_only_output_folder(child, files_service, tmp_path, function):
    args, folder = CASES[function]
    os.makedirs(folder)
    Path(folder, "voice.wav").write_bytes(OLD)
    os.chmod(folder, 0o555)
    os.chmod(tmp_path, 0o755)
    outcome = run_child(child, function, args(files_service.url), user="nobody")
    if function == "generate_tts":
        assert outcome == {"raised": "PermissionError", "errno": 13}
    else:
        assert outcome == {"result": {"error": "Failed to cloned audio"}}
    no_debris(folder)


def remove_folder_mid_body(folder, wait_for_part):
    """Sends half the file, removes the output folder under the download
    (once the writer's temporary file is there, when it streams), then the
    rest."""
    def answer(conn, server):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY[: len(BODY) // 2])
        deadline = time.monotonic() + 5
        while wait_for_part and not leftovers(folder) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert not wait_for_part or leftovers(folder), "the download never reached the folder"
        shutil.rmtree(folder)
        conn.sendall(BODY[len(BODY) // 2:])
    return answer


@pytest.mark.parametrize("function", CASES)
def test_output_folder_removed_under_a_running_download(dorvane, scripted, held, sleeps, function):
    args, folder = CASES[function]
    os.makedirs(folder)
    scripted.route("/tts", lambda r: json_response(
        {"data": {"convert_result": [{"oss_url": scripted.url + "/files/voice.wav"}]}}))
    scripted.route("/cln", lambda r: json_response({"data": scripted.url + "/files/voice.wav"}))
    # clone_voice streams into its temporary file; generate_tts downloads
    # first and opens the file after.
    scripted.route("/files/", lambda r: remove_folder_mid_body(folder, function == "clone_voice"))
    call = getattr(dorvane, function)
    if function == "generate_tts":
        with pytest.raises(FileNotFoundError):
            call(*args(scripted.url))
        assert sleeps == []
    else:
        assert call(*args(scripted.url)) == {"error": "Failed to cloned audio"}
    assert leftovers(".") == []
    assert not os.path.exists(folder)
