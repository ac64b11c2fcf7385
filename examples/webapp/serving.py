"""The host's server settings: what gunicorn.conf.py hands gunicorn, each
from WEBAPP_<NAME> in the environment (envsettings). A launcher reads them
too, to know how many calls a host holds at once and how long one may take."""

import os
from dataclasses import dataclass
from pathlib import Path

from . import envsettings
from .endpoints import DEFAULT_BIND

HERE = Path(__file__).resolve().parent
# A sync worker would hold one call per process for ten seconds.
WORKER_CLASSES = ("gevent", "gthread")


@dataclass
class Server:
    # A TCP address, or unix:<path> as a fleet's hosts use.
    bind: str = DEFAULT_BIND
    # TCP peers whose forwarded headers are believed, none by default: whoever reaches a
    # host directly is a client. A unix socket, which only the front reaches, is believed.
    forwarded_allow_ips: str = ""
    # The probes' listener (listener.py), which clients never reach: blank-separated
    # unix:PATH or HOST:PORT addresses; empty: health.sock in the working directory.
    health_bind: str = ""
    # Connections queued before the workers accept them. Behind a front, the calls it may
    # hand the host at once: a full unix socket refuses a connect within the host's room.
    backlog: int = 128
    worker_class: str = "gevent"
    workers: int = 1
    # gevent: calls in flight per worker; gthread: connections per worker, of which
    # `threads` are answered at once. More wait in the backlog.
    worker_connections: int = 1000
    threads: int = 16
    # Seconds a call may take, a transcription's time-out included (capped to fit by
    # TRANSCRIPTION_TIMEOUT_MAX). gunicorn holds only a silent worker to it, a front each call.
    call_timeout: int = 240
    # Where the module writes its output and the application serves it; every host shares
    # its output folder, since a link one returns may be fetched from another.
    workdir: str = str(HERE / "var")
    # Kept connections to the remote services (connections.py); false: a new connection
    # and TLS handshake for every request, as the module makes on its own.
    keep_connections: bool = True
    # The factory served: this package's own under whatever name it has, unless a host
    # built around it names its own (module:call, on PYTHONPATH).
    app: str = f"{__package__}:create_app()"

    def __post_init__(self):
        if self.worker_class not in WORKER_CLASSES:
            raise ValueError(
                f"WEBAPP_WORKER_CLASS is one of {', '.join(WORKER_CLASSES)}, not {self.worker_class!r}"
            )

    @property
    def calls_per_worker(self):
        """The calls one worker holds in flight at once."""
        return self.worker_connections if self.worker_class == "gevent" else self.threads

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "WEBAPP_", environ)
