"""Result records, response types and version values shared by the package's modules."""

import enum
from typing import Any

from kestrix import _core

__all__ = ["RetCode", "RetType", "VER", "_RspType"]


class RetCode(enum.Enum):
    """Outcome of an operation. Success is ``RetCode.OK`` and only that."""

    OK = 0
    WARNING = 1
    ERROR = 2


class _RspType(enum.Enum):
    """How a connection request returns its reply."""

    RSP_LIST = 0
    RSP_STRING = 1


class RetType:
    """The result record of every public operation and of every connection request.

    ``RetType()``, ``RetType(data=value)``, ``RetType(code, message)`` and
    ``RetType(code, message, data)``; with no code the code is ``RetCode.OK``, with no data the
    payload ``RetData`` is ``None``.
    """

    __slots__ = ("RetCode", "RetMsg", "RetData")

    def __init__(self, code: RetCode = RetCode.OK, message: str = "", data: Any = None) -> None:
        self.RetCode = code
        self.RetMsg = message
        self.RetData = data

    def __repr__(self) -> str:
        return f"RetType({self.RetCode}, {self.RetMsg!r}, {self.RetData!r})"


# The version value is the core's own, so Python and C++ order versions the same way.
VER = _core.VER
