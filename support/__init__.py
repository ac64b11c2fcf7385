"""What the stack, the benchmarks and the tests share, held once: the
defaults (defaults.py), the installation folder (installation.py), the
operations in plain Python (reference.py), the bytes in a store measured
from outside the host (measure.py), and starting, waiting for and stopping
processes (processes.py).

The host (examples/webapp, the package `webapp`) does not use it: a team
copies the host without it. The stack beside the host (examples/stack) and
everything here may use the host, whose own settings and endpoints they
follow. This package, the host package and the stack's modules are on the
path of the repository's environments (scripts/setup), never put there by
what imports them.
"""

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HOST = ROOT / "examples" / "webapp"
STACK = ROOT / "examples" / "stack"
