"""Example host web application for dorvane.

JSON routes call the module's operations and turn their results into HTTP
responses: a (payload, status) pair gives that status, a payload alone 200,
remote failures included (payloads with an "error" member). The module's
output folders are served under the application root, so the links it
returns resolve.

`create_app` puts the typed settings (`Settings`) in `app.config` and
registers the blueprints of api.py, load.py and files.py. The probes and
metrics (health.py) are answered on a listener of their own (listener.py),
the output store is the package store/, and gunicorn.conf.py holds the server's
settings (serving.py).
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

from . import envsettings, estimates
from .store import (
    CLIENT_SHARE,
    GRACE,
    HOLD,
    INTERVAL,
    PUBLISHED,
    RESCAN_AFTER,
    RESERVE_WAIT,
    Publisher,
    Store,
    opener,
)

HERE = Path(__file__).resolve().parent
# A transcription's time-out, the module's wait after it and the exchanges
# around both must fit in the server's call time-out (serving.py).
TRANSCRIPTION_TIMEOUT_MAX = 200


@dataclass(config=envsettings.FINITE)
class Settings:
    """Everything the application reads from its environment, WEBAPP_<NAME>
    for each field (envsettings), checked against its type however made;
    `create_app` files them in `app.config` under upper-case names."""

    # The folder dorvane is imported from, laid out with its model folders.
    dorvane_home: str = str(HERE / "site")
    # Root URL for the returned links; empty: the root the request came in on.
    base_url: str = ""
    # Remote services; empty: the endpoints built into the module.
    speech_url: str = ""
    transcription_url: str = ""
    # run_mod fills this many whole GiB at most; the host guards its own memory.
    run_mod_max_gb: int = 1
    # The bearer token that opens the load route; empty: the route does not exist.
    operator_token: str = ""
    # X-Served-By on every answer, telling the hosts behind a balancer apart.
    served_by: str = socket.gethostname()
    # Files older than this many seconds go, and the oldest first while the
    # store holds more than this many bytes; 0 turns a rule off.
    output_max_age: float = 3600.0
    output_max_bytes: int = 1 << 30
    expiry_interval: float = INTERVAL
    # Seconds a file a call answered with is kept whatever the limits, for its
    # client to fetch: longer than the module's wait after its download.
    output_grace: float = GRACE
    output_clone_reserve: int = estimates.CLONE_ROOM
    # The share of output_max_bytes one client's calls may hold in flight (its
    # first call may always take what it needs); 0 or 1: no share.
    output_client_share: Annotated[float, Field(ge=0, le=1)] = CLIENT_SHARE
    # The prefix lengths that make one client of a network's addresses, as at
    # the front: an attacker's many addresses do not sum to the whole store.
    client_prefix_v4: Annotated[int, Field(ge=0, le=32)] = 24
    client_prefix_v6: Annotated[int, Field(ge=0, le=128)] = 64
    # Seconds a call holds room in the store it has not written into.
    output_hold: float = HOLD
    # How old the master's count may be when a call reserves room, the same on every host
    # of one store: longer than a count takes, a round trip a file on a network file system.
    store_look_age: Annotated[float, Field(gt=0)] = RESCAN_AFTER
    # Seconds a call waits for its turn to count the store's room before it is
    # refused as busy: on a network file system a turn takes round trips.
    store_reserve_wait: Annotated[float, Field(gt=0)] = RESERVE_WAIT
    # Seconds a look at the installation and the output folder may go
    # unanswered before the host reads as cut off from them and fails
    # readiness. On a network file system, longer than its client takes to
    # give up a dead storage machine: every host waits that long alike, and
    # taking them all out would refuse every call meanwhile.
    ready_stale: Annotated[float, Field(gt=0)] = 10.0
    # Further file system types the store may live on (blank-separated), once
    # an operator has checked that they keep what storefs.py names.
    store_filesystems: str = ""
    # TCP peers whose X-Forwarded-For names the client: the server's setting of that name.
    forwarded_allow_ips: str = ""
    # Users (names or numbers, blank- or comma-separated) whose processes on the host's
    # unix socket may name the client, besides its own: the front's. Any other is a client.
    forwarded_allow_uids: str = ""
    # The longest text spoken in one call, in characters.
    max_text: int = 1000
    transcription_timeout: Annotated[float, Field(gt=0, le=TRANSCRIPTION_TIMEOUT_MAX)] = 60.0

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "WEBAPP_", environ)


def load_dorvane(home):
    """Imports dorvane from its installation folder, ahead of any other copy:
    the module looks for its model folders beside its own file."""
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
    # Imported as the application is made: the server reads its settings from
    # this package before its workers' metrics are set up.
    from . import api, errors, files, health, load, metrics

    settings = settings or Settings.from_environ()
    if dorvane is None:
        dorvane = load_dorvane(settings.dorvane_home)

    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = 64 * 1024
    app.config.from_mapping({name.upper(): value for name, value in dataclasses.asdict(settings).items()})
    app.json.sort_keys = False  # payloads keep the order the module gave them
    # The module writes under the working directory, which the server fixes first.
    store = output_store(settings)
    # The module looks `open` up on itself when it writes a download: this one
    # takes what a call writes from that call's room in the store.
    if not getattr(getattr(dorvane, "open", None), "bounds_writes", False):
        dorvane.open = opener()
    # Making the application starts nothing: the server's master keeps the store.
    app.extensions["webapp.dorvane"] = dorvane
    app.extensions["webapp.store"] = store
    app.extensions["webapp.front_uids"] = api.front_uids(settings.forwarded_allow_uids)
    # Off the calls' routes: the front cannot route a client to the health listener.
    app.extensions["webapp.readiness"] = health.Readiness(dorvane, store, app.config)

    metrics.instrument(app)
    errors.register(app)
    for blueprint in (api.bp, load.bp, files.bp):
        app.register_blueprint(blueprint)
    return app


def output_store(settings):
    """The output store under the working directory, within the limits of
    `settings`; raises storefs.Refused on a file system that would break it."""
    from . import storefs
    from .endpoints import OUTPUT_FOLDERS

    storefs.check(Path("output"), settings.store_filesystems.split())
    return Store(
        Path("output").absolute(),
        list(OUTPUT_FOLDERS),
        settings.output_max_age,
        settings.output_max_bytes,
        grace=settings.output_grace,
        interval=settings.expiry_interval,
        client_share=settings.output_client_share,
        hold=settings.output_hold,
        published=Path(PUBLISHED).absolute(),
        look_age=settings.store_look_age,
        reserve_wait=settings.store_reserve_wait,
        smallest_call=estimates.TTS_ROOM,
    )


def start_expiry(settings=None):
    """Keeps the output store for every worker of a server, from its master
    (gunicorn.conf.py): sweeps it on a timer when a limit is on, and counts it
    for the workers (Publisher). Returns the store and the publisher, running."""
    store = output_store(settings or Settings.from_environ())
    store.start()
    publisher = Publisher(store.published, store.root, store.folders, store.look_age)
    publisher.start()
    return store, publisher
