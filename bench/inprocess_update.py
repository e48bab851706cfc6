"""A whole update of a raw image through the Python API on an in-process fake connection that
answers at once: what the engine, the binding and the progress display cost without a network.

    python bench/inprocess_update.py [MIB]
"""

import io
import os
import sys
import tempfile
import time
from contextlib import redirect_stdout

from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode, RetType


class InstantDevice:
    """Acknowledges every block and reads back what was written, page by page."""

    def __init__(self) -> None:
        self.pages = []
        self.read_at = 0
        self._ack = RetType(RetCode.OK, "", "0")
        self._ok = RetType(RetCode.OK, "", "OK")

    def sendCmd(self, line: bytes, rsp_type: object) -> RetType:
        if line.startswith(b"FPGA_PROGRAM"):
            self.pages.append(line[17:-2])
            return self._ack
        if line.startswith(b"FPGA_RST_PAGE_PTR"):
            self.read_at = 0
        return self._ok

    def sendRawBytes(self, line: bytes) -> None:
        pass

    def recvRawBytes(self, size: int) -> bytes:
        page = self.pages[self.read_at]
        self.read_at += 1
        return b"#216" + page + b"\r\n"


def main() -> int:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(os.urandom(mib << 20))
    try:
        tool = FpgaTool(connection=InstantDevice())
        sink = io.StringIO()
        start = time.perf_counter()
        with redirect_stdout(sink):
            ok = tool._fpgaProgramFile(f.name, 28)
        seconds = time.perf_counter() - start
    finally:
        os.unlink(f.name)
    blocks = 2 * ((mib << 20) // 16)
    print(
        f"{mib} MiB update on an in-process connection: {seconds:.3f} s, "
        f"{seconds / blocks * 1e6:.2f} us per command, verified={ok}"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
