"""The example host under gevent, as gunicorn's gevent worker runs it: every
request a greenlet on one OS thread. A load (run_mod computes for ten
seconds and never waits) runs off the event loop, so the calls already in
flight on the same worker end while it computes, and the load's lock still
turns a second load away.

The load's work here blocks its OS thread until the calls in flight have
ended: on the event loop that can never happen (it gives up after a bound),
off it the calls end first. The patching runs in a child interpreter, away
from the rest of the test run."""

import json

import pytest

from support import ROOT

CALLS = 20

CHILD = r"""
from gevent import monkey

monkey.patch_all()

import json, sys, time, types

import gevent

import dorvane
import webapp
from doubles import FakeTorch

calls = int(sys.argv[1])
# A lock of the OS, not gevent's: waiting on it blocks the thread as
# computation does.
work = monkey.get_original("_thread", "allocate_lock")()
work.acquire()
state = {"waiting": 0, "inside": False, "released": None}


def computing(*args, **kwargs):
    state["inside"] = True
    state["released"] = work.acquire(timeout=20)
    return torch.randn(0)


import torch

dorvane.torch = FakeTorch(randn=computing)
# The music calls' ten seconds are 0.2 here; the load's clock reads its ten
# seconds as passed at its first look.
dorvane.time = types.SimpleNamespace(
    sleep=lambda seconds: (state.__setitem__("waiting", state["waiting"] + 1), gevent.sleep(seconds / 50)),
    time=iter([0.0, 11.0]).__next__)
client = webapp.create_app(dorvane, webapp.Settings(operator_token="t")).test_client()
answered = []


def music():
    answered.append(("music", client.post("/api/music/generate", json={"prompt": "p"}).status_code))


def load(label):
    response = client.post("/api/run_mod", json={"size": 0}, headers={"Authorization": "Bearer t"})
    answered.append((label, response.status_code))


in_flight = [gevent.spawn(music) for _ in range(calls)]
while state["waiting"] < calls:
    gevent.sleep(0.01)
first = gevent.spawn(load, "load")
while not state["inside"]:
    gevent.sleep(0.01)
second = gevent.spawn(load, "second load")
gevent.joinall(in_flight)
work.release()
gevent.joinall([first, second])
print(json.dumps({"answered": answered, "released": state["released"]}))
"""


def test_a_load_does_not_stall_the_calls_in_flight_on_its_worker(webapp, child, tmp_path):
    pytest.importorskip("gevent", reason="gevent is not installed (pip install -r requirements-demo.txt)")
    done = child(CHILD, CALLS, path=[ROOT / "tests"], cwd=tmp_path)
    outcome = json.loads(done.splitlines()[-1])
    # The work went on until the calls had ended, and was let go, not timed out.
    assert outcome["released"] is True
    answered = outcome["answered"]
    assert answered.count(["second load", 409]) == 1
    answered.remove(["second load", 409])
    assert answered == [["music", 200]] * CALLS + [["load", 200]]


STUCK = r"""
from gevent import monkey

monkey.patch_all()

import json, sys

import gevent

import dorvane
import webapp
from unix_http import http_get
from webapp import health, listener

client = webapp.create_app(dorvane, webapp.Settings()).test_client()
loop = health.LoopClock().start(interval=0.05)
routes = health.routes(client.application, loop, stall=0.5)
listener.serve(listener.listen("unix:health.sock"), routes, "host-s")
start_thread = monkey.get_original("_thread", "start_new_thread")
os_sleep = monkey.get_original("time", "sleep")
seen = []


def ask(path, after):
    os_sleep(after)
    seen.append((path, after, http_get("health.sock", path, timeout=5)[0]))


gevent.sleep(0.2)
for path in ("/livez", "/healthz"):
    ask(path, 0)
    # Asked from a thread of the system's while the loop is held up.
    start_thread(ask, (path, 1.0))
os_sleep(1.5)  # the loop stuck in one greenlet that never yields
gevent.sleep(0.2)
for path in ("/livez", "/healthz"):
    ask(path, 0)
print(json.dumps(sorted(seen)))
"""


def test_a_stuck_event_loop_fails_liveness_and_readiness_until_it_turns_again(webapp, child, tmp_path):
    pytest.importorskip("gevent", reason="gevent is not installed (pip install -r requirements-demo.txt)")
    done = child(STUCK, cwd=tmp_path)
    assert json.loads(done.splitlines()[-1]) == [
        [path, after, status]
        for path in ("/healthz", "/livez")
        for after, status in ((0, 200), (0, 200), (1.0, 503))
    ]


QUEUED = r"""
from gevent import monkey

monkey.patch_all()

import json, sys

import gevent

from webapp.locks import try_lock

path = sys.argv[1]
turns = []


def hold(name, seconds):
    with try_lock(path, wait=10) as held:
        turns.append((name, held))
        gevent.sleep(seconds)


holder = gevent.spawn(hold, "holder", 0.3)
gevent.sleep(0.05)
# Each waits in the lock's queue on a thread of the system's: the holder, a
# task of the same loop, runs meanwhile and lets the lock go.
waiters = [gevent.spawn(hold, f"waiter {i}", 0) for i in range(3)]
gevent.joinall([holder, *waiters], timeout=20)
print(json.dumps(sorted(turns)))
"""


def test_a_task_waiting_for_a_lock_lets_the_task_that_holds_it_run(webapp, child, tmp_path):
    pytest.importorskip("gevent", reason="gevent is not installed (pip install -r requirements-demo.txt)")
    done = child(QUEUED, tmp_path / "lock", cwd=tmp_path, timeout=60)
    assert json.loads(done.splitlines()[-1]) == [["holder", True]] + [[f"waiter {i}", True] for i in range(3)]
