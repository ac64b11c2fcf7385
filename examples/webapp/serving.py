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
    # Forwarded headers (X-Forwarded-Proto and the like) are believed only
    # from the front. A fleet's host listens on a unix socket that only the
    # front reaches, and gunicorn believes what arrives there; on a TCP
    # address, only the peers listed here, none by default: whoever reaches
    # such a host directly is a client, not a front.
    forwarded_allow_ips: str = ""
    # The probes and /metrics: on a listener of their own (health.py),
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
    # Seconds a call may take at most: the module's ten-second wait and its
    # remote exchanges, a transcription's time-out included (which the
    # application caps at TRANSCRIPTION_TIMEOUT_MAX to fit the default).
    # gunicorn's workers keep their heartbeat while calls wait, so here it
    # only bounds a worker that stopped responding altogether; a front gives
    # a call as long.
    call_timeout: int = 240
    # The working directory, under which the module writes "output/tts" and
    # "output/clone/" and the application serves them. Several workers, or
    # several machines, must share its "output" folder: the module keeps no
    # state of its own, and a link returned by one worker may be fetched
    # from another.
    workdir: str = str(HERE / "var")
    # The application this host serves: the example's, unless a host built
    # around it names its own factory (module:call, found on PYTHONPATH).
    app: str = "webapp:create_app()"

    def __post_init__(self):
        if self.worker_class not in WORKER_CLASSES:
            raise ValueError(
                f"WEBAPP_WORKER_CLASS is one of {', '.join(WORKER_CLASSES)}, not {self.worker_class!r}"
            )

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "WEBAPP_", environ)
