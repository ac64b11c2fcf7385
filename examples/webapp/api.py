"""The API's calls: each reads its body, calls the module's operation and
answers with its result. The calls that write output do so within the room
the output store gives them (`stored`)."""

import ipaddress
import os
import pwd
import socket
import struct

from flask import Blueprint, current_app, jsonify, request

from .bodies import MIN_SPEED, CloneBody, MusicBody, SeparationBody, SpeechBody, TranscriptionBody, read_body
from .endpoints import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH
from .estimates import tts_room
from .store import is_partial

bp = Blueprint("api", __name__)


def written_files(result, base, store, kind):
    """The files under `store`/`kind` that the links in a call's result
    point to: the call's own output."""
    prefix = f"{base}output/{kind}/"
    found = []

    def walk(value):
        if isinstance(value, str):
            name = value[len(prefix) :] if value.startswith(prefix) else ""
            if name and "/" not in name and not is_partial(name):
                found.append(store / kind / name)
        elif isinstance(value, dict):
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    if not isinstance(result, tuple):
        walk(result)
    return found


def respond(result):
    if isinstance(result, tuple):
        payload, status = result
        return jsonify(payload), status
    return jsonify(result), 200


def _module():
    return current_app.extensions["webapp.dorvane"]


def _base_url():
    return current_app.config["BASE_URL"] or request.host_url


def _endpoint(argument, setting, path):
    """The module's `argument` naming a service at the root URL the
    setting holds; none where the setting is empty."""
    url = current_app.config[setting]
    return {argument: url.rstrip("/") + path} if url else {}


def front_uids(setting):
    """The users whose processes may speak for a client on the host's unix
    socket: the host's own and those `setting` names. An unknown name is a
    setting's error, raised as the application is made."""
    uids = {os.geteuid()}
    for name in setting.replace(",", " ").split():
        uids.add(int(name) if name.isdigit() else pwd.getpwnam(name).pw_uid)
    return frozenset(uids)


def peer_uid():
    """The user of the process at the other end of the call's unix socket,
    as the kernel recorded it when that process connected; None where the
    server gives no socket."""
    sock = request.environ.get("gunicorn.socket")
    try:
        credentials = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    except (AttributeError, OSError):
        return None
    return struct.unpack("3i", credentials)[1]


def client_address():
    """The address the call came from: the front's word for it where the
    server believes the front's forwarded headers (a unix socket whose peer
    runs as the front's user, or a peer in FORWARDED_ALLOW_IPS), else the
    peer's own. The front sets X-Forwarded-For to one address; the last is
    the one the nearest proxy added."""
    peer = request.remote_addr or ""
    allowed = current_app.config["FORWARDED_ALLOW_IPS"].replace(",", " ").split()
    forwarded = request.headers.get("X-Forwarded-For", "")
    try:
        ipaddress.ip_address(peer)
        trusted = peer in allowed or "*" in allowed
    except ValueError:
        # A unix socket, which any local process the folder lets in may reach.
        trusted = peer_uid() in current_app.extensions["webapp.front_uids"]
    if trusted and forwarded.strip():
        return forwarded.rsplit(",", 1)[-1].strip()
    return peer


def client_network(address, v4, v6):
    """The network of `address` that counts as one client: its first `v4`
    bits (IPv4, an IPv4-mapped IPv6 address too) or `v6` bits (IPv6); an
    address that is not an IP stands for itself."""
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        return address
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ipaddress.ip_network((ip, v4 if ip.version == 4 else v6), strict=False))


def stored(folder, operation, kwargs, estimate):
    """`operation(**kwargs)` within the room the store gives a call whose
    output should take `estimate` bytes, with the files it wrote into
    `folder` counted."""
    store = current_app.extensions["webapp.store"]
    config = current_app.config
    client = client_network(client_address(), config["CLIENT_PREFIX_V4"], config["CLIENT_PREFIX_V6"])
    with store.call(folder, estimate, client) as written:
        result = operation(**kwargs)
        written += written_files(result, kwargs["base_url"], store.root, folder)
    return result


@bp.get("/api/status")
def status():
    return respond(_module().check_project_structure())


@bp.post("/api/tts")
def tts():
    body = read_body(SpeechBody)
    kwargs = {
        "text": body.text,
        "voice_id": body.voice_id,
        "speed": body.speed,
        "pitch": body.pitch,
        "base_url": _base_url(),
        **_endpoint("tts_endpoint", "SPEECH_URL", TTS_PATH),
    }
    estimate = tts_room(len(body.text), body.speed, MIN_SPEED)
    return respond(stored("tts", _module().generate_tts, kwargs, estimate))


@bp.post("/api/clone")
def clone():
    body = read_body(CloneBody)
    kwargs = {
        "audio_url": body.audio_url,
        "clone_voice_id": body.voice_id,
        "base_url": _base_url(),
        **_endpoint("tts_endpoint", "SPEECH_URL", CLONE_PATH),
    }
    return respond(stored("clone", _module().clone_voice, kwargs, current_app.config["OUTPUT_CLONE_RESERVE"]))


@bp.post("/api/transcribe")
def transcribe():
    body = read_body(TranscriptionBody)
    kwargs = {
        "audio_url": body.audio_url,
        "timeout": current_app.config["TRANSCRIPTION_TIMEOUT"],
        **_endpoint("stt_endpoint", "TRANSCRIPTION_URL", TRANSCRIBE_PATH),
    }
    return respond(_module().transcribe_audio(**kwargs))


@bp.post("/api/music/generate")
def gen_music():
    return respond(_module().gen_music(read_body(MusicBody).prompt))


@bp.post("/api/music/separate")
def sep_music():
    return respond(_module().sep_music(read_body(SeparationBody).url))
