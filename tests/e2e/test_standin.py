"""The stand-in's memory of spoken texts: a repeat costs no synthesis yet is
a file of its own, and any change of text or setting is spoken afresh. Its
audio store's limits; its kept connections."""

import os
import time

import pytest


@pytest.fixture
def syntheses(standin, monkeypatch):
    from standin import audio

    made = []
    real = audio.synthesise

    def counted(*args, **kwargs):
        made.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(audio, "synthesise", counted)
    return made


def spoken(services, fields):
    status, answer = services.tts({"data": fields})
    assert status == 200
    [entry] = answer["data"]["convert_result"]
    name = entry["oss_url"].rsplit("/", 1)[1]
    return name, services.audio_file(name).read_bytes()


@pytest.mark.parametrize(
    "setting, value",
    [
        (0, "Another text, said once"),
        (1, "de"),
        (2, "1.5"),
        (4, "0.5"),
        (1, ["en-us"]),
    ],
)
def test_a_repeated_text_is_answered_from_memory_as_a_new_file(standin, syntheses, setting, value):
    # The cache lives as long as the session's stand-in: a text of its own per case.
    base = [f"Said once, then again ({setting}, {value})", "en-us", "1", "1", "1", "0"]
    first_name, first = spoken(standin, base)
    again_name, again = spoken(standin, list(base))
    assert len(syntheses) == 1
    assert again == first and again_name != first_name
    changed = list(base)
    changed[setting] = value
    other_name, _ = spoken(standin, changed)
    assert len(syntheses) == 2
    assert other_name not in (first_name, again_name)


@pytest.mark.parametrize("rule, later, kept", [("age", 3599, 3), ("age", 3601, 0), ("size", 0, 2)])
def test_the_standin_expires_its_audio_by_age_and_size(standin, monkeypatch, rule, later, kept):
    made = [
        spoken(standin, [f"Kept for a while, number {i} ({rule}, {later})", "en-us", "1", "1", "1", "0"])
        for i in range(3)
    ]
    names = [name for name, _ in made]
    sizes = [len(data) for _, data in made]
    monkeypatch.setattr(standin, "audio_max_age", 3600 if rule == "age" else 0)
    monkeypatch.setattr(standin, "audio_max_bytes", sum(sizes[1:]) if rule == "size" else 0)
    standin.expire_audio(now=time.time() + later)
    left = sorted(p.name for p in standin.audio_dir.iterdir())
    if rule == "age":
        assert [n for n in names if n in left] == names[3 - kept :]
    else:
        # The oldest go first, those of earlier tests included.
        assert left == sorted(names[1:])
    assert standin.audio_bytes == sum(p.stat().st_size for p in standin.audio_dir.iterdir())
    assert [standin.audio_file(n) is None for n in names] == [n not in left for n in names]


def test_the_standin_counts_an_earlier_runs_audio_and_drops_its_partial_files(tmp_path):
    from standin import Services

    audio = tmp_path / "audio"
    audio.mkdir()
    for name, size in {"tts-old.wav": 300, "clone-new.wav": 200, ".tts-cut.wav.part": 50}.items():
        (audio / name).write_bytes(b"x" * size)
    os.utime(audio / "tts-old.wav", (time.time() - 60,) * 2)
    services = Services(tmp_path, transcriber="recorded", audio_max_bytes=250)
    assert services.audio_bytes == 500 and not (audio / ".tts-cut.wav.part").exists()
    assert services.expire_audio() == ["tts-old.wav"]
    assert services.audio_bytes == 200


@pytest.mark.parametrize(
    "path, body, status, kept",
    [
        ("/tts", {"data": ["Kept connection.", "en-us", "1", "1", "1", "0"]}, 200, True),
        ("/tts", b"not json", 400, True),
        # A body the service leaves unread, which taken for the next
        # request would answer it with garbage.
        ("/nowhere", b"x" * 1000, 404, False),
    ],
)
def test_the_standin_keeps_a_connection_once_it_has_read_the_body(standin, path, body, status, kept):
    import requests

    from support.defaults import TTS_PATH

    with requests.Session() as session:

        def connections():
            answer = session.get(standin.speech_url + "/", timeout=10)
            assert answer.status_code == 200
            return answer.json()["connections"]

        before = connections()
        url = standin.speech_url + (TTS_PATH if path == "/tts" else path)
        sent = session.post(url, **({"json": body} if isinstance(body, dict) else {"data": body}), timeout=30)
        assert sent.status_code == status
        assert connections() - before == (0 if kept else 1)
