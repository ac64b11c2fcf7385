"""What the bench scripts share: the installed module, a stand-in service, memory readings.

The module is copied out of the environment into a temporary installation
directory that holds the complete model layout, because the installation check
looks beside the module's own file; every gated operation would otherwise
return its 400 pair at once and measure nothing.

The stand-in service runs in a child process (standin.fixed), so its work
does not share the interpreter lock with the calls being measured, and the
memory readings of the measuring process hold only the client side.

The benchmarks stand on the support package: the default layout and
endpoints, the installation folder and the plain-Python references they are
measured against; it, the example host and the stack are on the path of
the environment scripts/setup makes.
"""

import atexit
import shutil
import statistics
import sys
import tempfile
import threading
from pathlib import Path

from standin.fixed import Fixed as StandIn  # noqa: F401
from support.installation import copy_module, lay_out, load, verify

MIB = 1024 * 1024


def install():
    """Imports dorvane from a temporary installation directory with the
    complete layout, and returns (module, directory)."""
    if "dorvane" in sys.modules:
        module = sys.modules["dorvane"]
        return module, Path(module.__file__).parent
    root = Path(tempfile.mkdtemp(prefix="dorvane-bench-"))
    atexit.register(shutil.rmtree, root, True)
    try:
        copy_module(root)
    except RuntimeError as error:
        sys.exit(str(error))
    lay_out(root)
    dorvane = load(root)
    check = verify(dorvane)
    assert check == {"status": True}, check
    return dorvane, root


def proc_status_kib(field, pid="self"):
    """A memory figure from /proc/<pid>/status (VmRSS, VmHWM, ...), in KiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class Peak:
    """Samples `read()` on a thread until stopped; `peak` is the largest
    reading."""

    def __init__(self, read, interval=0.01):
        self.read = read
        self.interval = interval
        self.peak = read()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self):
        while not self.stop.wait(self.interval):
            self.peak = max(self.peak, self.read())

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def reset_peak_rss():
    """Makes VmHWM start again from the current resident size, so that a
    later reading is the peak of what ran in between (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def median(values):
    return statistics.median(values)


def spread(values):
    """min..max, for the reader to judge the noise."""
    return f"{min(values):.4g}..{max(values):.4g}"
