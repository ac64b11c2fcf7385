# gunicorn settings for the example application: the server's address,
# workers and their concurrency, from the host's server settings
# (serving.py, WEBAPP_* in the environment). Reading this file changes
# nothing: what a server must prepare (the metrics folder, the operator
# listener, the name its answers carry) is done in its hooks below, by the
# server that runs.
#
# Each speech call spends ten seconds or more waiting (the module's fixed
# wait plus the remote exchange) and almost no CPU. The module looks `time`
# and `requests` up on its own attributes at call time, so under gevent's
# monkey-patching those waits yield to the other calls: one gevent worker
# holds hundreds of calls in flight, each a greenlet of a few tens of KiB,
# and the machine's CPU rather than a thread count sets the limit. gthread
# (a thread per call in flight) stays selectable.
import os
import shutil
import socket
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
# The host's own modules: gunicorn puts `pythonpath` on the path only once
# it has read this file.
if str(here) not in sys.path:
    sys.path.insert(0, str(here))
from serving import Server  # noqa: E402

settings = Server.from_environ()

bind = settings.bind
forwarded_allow_ips = settings.forwarded_allow_ips
backlog = settings.backlog
worker_class = settings.worker_class
workers = settings.workers
worker_connections = settings.worker_connections
threads = settings.threads
timeout = settings.call_timeout
graceful_timeout = 15

# gunicorn changes into this folder as it reads its settings, and refuses
# one that is missing: so the folder must be there by then, whoever reads
# them. Making it is all that reading does.
chdir = settings.workdir
os.makedirs(chdir, exist_ok=True)
pythonpath = str(here)
wsgi_app = settings.app


def metrics_dir():
    return Path(os.environ.get("PROMETHEUS_MULTIPROC_DIR") or os.path.join(chdir, "metrics"))


operator_listeners = []


def on_starting(server):
    # Set in the master, before it starts workers, and so before any of
    # them imports prometheus_client, which reads it once: the metrics of
    # all of this host's workers, each writing its own files there, read
    # together at /metrics. An earlier run's figures would be added to
    # this run's: the folder starts empty. Its figures are the host's
    # owner's alone to read (the operator listener serves them).
    folder = metrics_dir()
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = str(folder)
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(mode=0o700, parents=True)
    # Behind a balancer the answers say which host gave them.
    os.environ.setdefault("WEBAPP_SERVED_BY", f"{socket.gethostname()}:{bind.rsplit(':', 1)[-1]}")
    # Opened here, once, so that every worker (and every worker started in
    # a dead one's place) serves the same sockets.
    import operators

    operator_listeners.extend(
        operators.listen(settings.operator_bind or f"unix:{os.path.join(chdir, 'operator.sock')}")
    )


def post_worker_init(worker):
    # Each worker sweeps the output store on its own timer (the sweep's lock
    # lets one of them at a time), started here rather than when the
    # application is made, which starts nothing.
    import app
    import operators
    import watchdog

    app.start_expiry(worker.wsgi)
    watchdog.feed_on_heartbeat(worker)
    loop = operators.LoopClock().start() if "gevent" in worker_class else None
    served_by = worker.wsgi.extensions["webapp.settings"].served_by
    operators.serve(operator_listeners, app.operator_routes(worker.wsgi, loop), served_by)


def child_exit(server, worker):
    # A dead worker's calls in flight are no longer in flight.
    from prometheus_client import multiprocess

    multiprocess.mark_process_dead(worker.pid)


# Off: the demo and the browser tests run instances side by side, and they
# would share the one default control socket path.
control_socket_disable = True

accesslog = "-"
errorlog = "-"
loglevel = "info"
