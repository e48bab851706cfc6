"""Result records, response types and version values shared by the package's modules."""

import enum
import re
from typing import Any, Tuple

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


_VERSION_TEXT = re.compile(r"\s*(\d+(?:\.\d+)*)\s*\Z")


class VER:
    """A version value made from dotted decimal text such as ``"0.1.0.6"``.

    Values compare component by component, a missing trailing component counting as 0.
    A text that is not a version raises ``ValueError``.
    """

    __slots__ = ("_parts",)

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"version must be text, not {type(text).__name__}")
        match = _VERSION_TEXT.match(text)
        if match is None:
            raise ValueError(f"Invalid version: {text!r}")
        self._parts: Tuple[int, ...] = tuple(int(p) for p in match.group(1).split("."))

    def _key(self, other: "VER") -> Tuple[Tuple[int, ...], Tuple[int, ...]]:
        n = max(len(self._parts), len(other._parts))
        return (
            self._parts + (0,) * (n - len(self._parts)),
            other._parts + (0,) * (n - len(other._parts)),
        )

    def __lt__(self, other: "VER") -> bool:
        if not isinstance(other, VER):
            return NotImplemented
        a, b = self._key(other)
        return a < b

    def __le__(self, other: "VER") -> bool:
        if not isinstance(other, VER):
            return NotImplemented
        a, b = self._key(other)
        return a <= b

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, VER):
            return NotImplemented
        a, b = self._key(other)
        return a == b

    def __hash__(self) -> int:
        parts = list(self._parts)
        while parts and parts[-1] == 0:
            parts.pop()
        return hash(tuple(parts))

    def __str__(self) -> str:
        return ".".join(str(p) for p in self._parts)

    def __repr__(self) -> str:
        return f"VER({str(self)!r})"
