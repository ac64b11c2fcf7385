# gunicorn settings for the example host, from its server settings (serving.py,
# WEBAPP_* in the environment); what a server must prepare is done in its hooks.
#
# Reading this file imports the host package it sits in, by this folder's name
# wherever it lies: gunicorn's `pythonpath` would come too late. The workers,
# forked from the master, find it imported.
#
# gevent by default: the module looks `time` and `requests` up at call time, so
# under gevent's patching a call's waits yield and one worker holds many calls.
import importlib.util
import os
import shutil
import socket
import sys
from importlib import import_module
from pathlib import Path

here = Path(__file__).resolve().parent


def host_package():
    name = here.name
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(
            name, here / "__init__.py", submodule_search_locations=[str(here)]
        )
        package = importlib.util.module_from_spec(spec)
        sys.modules[name] = package
        try:
            spec.loader.exec_module(package)
        except BaseException:
            del sys.modules[name]
            raise
    package = sys.modules[name]
    # Another package of this name, imported first, would serve in this one's place.
    if Path(package.__file__).resolve().parent != here:
        raise ImportError(f"{name} was imported from {package.__file__}, not from {here}")
    return package


def host_module(name):
    return import_module(f"{host.__name__}.{name}")


host = host_package()
settings = host_module("serving").Server.from_environ()

bind = settings.bind
forwarded_allow_ips = settings.forwarded_allow_ips
backlog = settings.backlog
worker_class = settings.worker_class
workers = settings.workers
worker_connections = settings.worker_connections
threads = settings.threads
timeout = settings.call_timeout
graceful_timeout = 15
# gunicorn refuses a missing folder: the default's is kept in the host's folder (var/).
chdir = settings.workdir
wsgi_app = settings.app


def metrics_dir():
    return Path(os.environ.get("PROMETHEUS_MULTIPROC_DIR") or os.path.join(chdir, "metrics"))


health_listeners = []


def on_starting(server):
    # Set before any worker imports prometheus_client, which reads it once; emptied, or an
    # earlier run's figures would add up; its owner's alone (the health listener serves it).
    folder = metrics_dir()
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = str(folder)
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(mode=0o700, parents=True)
    # Behind a balancer the answers say which host gave them.
    os.environ.setdefault("WEBAPP_SERVED_BY", f"{socket.gethostname()}:{bind.rsplit(':', 1)[-1]}")
    # Opened once, so that every worker, and any started in a dead one's place, serves the
    # same sockets; imported only now that the metrics folder is set.
    listener = host_module("listener")

    health_listeners.extend(
        listener.listen(settings.health_bind or f"unix:{os.path.join(chdir, 'health.sock')}")
    )


def when_ready(server):
    # The master sweeps and counts the store for its workers: it answers no call and no
    # probe, so a large store delays neither, and a host lists it once, not once a worker.
    host.start_expiry()


def post_worker_init(worker):
    connections, health, listener, watchdog = map(
        host_module, ("connections", "health", "listener", "watchdog")
    )

    if settings.keep_connections:
        # After the fork: a pool made before it would be shared by every worker.
        connections.keep(worker.wsgi.extensions["webapp.dorvane"], settings.calls_per_worker)

    watchdog.feed_on_heartbeat(worker)
    loop = health.LoopClock().start() if "gevent" in worker_class else None
    listener.serve(health_listeners, health.routes(worker.wsgi, loop), worker.wsgi.config["SERVED_BY"])


def child_exit(server, worker):
    # A dead worker's calls in flight are no longer in flight.
    from prometheus_client import multiprocess

    multiprocess.mark_process_dead(worker.pid)


# Off: instances side by side (the demo, the browser tests) would share its one path.
control_socket_disable = True

accesslog = "-"
errorlog = "-"
loglevel = "info"
