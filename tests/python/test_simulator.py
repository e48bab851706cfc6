"""kestrix-sim as users and tests start it, driven through the package's TCP connection."""

import hashlib
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import List

import pytest

from kestrix.KRXCommService import _TCPConn
from kestrix.KRXUtils import _RspType
from kestrix.tools.sim_cli import start_simulator, start_simulators, stop_simulator

PAGE = 16


def open_conn(sim, timeout: float = 5.0) -> _TCPConn:
    conn = _TCPConn(sim.host, sim.port, timeout=timeout)
    assert conn.initConnection() is True
    return conn


def ask(conn: _TCPConn, line: bytes) -> str:
    return conn.sendCmd(line + b"\r\n", _RspType.RSP_LIST).RetData


def program(data: bytes) -> bytes:
    length = str(len(data)).encode()
    return b"FPGA_PROGRAM #" + str(len(length)).encode() + length + data


def read_page(conn: _TCPConn) -> bytes:
    conn.sendRawBytes(b"FPGA_READ\r\n")
    return conn.recvRawBytes(1024)


def test_start_reports_where_it_listens_and_stops_cleanly():
    process, host, port = start_simulator()
    try:
        assert host == "127.0.0.1"
        assert 0 < port < 65536
        conn = _TCPConn(host, port)
        assert conn.initConnection() is True
        assert ask(conn, b"FPGA_GET_ID") == "0x0362D093"
        conn.closeConnection()
    finally:
        assert stop_simulator(process) == 0
    assert stop_simulator(process) == 0  # safe on a stopped one


def test_sigint_stops_it_with_status_zero():
    process, _, _ = start_simulator()
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=5) == 0
    stop_simulator(process)


def test_an_update_sequence_writes_and_reads_back_the_image(simulator):
    sim = simulator("--flash-size", "65536")
    conn = open_conn(sim)
    image = os.urandom(PAGE * 200 + 7)
    assert ask(conn, b"FPGA_CTRL_INIT") == "OK"
    assert ask(conn, b"FPGA_CFG_MODE TRANS") == "OK"
    assert ask(conn, b"FPGA_ERASE 12") == "OK"
    assert ask(conn, b"FPGA_RST_PAGE_PTR CFG") == "OK"
    for i in range(0, len(image), PAGE):
        assert ask(conn, program(image[i : i + PAGE])) == "0"
    assert ask(conn, b"FPGA_RST_PAGE_PTR CFG") == "OK"
    read = b"".join(read_page(conn)[4:-2] for _ in range(0, len(image), PAGE))
    assert read == image + b"\xff" * (PAGE - 7)
    expected = hashlib.sha256(image).hexdigest()
    assert ask(conn, b"SIM_FLASH_SHA256? %d" % len(image)) == expected
    assert ask(conn, b"FPGA_DONE") == "OK"
    assert ask(conn, b"FPGA_REFRESH") == "OK"
    assert ask(conn, b"REINIT_RF_MODULE") == "OK"
    conn.closeConnection()


@pytest.mark.parametrize(
    "line, reply",
    [
        (b"GET_FPGA_VER", "0.2.3.4"),
        (b"GET_FW_VER", "0.1.0.6"),
        (b"GET_SN", "KRX-SIM-0001"),
        (b"GET_FE_INFO", '{"FE0":{"fpga_ver":"0.2.3.4"}}'),
        (b"BEAM_PATTERN_STORE_EN 1", "OK"),
        (b"BEAM_PATTERN_STORE_EN?", "0"),
        (b"BEAM_PATTERN_ERASE", "ERR beam pattern storage not enabled"),
        (b"BEAM_PATTERN_APPLY_BFIC", "OK"),
        (b"ExtCtrl_EN 1,3", "OK"),
        (b"ExtCtrl_EN?", "0"),
        (b"NO_SUCH_COMMAND", "ERR unknown command"),
        (b"FPGA_PROGRAM #217" + b"x" * 17, "ERR block longer than a page"),
    ],
)
def test_fresh_device_answers(simulator, line, reply):
    conn = open_conn(simulator())
    assert ask(conn, line) == reply
    conn.closeConnection()


def test_identity_flags_and_the_version_after_an_update(simulator):
    sim = simulator(
        "--device-id", "0x1234", "--fpga-version", "0.2.3.0", "--version-after-update", "0.2.3.5",
        "--fw-version", "0.1.0.5", "--serial", "SN-42", "--fe-info", '{"a": {"fpga_ver": "1.1"}}',
    )  # fmt: skip
    conn = open_conn(sim)
    assert [ask(conn, c) for c in (b"FPGA_GET_ID", b"GET_FW_VER", b"GET_SN", b"GET_FE_INFO")] == [
        "0x1234", "0.1.0.5", "SN-42", '{"a":{"fpga_ver":"1.1"}}',
    ]  # fmt: skip
    assert ask(conn, b"GET_FPGA_VER") == "0.2.3.0"
    assert ask(conn, b"FPGA_REFRESH") == "OK"
    assert ask(conn, b"GET_FPGA_VER") == "0.2.3.5"
    conn.closeConnection()


def test_refuse_blocks_refuses_each_block_n_times(simulator):
    conn = open_conn(simulator("--refuse-blocks", "2"))
    for block in (b"a" * PAGE, b"b" * PAGE):
        assert [ask(conn, program(block)) for _ in range(3)] == ["1", "1", "0"]
    assert ask(conn, b"SIM_STATS?") == (
        '{"commands":6,"program":6,"refused":4,"read":0,"erase":0,"refresh":0,"stored_beams":0,"reboots":0}'
    )
    conn.closeConnection()


def test_refuse_from_refuses_forever_from_that_offset(simulator):
    conn = open_conn(simulator("--refuse-from", "0x20"))
    assert ask(conn, program(b"a" * PAGE)) == "0"
    assert ask(conn, program(b"b" * PAGE)) == "0"
    assert {ask(conn, program(b"c" * PAGE)) for _ in range(5)} == {"1"}
    assert ask(conn, b"SIM_PAGE_PTR?") == "2"
    conn.closeConnection()


def test_corrupt_read_spoils_one_byte_of_the_read_back(simulator):
    conn = open_conn(simulator("--corrupt-read", "3"))
    assert ask(conn, program(b"\x00" * PAGE)) == "0"
    assert ask(conn, b"FPGA_RST_PAGE_PTR CFG") == "OK"
    assert read_page(conn) == b"#216" + b"\x00" * 3 + b"\xff" + b"\x00" * 12 + b"\r\n"
    assert ask(conn, b"SIM_FLASH_HEX? 0,16") == "00" * PAGE
    conn.closeConnection()


def test_close_after_drops_the_link_and_serves_the_next_client(simulator):
    sim = simulator("--close-after", "1")
    conn = open_conn(sim)
    assert ask(conn, b"GET_SN") == "KRX-SIM-0001"
    with pytest.raises(ConnectionError):
        ask(conn, b"GET_SN")
    again = open_conn(sim)
    assert ask(again, b"GET_SN") == "KRX-SIM-0001"
    again.closeConnection()


def test_stall_after_stops_answering_with_the_link_open(simulator):
    conn = open_conn(simulator("--stall-after", "1"), timeout=0.3)
    assert ask(conn, b"GET_SN") == "KRX-SIM-0001"
    with pytest.raises(TimeoutError):
        ask(conn, b"GET_SN")


def test_garbage_answers_are_neither_text_nor_blocks(simulator):
    conn = open_conn(simulator("--garbage"))
    with pytest.raises(UnicodeDecodeError):
        ask(conn, b"FPGA_GET_ID")
    frame = read_page(conn)
    assert not frame.startswith(b"#") and frame.endswith(b"\r\n")
    conn.closeConnection()


def test_client_leaving_mid_block_leaves_the_device_ready(simulator):
    sim = simulator()
    conn = open_conn(sim)
    conn.sendRawBytes(b"FPGA_PROGRAM #216abc")
    conn.closeConnection()
    conn = open_conn(sim)
    assert ask(conn, program(b"z" * PAGE)) == "0"
    assert ask(conn, b"SIM_FLASH_HEX? 0,16") == "7a" * PAGE
    conn.closeConnection()


def test_flash_file_keeps_the_flash_across_runs(tmp_path: Path):
    path = tmp_path / "flash.bin"
    flags = ("--flash-size", "4096", "--flash-file", str(path))
    process, host, port = start_simulator(*flags)
    try:
        conn = _TCPConn(host, port)
        assert conn.initConnection()
        assert ask(conn, b"FPGA_ERASE 12") == "OK"
        assert ask(conn, program(b"persist-me-12345")) == "0"
        conn.closeConnection()
    finally:
        assert stop_simulator(process) == 0
    assert path.read_bytes() == b"persist-me-12345" + b"\xff" * (4096 - PAGE)
    process, host, port = start_simulator(*flags)
    try:
        conn = _TCPConn(host, port)
        assert conn.initConnection()
        assert read_page(conn) == b"#216persist-me-12345\r\n"
        conn.closeConnection()
    finally:
        assert stop_simulator(process) == 0


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--bogus"], "unknown option --bogus"),
        (["--flash-size", "100"], "--flash-size must be a positive multiple of 16"),
        (["--fe-info", "{not json"], "--fe-info needs JSON text"),
        (["--host", "256.1.1.1"], "cannot resolve 256.1.1.1"),
    ],
)
def test_bad_flags_fail_to_start_with_the_reason(flags: List[str], message: str):
    with pytest.raises(RuntimeError, match=message):
        start_simulator(*flags)


def test_start_simulators_reports_every_device_and_they_are_independent():
    process, places = start_simulators(3, "--flash-size", "4096")
    try:
        assert len(places) == 3
        assert len({port for _, port in places}) == 3
        conns = []
        for host, port in places:
            assert host == "127.0.0.1"
            conn = _TCPConn(host, port)
            assert conn.initConnection() is True
            conns.append(conn)
        assert ask(conns[1], program(b"only-on-device-1")) == "0"
        assert [ask(c, b"SIM_PAGE_PTR?") for c in conns] == ["0", "1", "0"]
        assert ask(conns[1], b"SIM_FLASH_HEX? 0,4") == b"only".hex()
        assert ask(conns[2], b"SIM_FLASH_HEX? 0,4") == "ff" * 4
        for conn in conns:
            conn.closeConnection()
    finally:
        assert stop_simulator(process) == 0


def test_start_simulators_of_one_is_start_simulator():
    process, places = start_simulators(1)
    try:
        [(host, port)] = places
        conn = _TCPConn(host, port)
        assert conn.initConnection() is True
        assert ask(conn, b"GET_SN") == "KRX-SIM-0001"
        conn.closeConnection()
    finally:
        assert stop_simulator(process) == 0


@pytest.mark.parametrize("count, args", [(0, ()), (-1, ()), (2, ("--count", "3"))])
def test_start_simulators_refuses_a_count_it_cannot_keep(count, args):
    with pytest.raises(ValueError):
        start_simulators(count, *args)


def test_start_simulators_reports_a_failure_to_start():
    with pytest.raises(RuntimeError, match="--flash-size must be a positive multiple of 16"):
        start_simulators(2, "--flash-size", "100")


def test_identifies_itself_as_scpi_instruments_do(simulator):
    conn = open_conn(simulator("--serial", "SN-IDN", "--fw-version", "0.1.0.9"))
    assert ask(conn, b"*IDN?") == "Kestrix,KRX-SIM,SN-IDN,0.1.0.9"
    conn.closeConnection()


def test_a_silent_client_does_not_lock_out_another(simulator):
    sim = simulator()
    with socket.create_connection((sim.host, sim.port)):
        conn = open_conn(sim, timeout=3.0)
        assert ask(conn, b"GET_SN") == "KRX-SIM-0001"
        conn.closeConnection()


def test_one_client_too_many_is_told_the_device_is_busy(simulator):
    sim = simulator("--max-clients", "1")
    first = open_conn(sim)
    assert ask(first, b"GET_SN") == "KRX-SIM-0001"
    with socket.create_connection((sim.host, sim.port), timeout=5) as second:
        received = b""
        while True:
            chunk = second.recv(1024)
            if not chunk:
                break
            received += chunk
    assert received == b"ERR busy: another client is connected\r\n"
    first.closeConnection()


def test_latency_delays_replies_without_adding_them_up(simulator):
    sim = simulator("--latency-us", "200000")
    with socket.create_connection((sim.host, sim.port), timeout=5) as client:
        start = time.monotonic()
        client.sendall(b"GET_SN\r\n" * 10)
        received = b""
        while received.count(b"\n") < 10:
            chunk = client.recv(4096)
            assert chunk
            received += chunk
        took = time.monotonic() - start
    assert received == b"KRX-SIM-0001\r\n" * 10
    assert 0.2 <= took < 1.0


def test_console_entry_point_runs_the_bundled_binary():
    result = subprocess.run(
        [sys.executable, "-c", "from kestrix.tools.sim_cli import main; main(['--help'])"],
        capture_output=True,
        timeout=30,
    )
    assert result.returncode == 0
    assert result.stdout.startswith(b"usage: kestrix-sim")


def test_console_entry_point_without_a_binary_says_so(monkeypatch, capsys):
    from kestrix.tools import sim_cli

    monkeypatch.setenv("KESTRIX_SIM_BINARY", "/nonexistent/kestrix-sim")
    assert sim_cli.main([]) == 1
    assert "binary not found: /nonexistent/kestrix-sim" in capsys.readouterr().err
    with pytest.raises(FileNotFoundError):
        start_simulator()
