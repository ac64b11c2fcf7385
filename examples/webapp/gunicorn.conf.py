# gunicorn settings for the example application: the server's address,
# workers and their concurrency live here and nowhere else.
#
# Each speech call spends ten seconds or more waiting (the module's fixed
# wait plus the remote exchange) and almost no CPU. The module looks `time`
# and `requests` up on its own attributes at call time, so under gevent's
# monkey-patching those waits yield to the other calls: one gevent worker
# holds hundreds of calls in flight, each a greenlet of a few tens of KiB,
# and the machine's CPU rather than a thread count sets the limit. gthread
# (a thread per call in flight) stays selectable. Several workers, or
# several machines, must share the working directory's "output" folder: the
# module keeps no state of its own, and a link returned by one worker may
# be fetched from another.
import os
import shutil
import socket
from pathlib import Path

here = Path(__file__).resolve().parent

# A TCP address, or unix:<path> as the fleet's hosts use (cluster.py).
bind = os.environ.get("WEBAPP_BIND", "127.0.0.1:5000")
# Forwarded headers (X-Forwarded-Proto and the like) are believed only from
# the front. A fleet's host listens on a unix socket that only the front
# reaches, and gunicorn believes what arrives there; on a TCP address, only
# the peers listed here, none by default: whoever reaches such a host
# directly is a client, not a front.
forwarded_allow_ips = os.environ.get("WEBAPP_FORWARDED_ALLOW_IPS", "")
# /healthz and /metrics: on a listener of their own (operators.py), which
# the front's checks and the operators reach and clients never do; blank-
# separated unix:PATH or HOST:PORT addresses.
operator_bind = os.environ.get("WEBAPP_OPERATOR_BIND", "")
# Connections the kernel queues for a host before its workers accept them.
# Behind the front, the fleet sets it to the calls the front may hand the
# host at once (cluster.Fleet): a burst within the host's room then never
# finds its socket full, where a unix socket refuses a connect at once. A
# hung host is the supervisor's to kill, and the calls queued there move on.
backlog = int(os.environ.get("WEBAPP_BACKLOG", "128"))
WORKER_CLASSES = ("gevent", "gthread")
worker_class = os.environ.get("WEBAPP_WORKER_CLASS", "gevent")
if worker_class not in WORKER_CLASSES:
    # A sync worker would hold one call per process for ten seconds.
    raise RuntimeError(f"WEBAPP_WORKER_CLASS is one of {', '.join(WORKER_CLASSES)}, not {worker_class!r}")
workers = int(os.environ.get("WEBAPP_WORKERS", "1"))
# gevent: calls in flight per worker; gthread: connections per worker, of
# which `threads` are answered at once. Calls beyond it wait in the listen
# backlog until one ends.
worker_connections = int(os.environ.get("WEBAPP_WORKER_CONNECTIONS", "1000"))
# gthread only: the calls each worker answers at once.
threads = int(os.environ.get("WEBAPP_THREADS", "16"))
# A transcription may take its time-out (WEBAPP_TRANSCRIPTION_TIMEOUT, 60 s
# by default, 200 s at most) plus the 10-second wait;
# both worker classes keep their heartbeat while requests wait (run_mod's
# computation runs off gevent's loop), so this only bounds a worker that
# stopped responding altogether.
timeout = 240
graceful_timeout = 15

# The module writes "output/tts" and "output/clone/" under the working
# directory, and the application serves them from there.
chdir = os.environ.get("WEBAPP_WORKDIR", str(here / "var"))
os.makedirs(chdir, exist_ok=True)
pythonpath = str(here)
# The application this host serves: the example's, unless a host built
# around it names its own factory (module:call, found on PYTHONPATH).
wsgi_app = os.environ.get("WEBAPP_APP", "app:create_app()")

# Behind a balancer the answers say which host gave them.
os.environ.setdefault("WEBAPP_SERVED_BY", f"{socket.gethostname()}:{bind.rsplit(':', 1)[-1]}")

# Metrics of all workers of this host: each worker writes its own files in
# this folder, read together at /metrics. Set here, before any worker
# imports prometheus_client, which reads it once.
metrics_dir = Path(os.environ.setdefault("PROMETHEUS_MULTIPROC_DIR", os.path.join(chdir, "metrics")))


operator_listeners = []


def on_starting(server):
    # Figures of an earlier run's workers would be added to this run's.
    shutil.rmtree(metrics_dir, ignore_errors=True)
    metrics_dir.mkdir(parents=True)
    # Opened here, once, so that every worker (and every worker started in
    # a dead one's place) serves the same sockets.
    import operators

    operator_listeners.extend(operators.listen(operator_bind or f"unix:{os.path.join(chdir, 'operator.sock')}"))


def post_worker_init(worker):
    # Each worker sweeps the output store on its own timer (the sweep's lock
    # lets one of them at a time), started here rather than when the
    # application is made, which starts nothing.
    import app
    import operators

    app.start_expiry(worker.wsgi)
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
