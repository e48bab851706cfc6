"""Whole updates over real TCP against the simulator, through the Python API on the package's
own connection, with every fault the simulator can inject."""

import hashlib
import json
import os
import threading
import time

import pytest

from kestrix import KRXFlash
from kestrix.errors import BlockRefusedError
from kestrix.KRXCommService import _TCPConn
from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode, _RspType

# Seconds a reply may take before the connection gives up, in the tests that provoke silence.
SHORT_TIMEOUT = 1.0


# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


def ask(sim, query: str) -> str:
    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    try:
        return conn.sendCmd(query.encode() + b"\r\n", _RspType.RSP_STRING).RetData
    finally:
        conn.closeConnection()


def flash_digest(sim, length: int) -> str:
    return ask(sim, f"SIM_FLASH_SHA256? {length}")


def write_image(tmp_path, size: int, tbin: bool = False, dev_type: int = 32) -> "tuple[str, bytes]":
    data = os.urandom(size)
    raw = tmp_path / "image.bin"
    raw.write_bytes(data)
    if not tbin:
        return str(raw), data
    packed = tmp_path / "image.tbin"
    KRXFlash._pack_image(str(raw), str(packed), dev_type=dev_type)
    return str(packed), data


@pytest.mark.parametrize("size", [4096, 1000])
@pytest.mark.parametrize("tbin", [False, True], ids=["bin", "tbin"])
@pytest.mark.parametrize("device_type, version", [(32, "0.3.0.0"), (28, "1.4.0.0"), (30, "")])
def test_update_writes_exactly_the_image(
    simulator, tmp_path, size, tbin, device_type, version, no_reinit_wait
):
    sim = simulator(
        "--version-after-update",
        "0.3.0.0",
        "--fe-info",
        '{"FE0": {"fpga_ver": "1.4.0.0"}, "FE1": {"fpga_ver": "9"}}',
    )
    path, data = write_image(tmp_path, size, tbin, dev_type=device_type)
    tool = FpgaTool(address=sim.host, port=sim.port)
    calls = []
    tool.set_progress_callback(lambda *a: calls.append(a))
    try:
        ret = tool.processFpgaUpdate(path, device_type)
    finally:
        tool.disconnect()
    assert ret.RetCode is RetCode.OK, ret.RetMsg
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": version}
    assert flash_digest(sim, size) == hashlib.sha256(data).hexdigest()
    assert calls[-1] == ("verify", size, size)
    assert no_reinit_wait == ([3] if device_type == 32 else [])


def test_refused_blocks_are_retried(simulator, tmp_path):
    sim = simulator("--refuse-blocks", "3")
    path, data = write_image(tmp_path, 100)
    tool = FpgaTool(address=sim.host, port=sim.port)
    ret = tool.processFpgaUpdate(path, 30)
    tool.disconnect()
    assert ret.RetCode is RetCode.OK
    stats = json.loads(ask(sim, "SIM_STATS?"))
    assert stats["refused"] == 3 * 7
    assert flash_digest(sim, 100) == hashlib.sha256(data).hexdigest()


def test_block_refused_forever_stops_with_the_offset(simulator, tmp_path):
    sim = simulator("--refuse-from", "64")
    path, _ = write_image(tmp_path, 200)
    tool = FpgaTool(address=sim.host, port=sim.port)
    with pytest.raises(
        BlockRefusedError, match="byte offset 64 refused by the controller 10 times"
    ):
        tool.processFpgaUpdate(path, 32)
    tool.disconnect()
    stats = json.loads(ask(sim, "SIM_STATS?"))
    # Erase, reset, four accepted blocks, ten attempts at the fifth; then nothing.
    assert stats["program"] == 4 + 10
    assert stats["commands"] == 2 + 14
    assert stats["read"] == 0


def test_corrupted_read_back_is_an_error_result(simulator, tmp_path, caplog):
    sim = simulator("--corrupt-read", "20")
    path, _ = write_image(tmp_path, 100)
    tool = FpgaTool(address=sim.host, port=sim.port)
    ret = tool.processFpgaUpdate(path, 32)
    tool.disconnect()
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert "Verify Failed" in caplog.text


@pytest.mark.parametrize(
    "flag, after, error",
    [
        ("--close-after", 1, ConnectionError),
        ("--close-after", 5, ConnectionError),
        ("--close-after", 40, ConnectionError),
        ("--stall-after", 0, TimeoutError),
        ("--stall-after", 3, TimeoutError),
        ("--stall-after", 30, TimeoutError),
    ],
)
def test_dropped_or_silent_link_fails_within_the_timeout(simulator, tmp_path, flag, after, error):
    sim = simulator(flag, str(after))
    path, _ = write_image(tmp_path, 400)
    conn = _TCPConn(sim.host, sim.port, timeout=SHORT_TIMEOUT)
    assert conn.initConnection()
    tool = FpgaTool(connection=conn)
    started = time.monotonic()
    with pytest.raises(error):
        tool.processFpgaUpdate(path, 32)
    assert time.monotonic() - started < SHORT_TIMEOUT + 2
    conn.closeConnection()


def test_garbage_answers_never_make_a_success(simulator, tmp_path):
    sim = simulator("--garbage")
    path, _ = write_image(tmp_path, 64)
    conn = _TCPConn(sim.host, sim.port, timeout=SHORT_TIMEOUT)
    assert conn.initConnection()
    tool = FpgaTool(connection=conn)
    try:
        ret = tool.processFpgaUpdate(path, 32)
    except (ConnectionError, TimeoutError, UnicodeDecodeError, BlockRefusedError):
        pass
    else:
        assert ret.RetCode is RetCode.ERROR
    conn.closeConnection()


def test_tools_sharing_a_connection_across_threads_each_get_their_own_replies(simulator):
    sim = simulator()
    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    wrong = []

    def ids():
        tool = FpgaTool(connection=conn)
        wrong.extend(r for r in (tool._fpgaGetId() for _ in range(400)) if r != "0x0362D093")

    def pages():
        tool = FpgaTool(connection=conn)
        wrong.extend(r for r in (tool._fpgaRead() for _ in range(400)) if r != b"\xff" * 16)

    threads = [threading.Thread(target=work) for work in (ids, pages, ids, pages)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    conn.closeConnection()
    assert wrong == []


def test_init_and_info_against_the_simulator(simulator):
    sim = simulator("--fpga-version", "0.2.3.3")
    tool = FpgaTool(address=sim.host, port=sim.port)
    try:
        low = tool.initFpga(32)
        assert low.RetCode is RetCode.WARNING
        assert low.RetMsg == "FPGA version 0.2.3.3 is lower than minimum required version 0.2.3.4."
        ok = tool.initFpga(32, disable_fw_check=True)
        assert ok.RetCode is RetCode.OK
        assert ok.RetData["fpga_id"] == "0x0362D093"
        assert tool._checkControlFwVersion() is True
        assert tool._fpgaGetSerialNumber() == "KRX-SIM-0001"
    finally:
        tool.disconnect()


@pytest.mark.parametrize("device_type", [28, 30])
def test_a_transfer_window_lands_the_same_bytes(simulator, tmp_path, device_type):
    sim = simulator("--latency-us", "200")
    path, data = write_image(tmp_path, 5000)
    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    tool = FpgaTool(connection=conn, window=16)
    assert tool.window == 16
    try:
        assert tool.processFpgaUpdate(path, device_type).RetCode is RetCode.OK
    finally:
        conn.closeConnection()
    assert flash_digest(sim, len(data)) == hashlib.sha256(data).hexdigest()
    with pytest.raises(ValueError, match="window must be from 1 to 1024"):
        tool.window = 0
