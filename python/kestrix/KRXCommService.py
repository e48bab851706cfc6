"""Device connections."""

from kestrix._kestrix_net import TCPConnection as _TCPConn

__all__ = ["_TCPConn"]
