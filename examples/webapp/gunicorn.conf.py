# gunicorn settings for the example application: the server's address,
# workers and threads live here and nowhere else.
#
# Each speech call blocks its thread for ten seconds or more (the module's
# fixed wait plus the remote exchange), so one worker serves many calls at
# once through threads rather than processes. Several workers, or several
# machines, must share the working directory's "output" folder: the module
# keeps no state of its own, and a link returned by one worker may be
# fetched from another.
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
worker_class = "gthread"
workers = int(os.environ.get("WEBAPP_WORKERS", "1"))
threads = int(os.environ.get("WEBAPP_THREADS", "16"))
# A transcription may take its 200-second time-out plus the 10-second wait;
# gthread workers keep their heartbeat while requests run, so this only
# bounds a worker that stopped responding altogether.
timeout = 240
graceful_timeout = 15

# The module writes "output/tts" and "output/clone/" under the working
# directory, and the application serves them from there.
chdir = os.environ.get("WEBAPP_WORKDIR", str(here / "var"))
os.makedirs(chdir, exist_ok=True)
pythonpath = str(here)
wsgi_app = "app:create_app()"

# Behind a balancer the answers say which host gave them.
os.environ.setdefault("WEBAPP_SERVED_BY", f"{socket.gethostname()}:{bind.rsplit(':', 1)[-1]}")

# Metrics of all workers of this host: each worker writes its own files in
# this folder, read together at /metrics. Set here, before any worker
# imports prometheus_client, which reads it once.
metrics_dir = Path(os.environ.setdefault("PROMETHEUS_MULTIPROC_DIR", os.path.join(chdir, "metrics")))


def on_starting(server):
    # Figures of an earlier run's workers would be added to this run's.
    shutil.rmtree(metrics_dir, ignore_errors=True)
    metrics_dir.mkdir(parents=True)


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
