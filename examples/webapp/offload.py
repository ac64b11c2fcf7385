"""Runs work that computes without yielding where it cannot stall the other
calls of its worker.

Under gunicorn's gevent worker every call in flight is a greenlet on one OS
thread, and a greenlet gives the others their turn only when it waits. The
speech calls wait through the module's `time` and `requests`, which gevent
has patched, but run_mod computes for ten seconds: on the event loop, every
call of that worker would stop for as long. gevent's thread pool runs it on
a real thread instead, which takes the interpreter lock in turns with the
loop (the library releases it in its own work), while the calling greenlet
waits for the result cooperatively. Under threaded workers each call has its
thread already, and the work runs where it is.
"""


def cooperative():
    """True when this process runs greenlets over gevent's patched threading."""
    try:
        from gevent import monkey
    except ImportError:
        return False
    return monkey.is_module_patched("threading")


def run(function, *args):
    """`function(*args)`, off the event loop under gevent; its result, or
    the exception it raised."""
    if not cooperative():
        return function(*args)
    import gevent

    return gevent.get_hub().threadpool.spawn(function, *args).get()
