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
from operations import DOWNLOADING, OPERATIONS, REQUESTING
from scripted_server import (
    cut_short,
    files_under,
    json_response,
    leftovers,
    reset,
    resources,
    response,
    stall,
    wait_for_close,
)

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
@pytest.mark.parametrize("op", REQUESTING, ids=str)
def test_request_fault(dorvane, scripted, earlier_files, held, sleeps, op, fault):
    scripted.route(op.request.path, lambda r: FAULTS[fault](op.opening()))
    result = op.call(dorvane, scripted.url, 1)
    if fault == "stall":
        assert result == {"error": op.request.timed_out.format(1)}
    elif op.request.quotes_client:
        assert list(result) == ["error"] and result["error"].startswith("Request failed: ")
    else:
        assert result == {"error": op.request.failed("")}
    assert sleeps == []
    no_debris(op.request.output or ".")
    # A request that failed wrote nothing: the earlier files are all there is.
    assert files_under(".") == ["output/clone/voice.wav", "output/tts/voice.wav"]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("op", DOWNLOADING, ids=str)
def test_download_fault(dorvane, scripted, earlier_files, held, sleeps, op, fault):
    scripted.route(
        op.request.path, lambda r: json_response(op.request.linked(scripted.url + "/files/voice.wav"))
    )
    scripted.route("/files/", lambda r: FAULTS[fault](b"RIFF"))
    result = op.call(dorvane, scripted.url, 1)
    # Text-to-speech reports each failed download in its own entry and still
    # waits; cloning has the one file, and fails the call.
    if op.name == "generate_tts":
        assert result["data"]["convert_result"][0]["oss_url"].startswith("Error downloading file: ")
        assert sleeps == [10]
    else:
        assert result == {"error": "Failed to cloned audio"}
    no_debris(op.request.output)


def serve_links(scripted, files):
    """Each downloading operation's service answering with a link to
    /files/voice.wav, which `files` answers."""
    for op in DOWNLOADING:
        scripted.route(
            op.request.path,
            lambda r, op=op: json_response(op.request.linked(scripted.url + "/files/voice.wav")),
        )
    scripted.route("/files/", files)


@pytest.fixture
def files_service(scripted):
    serve_links(scripted, lambda r: response(BODY, content_type="audio/wav"))
    return scripted


@pytest.mark.parametrize("blocked", ["output", "output/tts"])
def test_generate_tts_output_folder_is_a_file(dorvane, files_service, held, blocked):
    os.makedirs(os.path.dirname(blocked) or ".", exist_ok=True)
    Path(blocked).write_bytes(OLD)
    with pytest.raises(OSError):
        OPERATIONS["generate_tts"].call(dorvane, files_service.url, 5)
    assert Path(blocked).read_bytes() == OLD
    assert leftovers(".") == []


def test_clone_voice_output_folder_is_a_file(dorvane, files_service, held):
    Path("taken").write_bytes(OLD)
    with pytest.raises(FileExistsError):
        OPERATIONS["clone_voice"].call(dorvane, files_service.url, 5, output_folder="taken")
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
call(**config["kwargs"])
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
    outcome = {"result": call(**config["kwargs"])}
except Exception as error:
    outcome = {"raised": type(error).__name__, "errno": getattr(error, "errno", None)}
outcome["resources"] = [before, resources()]
print(json.dumps(outcome))
"""


def run_child(child, op, url, **restrictions):
    kwargs = {**op.kwargs, op.request.endpoint: url + op.request.path, op.request.timeout: 5}
    outcome = json.loads(
        child(CHILD, json.dumps({"function": op.name, "kwargs": kwargs, **restrictions}), timeout=60)
    )
    before, after = outcome.pop("resources")
    assert before == after
    return outcome


@pytest.mark.parametrize("op", DOWNLOADING, ids=str)
def test_file_size_limit_hit_while_writing(child, files_service, op):
    folder = op.request.output
    os.makedirs(folder)
    Path(folder, "voice.wav").write_bytes(OLD)
    outcome = run_child(child, op, files_service.url, fsize=len(BODY) // 3)
    if op.name == "generate_tts":
        # A file that cannot be written is not the client's failure: it leaves.
        assert outcome == {"raised": "OSError", "errno": 27}  # EFBIG
    else:
        assert outcome == {"result": {"error": "Failed to cloned audio"}}
    no_debris(folder)
    assert Path("warm-up", folder, "voice.wav").read_bytes() == BODY


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to drop from root to another user")
@pytest.mark.parametrize("op", DOWNLOADING, ids=str)
def test_read_only_output_folder(child, files_service, tmp_path, op):
    folder = op.request.output
    os.makedirs(folder)
    Path(folder, "voice.wav").write_bytes(OLD)
    os.chmod(folder, 0o555)
    os.chmod(tmp_path, 0o755)
    outcome = run_child(child, op, files_service.url, user="nobody")
    if op.name == "generate_tts":
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
        conn.sendall(BODY[len(BODY) // 2 :])

    return answer


@pytest.mark.parametrize("op", DOWNLOADING, ids=str)
def test_output_folder_removed_under_a_running_download(dorvane, scripted, held, sleeps, op):
    folder = op.request.output
    os.makedirs(folder)
    # clone_voice streams into its temporary file; generate_tts downloads
    # first and opens the file after.
    serve_links(scripted, lambda r: remove_folder_mid_body(folder, op.name == "clone_voice"))
    if op.name == "generate_tts":
        with pytest.raises(FileNotFoundError):
            op.call(dorvane, scripted.url, 5)
        assert sleeps == []
    else:
        assert op.call(dorvane, scripted.url, 5) == {"error": "Failed to cloned audio"}
    assert leftovers(".") == []
    assert not os.path.exists(folder)
