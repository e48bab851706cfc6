"""Python connection objects that stand in for a device: a scripted one and a controller model."""

import re
from typing import Dict, List, Optional

from kestrix.KRXUtils import RetCode, RetType, _RspType

PAGE = 16


class ScriptedConnection:
    """Answers command lines from a list (default empty) and raw receives from another."""

    def __init__(self, replies: Optional[List[object]] = None, raw: Optional[List[bytes]] = None):
        self.replies = list(replies or [])
        self.raw = list(raw or [])
        self.lines: List[bytes] = []
        self.raw_lines: List[bytes] = []
        self.rsp_types: List[object] = []
        self.sizes: List[int] = []
        self.closed = 0

    def sendCmd(self, line: bytes, rsp_type: object) -> RetType:
        self.lines.append(line)
        self.rsp_types.append(rsp_type)
        reply = self.replies.pop(0) if self.replies else ""
        if isinstance(reply, RetType):
            return reply
        if isinstance(reply, BaseException):
            raise reply
        return RetType(RetCode.OK, "", reply)

    def sendRawBytes(self, line: bytes) -> None:
        self.raw_lines.append(line)

    def recvRawBytes(self, size: int) -> bytes:
        self.sizes.append(size)
        return self.raw.pop(0)

    def closeConnection(self) -> None:
        self.closed += 1


_BLOCK = re.compile(rb"FPGA_PROGRAM #(\d)", re.S)


class FakeController:
    """A model of the FPGA controller over the connection interface: flash, page pointer, faults."""

    def __init__(self, flash_size: int = 1 << 16) -> None:
        self.flash = bytearray(b"\xff" * flash_size)
        self.pointer = 0
        self.words: List[str] = []
        self.blocks: List[bytes] = []
        self.answers: Dict[str, str] = {
            "GET_FPGA_VER": "0.3.0.0",
            "FPGA_GET_ID": "0x1234",
            "GET_FW_VER": "0.1.0.6",
            "GET_FE_INFO": '{"fe0": {"fpga_ver": "1.2.0.0"}}',
        }
        self.refuse_each = 0
        self.corrupt_at = -1
        self.fail_at: Optional[int] = None
        self._refusals = -1
        self._pending_read = False

    def _count(self, line: bytes) -> None:
        if self.fail_at is not None and len(self.words) == self.fail_at:
            raise ConnectionResetError("link dropped")
        self.words.append(line.split(b" ", 1)[0].rstrip(b"\r\n").decode())

    def sendCmd(self, line: bytes, rsp_type: object) -> RetType:
        assert rsp_type is _RspType.RSP_LIST
        assert line.endswith(b"\r\n")
        self._count(line)
        body = line[:-2]
        word = self.words[-1]
        if word == "FPGA_PROGRAM":
            return RetType(RetCode.OK, "", self._program(body))
        if word == "FPGA_ERASE":
            self.flash[:] = b"\xff" * len(self.flash)
        if word == "FPGA_RST_PAGE_PTR":
            self.pointer = 0
        return RetType(RetCode.OK, "", self.answers.get(word, "OK"))

    def _program(self, body: bytes) -> str:
        digits = int(body[14:15])
        length = int(body[15 : 15 + digits])
        data = body[15 + digits :]
        assert len(data) == length, (length, data)
        if self._refusals < 0:
            self._refusals = self.refuse_each
        if self._refusals > 0:
            self._refusals -= 1
            return "1"
        self._refusals = -1
        self.blocks.append(data)
        self.flash[self.pointer : self.pointer + len(data)] = data
        self.pointer += PAGE
        return "0"

    def sendRawBytes(self, line: bytes) -> None:
        assert line == b"FPGA_READ\r\n"
        self._count(line)
        self._pending_read = True

    def recvRawBytes(self, size: int) -> bytes:
        assert self._pending_read and size == 1024
        self._pending_read = False
        page = bytearray(self.flash[self.pointer : self.pointer + PAGE])
        if self.pointer <= self.corrupt_at < self.pointer + PAGE:
            page[self.corrupt_at - self.pointer] ^= 0x01
        self.pointer += PAGE
        return b"#216" + bytes(page) + b"\r\n"

    def closeConnection(self) -> None:
        pass
