"""The stand-in's memory of spoken texts: a repeat costs no synthesis yet is
a file of its own, and any change of text or setting is spoken afresh."""

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


@pytest.mark.parametrize("setting, value", [
    (0, "Another text, said once"), (1, "de"), (2, "1.5"), (4, "0.5"), (1, ["en-us"]),
])
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
