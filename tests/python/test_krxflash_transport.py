"""The FpgaTool's Python face: construction, transport and the command set."""

import contextlib
import gc
import io
import json
import logging
import os
import socket
import weakref

import pytest

import kestrix.KRXFlash as KRXFlash
from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode, RetType, _RspType

from fpga_fakes import ScriptedConnection


def test_module_constants_and_logger():
    assert KRXFlash._RECV_SIZE == 1024
    assert KRXFlash._FPGA_FW_VER_MIN == "0.1.0.6"
    assert KRXFlash._FPGA_VER_MIN_DEV28 == "1.1.0.0"
    assert KRXFlash._FPGA_VER_MIN_DEV32 == "0.2.3.4"
    assert KRXFlash._DEVICE_WHITELIST == [32]
    assert KRXFlash.logger is logging.getLogger("FPGA")


def test_borrowed_connection_is_used_and_left_open(caplog):
    conn = ScriptedConnection()
    tool = FpgaTool(connection=conn, address="10.0.0.1", port=1)
    assert tool._conn is conn
    assert tool._owns_conn is False
    assert tool.progress_callback is None
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        tool.disconnect()
    assert conn.closed == 0
    assert caplog.records == []


def test_neither_connection_nor_address():
    with pytest.raises(ValueError, match="^Either connection or address must be provided$"):
        FpgaTool()


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"address": 5}, "address"),
        ({"address": b"h"}, "address"),
        ({"address": "h", "port": "1"}, "port"),
        ({"connection": ScriptedConnection(), "port": None}, "port"),
    ],
)
def test_argument_types_are_checked_first(kwargs, name):
    with pytest.raises(TypeError, match=name):
        FpgaTool(**kwargs)


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_refused_address_is_a_connection_error_worded_as_the_cli_words_it():
    from kestrix.tools import flash_cli

    port = _free_port()
    with pytest.raises(ConnectionError, match=f"^connection refused by 127.0.0.1:{port}$"):
        FpgaTool(address="127.0.0.1", port=float(port) + 0.7)
    argv = ["info", "--address", f"127.0.0.1:{port}", "--json"]
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert flash_cli.main(argv) == 3
    assert json.loads(out.getvalue())["error_message"] == f"connection refused by 127.0.0.1:{port}"


@pytest.mark.parametrize("raises", [False, True], ids=["normal-exit", "exception"])
def test_a_with_block_disconnects_on_leaving(simulator, raises, caplog):
    caplog.set_level(logging.INFO, logger="FPGA")
    sim = simulator()
    with pytest.raises(RuntimeError) if raises else contextlib.nullcontext():
        with FpgaTool(address=sim.host, port=sim.port, show_progress=False) as tool:
            assert tool._conn.is_open and tool._fpgaGetId() == "0x0362D093"
            if raises:
                raise RuntimeError("the block failed")
    assert not tool._conn.is_open
    assert caplog.messages[-1] == "Disconnected from FPGA device."


def test_own_connection_is_made_by_the_package_and_closed(monkeypatch, caplog):
    made = []

    class Conn(ScriptedConnection):
        def __init__(self, address, port):
            super().__init__()
            made.append((address, port))

        def initConnection(self):
            return True

    import kestrix.KRXCommService as comm

    monkeypatch.setattr(comm, "_TCPConn", Conn)
    tool = FpgaTool(address="192.0.2.1")
    assert made == [("192.0.2.1", 5025)]
    assert tool._owns_conn is True
    with caplog.at_level(logging.INFO, logger="FPGA"):
        tool.disconnect()
        tool.disconnect()
    assert tool._conn.closed == 2
    assert [r.getMessage() for r in caplog.records] == ["Disconnected from FPGA device."] * 2


def test_delete_temp_file_is_overridable_and_runs_first():
    order = []

    class Tool(FpgaTool):
        def deleteTempFile(self):
            order.append("clean")
            raise RuntimeError("clean failed")

    class Conn(ScriptedConnection):
        def closeConnection(self):
            order.append("close")

    tool = Tool(connection=Conn())
    with pytest.raises(RuntimeError, match="clean failed"):
        tool.disconnect()
    assert order == ["clean"]
    assert FpgaTool(connection=Conn()).deleteTempFile() is None


@pytest.mark.parametrize("cmd", ["FPGA_GET_ID", b"FPGA_GET_ID"])
def test_send_cmd_text_and_bytes_send_the_same_line(cmd):
    conn = ScriptedConnection(["0x1\r\n"])
    tool = FpgaTool(conn)
    assert tool._sendCmd(cmd) == "0x1\r\n"
    assert conn.lines == [b"FPGA_GET_ID\r\n"]
    assert conn.rsp_types == [_RspType.RSP_LIST]


@pytest.mark.parametrize(
    "reply", [None, "", RetType(RetCode.ERROR, "failed"), RetType(RetCode.ERROR, "x", "")]
)
def test_empty_or_absent_payload_is_empty_text(reply):
    conn = ScriptedConnection(
        [reply if isinstance(reply, RetType) else RetType(RetCode.OK, "", reply)]
    )
    assert FpgaTool(conn)._sendCmd("GET_SN") == ""


def test_non_text_payload_is_refused():
    conn = ScriptedConnection([RetType(RetCode.OK, "", ["a"])])
    with pytest.raises(TypeError, match="expected text"):
        FpgaTool(conn)._sendCmd("GET_SN")


@pytest.mark.parametrize(
    "frame, data",
    [
        (b"#216" + b"0123456789\r\nABCD" + b"\r\n", b"0123456789\r\nABCD"),
        (b"abcdef", b""),
        (b"", b""),
    ],
)
def test_raw_path(frame, data):
    conn = ScriptedConnection(raw=[frame])
    tool = FpgaTool(conn)
    assert tool._sendCmd("FPGA_READ", isdecode=False) == data
    assert conn.raw_lines == [b"FPGA_READ\r\n"] and conn.lines == []
    assert conn.sizes == [1024]


def test_get_recv_decodes_strictly_and_keeps_whitespace():
    tool = FpgaTool(ScriptedConnection(raw=[b" a \r\n", b"\xff"]))
    assert tool._getRecv() == " a \r\n"
    with pytest.raises(UnicodeDecodeError):
        tool._getRecv()


def test_received_data_is_logged_only_on_request(caplog):
    conn = ScriptedConnection(
        ["text"], raw=[b"#216" + b"a" * 16 + b"\r\n", b"#216" + bytes(range(16)) + b"\r\n"]
    )
    tool = FpgaTool(conn)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        tool._sendCmd("X", log_print=True)
        tool._fpgaRead()
        tool._sendCmd("FPGA_READ", log_print=1, size=64, isdecode=0)
    assert [r.getMessage() for r in caplog.records] == ["Received data: " + str(bytes(range(16)))]
    assert conn.sizes == [1024, 64]


@pytest.mark.parametrize(
    "call, line",
    [
        (lambda t: t._fpgaCtrlInit(), b"FPGA_CTRL_INIT"),
        (lambda t: t._fpgaGetId(), b"FPGA_GET_ID"),
        (lambda t: t._fpgaGetVersion(), b"GET_FPGA_VER"),
        (lambda t: t._fpgaCfgMode("TRANS"), b"FPGA_CFG_MODE TRANS"),
        (lambda t: t._fpgaCfgMode(mode=b"TRANS"), b"FPGA_CFG_MODE TRANS"),
        (lambda t: t._fpgaErase(12), b"FPGA_ERASE 12"),
        (lambda t: t._fpgaErase("12"), b"FPGA_ERASE 12"),
        (lambda t: t._fpgaErase(erase_bits=b"12"), b"FPGA_ERASE 12"),
        (lambda t: t._fpgaErase(1.5), b"FPGA_ERASE 1.5"),
        (lambda t: t._fpgaErase("é"), "FPGA_ERASE é".encode()),
        (lambda t: t._fpgaRstPagePtr(section="CFG"), b"FPGA_RST_PAGE_PTR CFG"),
        (lambda t: t._fpgaDone(), b"FPGA_DONE"),
        (lambda t: t._fpgaRefresh(), b"FPGA_REFRESH"),
        (lambda t: t._fpgaReinit(), b"REINIT_RF_MODULE"),
        (lambda t: t._fpgaGetInfo(), b"GET_FE_INFO"),
        (lambda t: t._fpgaGetControlFwVer(), b"GET_FW_VER"),
        (lambda t: t._fpgaGetSerialNumber(), b"GET_SN"),
    ],
)
def test_command_bytes(call, line):
    conn = ScriptedConnection(["ERR: any reply comes back as is"])
    assert call(FpgaTool(conn)) == "ERR: any reply comes back as is"
    assert conn.lines == [line + b"\r\n"]


def test_unencodable_argument_sends_nothing():
    conn = ScriptedConnection()
    with pytest.raises(UnicodeEncodeError):
        FpgaTool(conn)._fpgaCfgMode("\udc80")
    assert conn.lines == []


@pytest.mark.parametrize(
    "data, header",
    [(b"x" * 16, b"#216"), (b"x" * 100, b"#3100"), (b"x" * 8, b"#18"), (bytearray(b"ab"), b"#12")],
)
def test_program_block_bytes(data, header):
    conn = ScriptedConnection(["0"])
    assert FpgaTool(conn)._fpgaProgram(data) is True
    assert conn.lines == [b"FPGA_PROGRAM " + header + bytes(data) + b"\r\n"]


@pytest.mark.parametrize(
    "reply, ok", [("0", True), (" 0\r\n", True), ("", False), ("00", False), ("1", False)]
)
def test_program_acknowledgement(reply, ok):
    assert FpgaTool(ScriptedConnection([reply]))._fpgaProgram(b"abc") is ok


def test_program_needs_bytes():
    conn = ScriptedConnection()
    with pytest.raises(TypeError, match="data_block"):
        FpgaTool(conn)._fpgaProgram("text")
    assert conn.lines == []


def test_connection_errors_pass_unchanged():
    boom = ConnectionAbortedError("gone")
    conn = ScriptedConnection([boom])
    with pytest.raises(ConnectionAbortedError) as info:
        FpgaTool(conn)._fpgaGetId()
    assert info.value is boom


@pytest.mark.parametrize(
    "call",
    [
        lambda t, a: t._fpgaCfgMode(a),
        lambda t, a: t._fpgaErase(a),
        lambda t, a: t._fpgaRstPagePtr(a),
    ],
    ids=["cfg-mode", "erase", "rst-page-ptr"],
)
@pytest.mark.parametrize("argument", ["TRANS\r\nFPGA_ERASE 12", b"12\n", "CFG\x00"])
def test_line_breaks_in_arguments_are_refused_before_anything_is_sent(call, argument):
    conn = ScriptedConnection()
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        call(FpgaTool(conn), argument)
    assert conn.lines == []


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.initFpga(2**63),
        lambda t: t.processFpgaUpdate("x.bin", device_type=-(2**64)),
        lambda t: t._fpgaProgramFile("x.bin", device_type=2.0**70),
    ],
    ids=["initFpga", "processFpgaUpdate", "_fpgaProgramFile"],
)
def test_device_type_beyond_64_bits_is_a_clear_error(call):
    conn = ScriptedConnection()
    with pytest.raises(ValueError, match="device_type .* is out of range"):
        call(FpgaTool(conn))
    assert conn.lines == []


@pytest.mark.parametrize("cycle", ["callback", "connection", "both"])
def test_a_tool_in_a_reference_cycle_is_collected(cycle):
    gc.collect()
    tools = []
    for _ in range(50):
        conn = ScriptedConnection()
        tool = FpgaTool(conn)
        if cycle in ("callback", "both"):
            tool.set_progress_callback(lambda *args, tool=tool: tool)
        if cycle in ("connection", "both"):
            conn.tool = tool
        tools.append(weakref.ref(tool))
    del tool, conn
    gc.collect()
    assert [ref for ref in tools if ref() is not None] == []


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_dropped_tools_in_a_cycle_close_the_connections_they_opened():
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(256)
        gc.collect()
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(100):
            tool = FpgaTool(address="127.0.0.1", port=server.getsockname()[1])
            tool.set_progress_callback(lambda *args, tool=tool: tool)
        del tool
        gc.collect()
        assert len(os.listdir("/proc/self/fd")) == before
