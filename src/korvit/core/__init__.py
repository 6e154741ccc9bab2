"""A stand-in core process: a loopback server speaking the framework's
line-based JSON protocol (run it with ``python -m korvit.core``)."""

from korvit.core.server import DEFAULT_PORT, CoreServer

__all__ = ["CoreServer", "DEFAULT_PORT"]
