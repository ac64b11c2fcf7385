"""The stand-in speech services in a process of their own, what a host needs
to call them, and the demo's own certificate authority for the front."""

import os
import sys
from pathlib import Path

from support import ROOT
from support.processes import free_port, listening, start, stop, wait_until


def standin_environ(standin):
    """What a host needs to call these stand-in services (a `StandIn` here,
    or `standin.Services` in-process): their URLs, and their certificate
    authority for the module's HTTP client."""
    return {
        "REQUESTS_CA_BUNDLE": str(standin.ca_path),
        "WEBAPP_SPEECH_URL": standin.speech_url,
        "WEBAPP_TRANSCRIPTION_URL": standin.transcription_url,
    }


class DemoCertificates:
    """The demo's own certificate authority (`ca_path`, for its clients to
    trust) and the front's certificate from it for 127.0.0.1 and localhost
    (`path`: key and chain, as the front reads them, for this user alone),
    in `folder`."""

    def __init__(self, folder):
        import trustme

        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.ca = trustme.CA(organization_name="dorvane demo")
        self.ca_path = self.folder / "ca.pem"
        self.ca.cert_pem.write_to_path(str(self.ca_path))
        self.path = self.folder / "front.pem"
        self.renew()

    def renew(self):
        """A new key and certificate from the same authority, in place of
        the front's: written beside it and renamed over it, so a reload
        reads the old file or the new one, never half of one."""
        pem = self.ca.issue_cert("127.0.0.1", "localhost").private_key_and_cert_chain_pem.bytes()
        new = self.path.with_name(self.path.name + ".new")
        new.unlink(missing_ok=True)
        with open(os.open(new, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
            out.write(pem)
        new.replace(self.path)


class StandIn:
    """The stand-in services (`python -m standin`) in a process of their own,
    with their CA file and audio under `state`. Started again after `stop`,
    they listen on the same ports and write a new CA to the same path."""

    def __init__(self, state, speech_port=None, transcription_port=None, log=None, options=()):
        self.state = Path(state)
        self.speech_port = speech_port or free_port()
        self.transcription_port = transcription_port or free_port()
        self.log = Path(log) if log else self.state.parent / "standin.log"
        self.options = list(options)
        self.process = None

    ca_path = property(lambda self: self.state / "ca.pem")
    speech_url = property(lambda self: f"https://127.0.0.1:{self.speech_port}")
    transcription_url = property(lambda self: f"https://127.0.0.1:{self.transcription_port}")

    def start(self, seconds=30):
        self.log.parent.mkdir(parents=True, exist_ok=True)
        self.process = start(
            [
                sys.executable,
                "-m",
                "standin",
                "--speech-port",
                str(self.speech_port),
                "--transcription-port",
                str(self.transcription_port),
                "--state-dir",
                str(self.state),
                *self.options,
            ],
            self.log,
            cwd=ROOT,
        )
        try:
            wait_until(
                lambda: listening(self.speech_port) and listening(self.transcription_port),
                seconds,
                "the stand-in",
                self.process,
                self.log,
                step=0.1,
            )
        except BaseException:
            self.stop()
            raise
        return self

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        stop(self.process)
