"""The package's TCP connection (``kestrix.KRXCommService._TCPConn``) against a scripted loopback
server in a thread of the test."""

import socket
import socketserver
import threading
import time
from typing import Callable, Iterator, List

import pytest

from kestrix.errors import DeviceProtocolError
from kestrix.KRXCommService import _TCPConn
from kestrix.KRXUtils import RetCode, RetType, _RspType

Script = Callable[[socket.socket, List[bytes]], None]


def _read_line(sock: socket.socket) -> bytes:
    line = b""
    while not line.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        line += chunk
    return line


def _wait_for_close(sock: socket.socket) -> None:
    try:
        while sock.recv(1024):
            pass
    except OSError:
        pass


class _Server(socketserver.TCPServer):
    allow_reuse_address = True

    def __init__(self, script: Script) -> None:
        self.script = script
        self.received: List[bytes] = []
        super().__init__(("127.0.0.1", 0), _Handler)


class _Handler(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        server = self.server
        assert isinstance(server, _Server)
        self.request.settimeout(5)
        try:
            server.script(self.request, server.received)
        except OSError:
            pass


@pytest.fixture
def serve() -> Iterator[Callable[[Script], _Server]]:
    """Starts a loopback server that runs a script for each client."""
    servers: List[_Server] = []

    def start(script: Script) -> _Server:
        server = _Server(script)
        serving = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        serving.start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.shutdown()
        server.server_close()


def answer(*replies: bytes) -> Script:
    """A device that reads one line per reply and answers it, then waits for the client to go."""

    def script(sock: socket.socket, received: List[bytes]) -> None:
        for reply in replies:
            received.append(_read_line(sock))
            sock.sendall(reply)
        _wait_for_close(sock)

    return script


@pytest.fixture
def connect(serve) -> Iterator[Callable[..., _TCPConn]]:
    """Opens connections to loopback servers and closes them before the servers stop."""
    conns: List[_TCPConn] = []

    def open_to(server: _Server, **kwargs: float) -> _TCPConn:
        conn = _TCPConn("127.0.0.1", server.server_address[1], **kwargs)
        assert conn.initConnection() is True
        conns.append(conn)
        return conn

    yield open_to
    for conn in conns:
        conn.closeConnection()


@pytest.mark.parametrize(
    "line, on_wire, reply, payload",
    [
        (b"FPGA_GET_ID\r\n", b"FPGA_GET_ID\r\n", b"0x0362D093\r\n", "0x0362D093"),
        ("GET_FPGA_VER\r\n", b"GET_FPGA_VER\r\n", b"0.2.3.4\r\n", "0.2.3.4"),
        ("ExtCtrl_EN?", b"ExtCtrl_EN?\r\n", b"1\r\n", "1"),
        (b"FPGA_DONE\r\n", b"FPGA_DONE\r\n", b"\r\n", ""),
        ("GET_SN\r\n", b"GET_SN\r\n", " \u00e9t\u00e9 \n".encode(), " \u00e9t\u00e9 "),
    ],
)
@pytest.mark.parametrize("rsp_type", [_RspType.RSP_LIST, _RspType.RSP_STRING])
def test_send_cmd_returns_the_reply_text_as_a_ret_type(
    serve, connect, line, on_wire, reply, payload, rsp_type
):
    server = serve(answer(reply))
    conn = connect(server)
    ret = conn.sendCmd(line, rsp_type)
    conn.closeConnection()
    assert isinstance(ret, RetType)
    assert ret.RetCode is RetCode.OK
    assert ret.RetData == payload and type(ret.RetData) is str
    assert server.received == [on_wire]


def test_reply_that_is_not_utf8_raises_unicode_decode_error_and_keeps_the_link(serve, connect):
    conn = connect(serve(answer(b"ok\xc3\x28\r\n", b"next\r\n")))
    with pytest.raises(UnicodeDecodeError) as info:
        conn.sendCmd(b"A\r\n", _RspType.RSP_LIST)
    assert info.value.start == 2
    assert conn.sendCmd(b"B\r\n", _RspType.RSP_LIST).RetData == "next"


def test_block_with_line_ends_in_its_data_is_received_whole(serve, connect):
    data = b"\r\n\n\r#216\x00\xff\r\nabcd"
    assert len(data) == 16
    frame = b"#216" + data + b"\r\n"
    server = serve(answer(frame + b"#15hello\r\nERR no\r\n"))
    conn = connect(server)
    conn.sendRawBytes(b"FPGA_READ\r\n")
    assert conn.recvRawBytes() == frame
    assert conn.recvRawBytes(1024) == b"#15hello\r\n"
    assert conn.recvRawBytes(size=64) == b"ERR no\r\n"
    assert server.received == [b"FPGA_READ\r\n"]


@pytest.mark.parametrize(
    "frame, size, survives",
    [
        (b"#240" + b"x" * 40 + b"\r\n", 30, True),
        (b"y" * 40 + b"\r\n", 30, True),
        (b"#x12\r\n", 1024, True),
        (b"#14abcdXY", 1024, False),
    ],
    ids=["block_over_limit", "line_over_limit", "bad_header", "block_without_crlf"],
)
def test_malformed_frames_raise_device_protocol_error(serve, connect, frame, size, survives):
    conn = connect(serve(answer(frame + b"NEXT\r\n")))
    conn.sendRawBytes(b"FPGA_READ\r\n")
    with pytest.raises(DeviceProtocolError):
        conn.recvRawBytes(size)
    assert conn.is_open is survives
    if survives:
        assert conn.recvRawBytes() == b"NEXT\r\n"
    else:
        with pytest.raises(ConnectionError):
            conn.recvRawBytes()


def test_silent_device_raises_timeout_error_and_closes(serve, connect):
    conn = connect(serve(answer()), timeout=0.2)
    with pytest.raises(TimeoutError):
        conn.sendCmd(b"FPGA_GET_ID\r\n", _RspType.RSP_LIST)
    assert conn.is_open is False
    with pytest.raises(ConnectionError):
        conn.sendCmd(b"FPGA_GET_ID\r\n", _RspType.RSP_LIST)


@pytest.mark.parametrize("partial", [b"", b"0x03", b"#216abc"])
def test_peer_that_closes_raises_connection_error(serve, connect, partial):
    def script(sock: socket.socket, received: List[bytes]) -> None:
        received.append(_read_line(sock))
        sock.sendall(partial)

    conn = connect(serve(script))
    conn.sendRawBytes(b"FPGA_READ\r\n")
    with pytest.raises(ConnectionError):
        conn.recvRawBytes()
    assert conn.is_open is False


def test_refused_port_gives_false():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    conn = _TCPConn("127.0.0.1", port)
    assert conn.initConnection() is False
    with pytest.raises(ConnectionError):
        conn.sendCmd(b"X\r\n", _RspType.RSP_LIST)
    conn.closeConnection()


def test_close_is_safe_twice_and_commands_after_it_fail(serve, connect):
    conn = connect(serve(answer()))
    conn.closeConnection()
    conn.closeConnection()
    for call in (
        lambda: conn.sendCmd(b"X\r\n", _RspType.RSP_LIST),
        lambda: conn.sendRawBytes(b"X\r\n"),
        lambda: conn.recvRawBytes(),
    ):
        with pytest.raises(ConnectionError):
            call()


def test_constructor_defaults_and_read_only_properties():
    conn = _TCPConn("192.0.2.1")
    assert (conn.address, conn.port) == ("192.0.2.1", 5025)
    assert (conn.timeout, conn.connect_timeout) == (10.0, 5.0)
    conn = _TCPConn("127.0.0.1", 6000, connect_timeout=1.5, timeout=0.5)
    assert (conn.port, conn.timeout, conn.connect_timeout) == (6000, 0.5, 1.5)
    with pytest.raises(AttributeError):
        conn.port = 1  # type: ignore[misc]
    assert conn.is_open is False


@pytest.mark.parametrize(
    "make",
    [
        lambda: _TCPConn("127.0.0.1", 5025, 2.0),  # time-outs are keyword-only
        lambda: _TCPConn(5025),
        lambda: _TCPConn("127.0.0.1", "5025"),
        lambda: _TCPConn("127.0.0.1", 5025.5),
    ],
)
def test_constructor_rejects_wrong_argument_types(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("kwargs", [{"timeout": 0}, {"timeout": -1.0}, {"connect_timeout": 0.0}])
def test_constructor_rejects_time_outs_that_are_not_positive(kwargs):
    with pytest.raises(ValueError):
        _TCPConn("127.0.0.1", 5025, **kwargs)


def test_send_cmd_rejects_wrong_argument_types(serve, connect):
    conn = connect(serve(answer()))
    with pytest.raises(TypeError):
        conn.sendCmd(12, _RspType.RSP_LIST)
    with pytest.raises(TypeError):
        conn.sendCmd(b"X\r\n", "RSP_LIST")
    with pytest.raises(TypeError):
        conn.sendRawBytes("text is not bytes")
    conn.closeConnection()


def test_waiting_for_a_reply_lets_other_threads_run(serve, connect):
    """The GIL is released while the connection waits on the network."""

    def slow(sock: socket.socket, received: List[bytes]) -> None:
        received.append(_read_line(sock))
        time.sleep(0.5)
        sock.sendall(b"late\r\n")
        _wait_for_close(sock)

    conn = connect(serve(slow))
    ticks = 0
    stop = threading.Event()

    def count() -> None:
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.01)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks
        assert conn.sendCmd(b"Q\r\n", _RspType.RSP_LIST).RetData == "late"
        during = ticks - before
    finally:
        stop.set()
        counter.join()
    assert during >= 10
