"""The module's operations as the tests call them: arguments that bind, which
pass the installation gate first, and for the three that ask a remote
service, how that request goes and how it fails. The gate, the request
pattern and the fault tests all read this one table."""

import json
from collections.abc import Callable
from dataclasses import dataclass, field

from support.defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH

BASE = "http://app.test:5000/"


@dataclass(frozen=True)
class Request:
    """How an operation asks its remote service, and what it makes of a failure."""

    path: str  # where the local service answers
    endpoint: str  # the argument that names the service's URL
    timeout: str  # the argument that bounds the request
    timed_out: str  # the error of a request that ran out of time, to format with the seconds
    quotes_client: bool  # whether "Request failed: " goes on with what the client said
    raw_response: bool  # whether a body that is not JSON comes back beside the error
    linked: Callable[[str], object]  # the service's answer naming a file (a URL) to download, or its text
    output: str | None = None  # the folder a downloaded file goes to; None when nothing is downloaded

    def failed(self, detail):
        return "Request failed: " + (detail if self.quotes_client else "GPU Overload")


@dataclass(frozen=True)
class Operation:
    name: str
    kwargs: dict  # arguments that bind; with a request, everything but its endpoint and time-out
    gated: bool  # whether the installation check is asked first
    request: Request | None = None
    leaves: list = field(default_factory=list)  # what a call the gate refuses leaves in the current folder

    def __str__(self):
        return self.name

    def opening(self):
        """The first part of a linked answer, for a reply cut off mid-body."""
        whole = json.dumps(self.request.linked("http://files.test/a.wav")).encode()
        return whole[: whole.rindex(b': "') + 3]

    def call(self, module, url=None, seconds=None, **kwargs):
        """The operation on `module` with its arguments, the service at
        `url` + its path when given, its time-out `seconds` when given."""
        if url is not None:
            kwargs[self.request.endpoint] = url + self.request.path
        if seconds is not None:
            kwargs[self.request.timeout] = seconds
        return getattr(module, self.name)(**{**self.kwargs, **kwargs})


OPERATIONS = {
    op.name: op
    for op in [
        Operation("check_project_structure", {}, gated=False),
        Operation(
            "generate_tts",
            {"text": "hello", "voice_id": "v1", "base_url": BASE},
            gated=True,
            request=Request(
                TTS_PATH,
                "tts_endpoint",
                "wait_time",
                "TTS server did not respond within {} seconds.",
                quotes_client=True,
                raw_response=False,
                output="output/tts",
                linked=lambda url: {"data": {"convert_result": [{"oss_url": url}]}},
            ),
        ),
        # The cloning folder is made before anything else, the gate included.
        Operation(
            "clone_voice",
            {"audio_url": "http://in.test/voice.wav", "clone_voice_id": "id-1", "base_url": BASE},
            gated=True,
            leaves=["output", "output/clone"],
            request=Request(
                CLONE_PATH,
                "tts_endpoint",
                "timeout",
                "Server did not respond within {} seconds.",
                quotes_client=True,
                raw_response=True,
                output="output/clone",
                linked=lambda url: {"data": url},
            ),
        ),
        Operation(
            "transcribe_audio",
            {"audio_url": "http://in.test/talk.wav"},
            gated=True,
            request=Request(
                TRANSCRIBE_PATH,
                "stt_endpoint",
                "timeout",
                "Server did not respond within {} seconds.",
                quotes_client=False,
                raw_response=False,
                linked=lambda url: {"transcription": "words"},
            ),
        ),
        Operation("gen_music", {"music_prompt": "a song"}, gated=True),
        Operation("sep_music", {"url": "http://in.test/song.wav"}, gated=True),
        Operation("run_mod", {"size": 1}, gated=False),
    ]
}

GATED = [op for op in OPERATIONS.values() if op.gated]
REQUESTING = [op for op in OPERATIONS.values() if op.request]
DOWNLOADING = [op for op in REQUESTING if op.request.output]
