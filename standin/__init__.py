"""Stand-in remote speech and transcription services for local runs and tests.

`python -m standin` starts both on loopback; `Services` starts them in-process.
"""

from .services import Services

__all__ = ["Services"]
