"""Example host web application for dorvane.

JSON routes call the module's operations and turn their results into HTTP
responses: a (payload, status) pair gives that status, a payload alone gives
200, remote failures included (they are payloads with an "error" member). The
folders the module writes into, "output/tts" and "output/clone/" under the
working directory, are served under the application root, so the links the
module returns resolve. One page drives it all from a browser.

`create_app` puts the typed settings (`Settings`, from the WEBAPP_*
environment) in `app.config` and registers the three blueprints: the API's
calls (api.py), the operator's load (load.py), and the files, the page and
the module's output (files.py). Each route declares the body it takes
(bodies.py). The probes and metrics (health.py) are answered on a listener
of their own (listener.py); the output store is expiry.py. gunicorn.conf.py
holds the server's own settings (serving.py).
"""

import dataclasses
import os
import socket
import sys
from pathlib import Path
from typing import Annotated

from flask import Flask
from pydantic import Field
from pydantic.dataclasses import dataclass

from . import envsettings, expiry

HERE = Path(__file__).resolve().parent
# A call has the server's call time-out (WEBAPP_CALL_TIMEOUT, serving.py:
# 240 s by default), which a front takes as its own unless given another:
# a transcription's time-out, the module's 10-second wait after it and the
# exchanges around both must fit in that.
TRANSCRIPTION_TIMEOUT_MAX = 200


@dataclass(config=envsettings.FINITE)
class Settings:
    """Everything the application reads from its environment, WEBAPP_<NAME>
    for each field (envsettings), checked against its type whether read
    from there or made in code. `create_app` files them in `app.config`
    under their upper-case names (MAX_TEXT, SPEECH_URL, ...)."""

    # The folder dorvane is imported from, laid out with its model folders.
    dorvane_home: str = str(HERE / "site")
    # Root URL for the returned links; empty: the root the request came in on.
    base_url: str = ""
    # Remote services; empty: the endpoints built into the module.
    speech_url: str = ""
    transcription_url: str = ""
    # run_mod fills this many whole GiB at most; the host guards its own memory.
    run_mod_max_gb: int = 1
    # The bearer token that opens the load route to an operator; empty: the
    # route does not exist.
    operator_token: str = ""
    # Sent as X-Served-By on every answer, to tell the hosts behind a
    # balancer apart; gunicorn.conf.py sets it to host name:port.
    served_by: str = socket.gethostname()
    # Output files older than this many seconds are removed, and while the
    # store holds more than this many bytes the oldest go first; 0 turns a
    # rule off.
    output_max_age: float = 3600.0
    output_max_bytes: int = 1 << 30
    expiry_interval: float = expiry.INTERVAL
    # Seconds a file a call answered with is kept whatever the limits, for
    # its client to fetch; longer than the module's wait after its download
    # (10 s), which the file also spends in the store.
    output_grace: float = expiry.GRACE
    # The room a cloning call reserves in the store.
    output_clone_reserve: int = expiry.CLONE_ROOM
    # The share of output_max_bytes that the calls of one client (a network,
    # below) may hold in flight (its first call may always take what it needs);
    # 0 or 1: no share.
    output_client_share: Annotated[float, Field(ge=0, le=1)] = expiry.CLIENT_SHARE
    # The prefix lengths that make one client of many addresses, IPv4 and
    # IPv6: a network's addresses share one share, as they share the
    # front's limits, so that an attacker's many addresses do not sum to the
    # whole store.
    client_prefix_v4: Annotated[int, Field(ge=0, le=32)] = 24
    client_prefix_v6: Annotated[int, Field(ge=0, le=128)] = 64
    # Seconds a call holds room in the store it has not written into.
    output_hold: float = expiry.HOLD
    # How old the master's count of the store may be when a call reserves
    # its room: longer than a count takes, which on a network file system is
    # a round trip per file. Every host on one store must have the same.
    store_look_age: Annotated[float, Field(gt=0)] = expiry.RESCAN_AFTER
    # File system types besides the local ones and GlusterFS that the store
    # may live on (blank-separated), for an operator who has checked that
    # they keep what storefs.py names.
    store_filesystems: str = ""
    # The TCP peers whose X-Forwarded-For names the client (blank- or
    # comma-separated addresses): the server's setting of the same name.
    forwarded_allow_ips: str = ""
    # The users (names or numbers, blank- or comma-separated) whose
    # processes, connected to the host's unix socket, may name the client
    # in X-Forwarded-For, besides the host's own user: the front's. Any
    # other local process is a client in its own right.
    forwarded_allow_uids: str = ""
    # The longest text spoken in one call, in characters.
    max_text: int = 1000
    # Seconds the transcription service has to answer.
    transcription_timeout: Annotated[float, Field(gt=0, le=TRANSCRIPTION_TIMEOUT_MAX)] = 60.0

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "WEBAPP_", environ)


def load_dorvane(home):
    """Imports dorvane from its installation folder.

    The module looks for its model folders beside its own file, so it has to be
    imported from the folder that holds them, ahead of any other copy.
    """
    home = Path(home).resolve()
    if not home.is_dir():
        raise RuntimeError(f"no dorvane installation folder at {home}: run examples/stack/install-module")
    sys.path.insert(0, str(home))
    import dorvane

    if Path(dorvane.__file__).resolve().parent != home:
        raise RuntimeError(f"dorvane was imported from {dorvane.__file__}, not from {home}")
    return dorvane


def create_app(dorvane=None, settings=None):
    """The application. `dorvane` is the imported module; by default it is
    imported from `settings.dorvane_home`."""
    # Imported here, as the application is made: the server reads its
    # settings from this package before its workers' metrics are set up.
    from . import api, errors, files, health, load, metrics

    settings = settings or Settings.from_environ()
    if dorvane is None:
        dorvane = load_dorvane(settings.dorvane_home)

    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = 64 * 1024
    app.config.from_mapping({name.upper(): value for name, value in dataclasses.asdict(settings).items()})
    app.json.sort_keys = False  # payloads keep the order the module gave them
    # The module writes under the working directory as it is at the call,
    # which the server fixes before the application is made.
    store = output_store(settings)
    # The module looks `open` up in its own namespace when it writes a
    # download: there, the files it writes during a call take what they
    # write from that call's room in the store.
    if not getattr(getattr(dorvane, "open", None), "bounds_writes", False):
        dorvane.open = expiry.opener()
    # Making the application starts nothing: the server's master sweeps the
    # store and counts it for the workers (start_expiry).
    app.extensions["webapp.dorvane"] = dorvane
    app.extensions["webapp.store"] = store
    app.extensions["webapp.front_uids"] = api.front_uids(settings.forwarded_allow_uids)
    # For the health listener (health.routes), kept off the routes the
    # calls' socket serves: the front cannot route a client to it.
    app.extensions["webapp.readiness"] = health.Readiness(dorvane, store, app.config)

    metrics.instrument(app)
    errors.register(app)
    for blueprint in (api.bp, load.bp, files.bp):
        app.register_blueprint(blueprint)
    return app


def output_store(settings):
    """The output store under the working directory (where the module
    writes, which the server fixes first), within the limits of `settings`.
    Raises storefs.Refused on a file system that would break it."""
    from . import storefs
    from .endpoints import OUTPUT_FOLDERS

    storefs.check(Path("output"), settings.store_filesystems.split())
    return expiry.Store(
        Path("output").absolute(),
        list(OUTPUT_FOLDERS),
        settings.output_max_age,
        settings.output_max_bytes,
        grace=settings.output_grace,
        interval=settings.expiry_interval,
        client_share=settings.output_client_share,
        hold=settings.output_hold,
        published=Path(expiry.PUBLISHED).absolute(),
        look_age=settings.store_look_age,
    )


def start_expiry(settings=None):
    """Keeps the output store for every worker of a server, from its master
    (gunicorn.conf.py): sweeps it on a timer, when a limit is on, and counts
    its files for the workers to read (expiry.Publisher). Returns the store
    and the publisher, whose threads run from now on."""
    store = output_store(settings or Settings.from_environ())
    store.start()
    publisher = expiry.Publisher(store.published, store.root, store.folders)
    publisher.start()
    return store, publisher
