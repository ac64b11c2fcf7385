"""Runs work that computes without yielding where it cannot stall the other
calls of its worker.

Under gevent every call of a worker is a greenlet on one thread, giving the
others their turn only when it waits, and run_mod computes for seconds
without waiting. gevent's thread pool runs it on a real thread, which takes
the interpreter lock in turns with the loop, while the calling greenlet
waits cooperatively. Under threaded workers each call has its thread already.
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
