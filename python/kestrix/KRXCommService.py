"""Device connections."""

from kestrix._core import TCPConnection as _TCPConn

__all__ = ["_TCPConn"]
