"""One update of IMAGE through the Python API, on the native connection or on a plain Python
socket connection object:  py_update.py native|pyconn HOST PORT IMAGE [WINDOW]
Prints "<seconds> <peak RSS KiB> verified" on standard error; the progress display goes to
standard output."""

import socket
import sys
import time
from typing import Optional

from peak_rss import peak_rss_kib

from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode, RetType


class SocketConnection:
    """What a user would write: a blocking socket, one line or one block per reply."""

    def __init__(self, host: str, port: int) -> None:
        self._sock = socket.create_connection((host, port), timeout=10)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._file = self._sock.makefile("rb")

    def sendCmd(self, line: bytes, rsp_type: object) -> RetType:
        self._sock.sendall(line)
        reply = self._file.readline()
        if not reply:
            raise ConnectionError("device closed the connection")
        return RetType(RetCode.OK, "", reply.rstrip(b"\r\n").decode())

    def sendRawBytes(self, line: bytes) -> None:
        self._sock.sendall(line)

    def recvRawBytes(self, size: int) -> bytes:
        head = self._file.read(2)
        if head[:1] != b"#":
            return head + self._file.readline()
        digits = int(head[1:2])
        length_text = self._file.read(digits)
        return head + length_text + self._file.read(int(length_text) + 2)

    def closeConnection(self) -> None:
        self._file.close()
        self._sock.close()


def main() -> int:
    mode, host, port, image = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    window = int(sys.argv[5]) if len(sys.argv) > 5 else 1
    conn: Optional[SocketConnection] = None
    if mode == "native":
        tool = FpgaTool(address=host, port=port, window=window)
    else:
        conn = SocketConnection(host, port)
        tool = FpgaTool(connection=conn, window=window)
    start = time.perf_counter()
    ok = tool._fpgaProgramFile(image, 28)
    seconds = time.perf_counter() - start
    tool.disconnect()
    if conn is not None:
        conn.closeConnection()
    print(f"{seconds:.6f} {peak_rss_kib()} {'verified' if ok else 'NOT-VERIFIED'}", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
