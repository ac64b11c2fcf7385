"""Puts the repository's root on the path, for the support package and the
stand-in (the stack's scripts run from this folder), and through support
the host's folder, whose modules the stack imports by plain name."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))
import support  # noqa: E402, F401
