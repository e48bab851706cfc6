"""Exceptions raised by the package's native modules, beside Python's own ``ConnectionError``,
``TimeoutError``, ``OSError`` and ``UnicodeDecodeError``."""

__all__ = ["BlockRefusedError", "CancelledError", "DeviceProtocolError"]


class DeviceProtocolError(ConnectionError):
    """The device answered with something its protocol does not allow."""


class BlockRefusedError(RuntimeError):
    """The FPGA controller kept refusing one programming block; the update stopped."""


class CancelledError(Exception):
    """An operation was stopped through its cancel token; the device is left as it was."""
