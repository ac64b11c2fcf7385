"""The host's server settings: what gunicorn.conf.py hands gunicorn, each
from WEBAPP_<NAME> in the environment (envsettings), its default where that
is unset. A launcher that runs hosts reads the same settings to know how
many calls a host holds at once and how long one may take."""

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
    # The TCP peers whose forwarded headers (X-Forwarded-For and the like)
    # are believed, none by default: whoever reaches a host directly is a
    # client, not a front. A unix socket, which only the front reaches, is
    # believed.
    forwarded_allow_ips: str = ""
    # The probes and /metrics: on a listener of their own (listener.py),
    # which the front's checks and the operators reach and clients never
    # do; blank-separated unix:PATH or HOST:PORT addresses. Empty: a unix
    # socket in the working directory (health.sock).
    health_bind: str = ""
    # Connections the kernel queues for a host before its workers accept
    # them. Behind a front, set to the calls the front may hand the host at
    # once: a burst within the host's room then never finds its socket full,
    # where a unix socket refuses a connect at once.
    backlog: int = 128
    worker_class: str = "gevent"
    workers: int = 1
    # gevent: calls in flight per worker; gthread: connections per worker,
    # of which `threads` are answered at once. Calls beyond it wait in the
    # listen backlog until one ends.
    worker_connections: int = 1000
    # gthread only: the calls each worker answers at once.
    threads: int = 16
    # Seconds a call may take: the module's ten-second wait and its remote
    # exchanges, a transcription's time-out included (the application caps
    # that at TRANSCRIPTION_TIMEOUT_MAX to fit the default). gunicorn uses it
    # only against a worker that stopped responding; a front gives a call as long.
    call_timeout: int = 240
    # The working directory, under which the module writes output/tts and
    # output/clone and the application serves them. Every worker of every
    # host shares its output folder: a link one returns may be fetched from
    # another.
    workdir: str = str(HERE / "var")
    # Each worker calls the remote services through one session whose
    # connections it keeps (connections.py); false: a new connection, and
    # a TLS handshake, for every request, as the module makes on its own.
    keep_connections: bool = True
    # The application this host serves: this package's own, under whatever
    # name it has, unless a host built around it names its own factory
    # (module:call, found on PYTHONPATH).
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
