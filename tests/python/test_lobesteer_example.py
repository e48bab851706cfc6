"""The example device class (examples/fast_beam_device.py) end to end over the package's TCP
connection, against a small in-process device that speaks the example's wire convention."""

from __future__ import annotations

import importlib.util
import pathlib
import socket
import sys
import threading
from collections.abc import Iterator
from typing import Any

import pytest

from kestrix.KRXPublic import FBSMode, RFMode
from kestrix.KRXUtils import RetCode, RetType

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "fast_beam_device.py"

pytestmark = pytest.mark.skipif(not EXAMPLE.is_file(), reason="the example is not beside the tests")


@pytest.fixture(scope="module")
def example() -> Any:
    location = importlib.util.spec_from_file_location("fast_beam_device", EXAMPLE)
    assert location is not None and location.loader is not None
    loaded = importlib.util.module_from_spec(location)
    sys.modules["fast_beam_device"] = loaded
    location.loader.exec_module(loaded)
    yield loaded
    del sys.modules["fast_beam_device"]


class ConventionDevice:
    """Answers one client on 127.0.0.1 by the example's convention and records every line.
    `refuse` maps a command word to the text of an "ERR" reply."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self.refuse: dict = {}
        self.storage_on = False
        self.ext = "0"
        self.stored: list[str] = []
        self._server = socket.create_server(("127.0.0.1", 0))
        self._server.settimeout(10)
        self.port = self._server.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _answer(self, line: str) -> str:
        word, _, arg = line.partition(" ")
        if word in self.refuse:
            return "ERR " + self.refuse[word]
        if word == "BEAM_PATTERN_STORE_EN":
            self.storage_on = arg == "1"
            return "OK"
        if word == "BEAM_PATTERN_STORE_EN?":
            return "1" if self.storage_on else "0"
        if word == "BEAM_PATTERN_ERASE":
            self.stored.clear()
            return "OK" if self.storage_on else "ERR storage is off"
        if word in ("BEAM_PATTERN_STORE_FBS_BEAM", "BEAM_PATTERN_STORE_TDBS_BEAM"):
            if not self.storage_on:
                return "ERR storage is off"
            self.stored.append(line)
            return "OK"
        if word == "ExtCtrl_EN":
            self.ext = arg.split(",")[0]
            return "OK"
        if word == "ExtCtrl_EN?":
            return self.ext
        if word in ("BEAM_PATTERN_APPLY_BFIC", "REBOOT"):
            return "OK"
        return "ERR unknown command"

    def _serve(self) -> None:
        try:
            conn, _ = self._server.accept()
        except OSError:  # no client came, or the test is over
            return
        conn.settimeout(10)
        with conn, conn.makefile("rb") as lines:
            for raw in lines:
                assert raw.endswith(b"\r\n"), raw
                line = raw[:-2].decode()
                self.lines.append(line)
                conn.sendall(self._answer(line).encode() + b"\r\n")

    def close(self) -> None:
        # The client has closed its end: the thread reads the end of the stream and returns.
        self._thread.join(timeout=10)
        self._server.close()


@pytest.fixture()
def device_and_server(example: Any, monkeypatch: Any) -> Iterator[Any]:
    waits: list[float] = []
    monkeypatch.setattr(example.time, "sleep", waits.append)
    server = ConventionDevice()
    device = example.FastBeamDevice("127.0.0.1", server.port, delay_scale=0.5)
    device.waits = waits
    yield device, server
    device.close()
    server.close()


def test_store_steer_and_sync_end_to_end(device_and_server: Any) -> None:
    device, server = device_and_server
    assert device.beam_pattern_mgr is not None
    device.setFastBeamPatternThetaPhi(0, 28e9, theta=10, phi=-5)
    device.setFastBeamGain(RFMode.TX, 0, True, com_gain=3)
    device.setFastBeamPatternAzEl(1, 28e9, azimuth=0.0, elevation=30.0)

    assert device.storeFastBeamConfig().RetCode is RetCode.OK
    assert device.setFastParallelMode(True, FBSMode.PHASE_ONLY).RetCode is RetCode.OK
    state = device.getFastParallelMode()
    assert (state.RetCode, state.RetData) == (RetCode.OK, True)
    assert device.syncFastBeamConfig().RetCode is RetCode.OK

    # Azimuth 0, elevation 30 is theta 30, phi 90, up to rounding.
    word, _, values = server.lines[4].partition(" ")
    assert word == "BEAM_PATTERN_STORE_FBS_BEAM"
    assert [float(v) for v in values.split(",")] == pytest.approx([1, 28e9, 30, 90])
    assert server.lines[:4] + server.lines[5:] == [
        "BEAM_PATTERN_STORE_EN 1",
        "BEAM_PATTERN_ERASE",
        "BEAM_PATTERN_STORE_FBS_BEAM 0,28000000000.0,10.0,-5.0",
        "BEAM_PATTERN_STORE_TDBS_BEAM 0,0,1,3,0",
        "BEAM_PATTERN_STORE_EN 0",
        "BEAM_PATTERN_APPLY_BFIC",
        "ExtCtrl_EN 1,1",
        "ExtCtrl_EN?",
        "BEAM_PATTERN_STORE_EN 1",
        "BEAM_PATTERN_ERASE",
        "REBOOT",
        "BEAM_PATTERN_STORE_EN 0",
        "BEAM_PATTERN_APPLY_BFIC",
    ]
    # user_delay 2 after each erase and apply, scaled by the device's delay_scale.
    assert device.waits == [1.0, 1.0, 1.0, 1.0]


def test_gain_and_pattern_read_back_from_the_manager(device_and_server: Any) -> None:
    device, server = device_and_server
    assert device.getFastBeamGain(RFMode.RX, 4).RetCode is RetCode.ERROR
    device.setFastBeamGain(RFMode.RX, 4, 1, 2, ele_gain=5)
    gain = device.getFastBeamGain(RFMode.RX, beam_id=4)
    assert gain.RetData == {"enable": True, "com_gain": 2, "ele_gain": 5}
    device.setFastBeamPatternThetaPhi(beam_id=2, rf_freq=3, theta=4, phi=5)
    assert device.getFastBeamPattern(2).RetData == {"rf_freq": 3.0, "theta": 4.0, "phi": 5.0}
    assert server.lines == []


@pytest.mark.parametrize(
    "refused, expected_tail",
    [
        ("BEAM_PATTERN_STORE_EN", ["BEAM_PATTERN_STORE_EN 1", "BEAM_PATTERN_STORE_EN 0"]),
        ("BEAM_PATTERN_ERASE", ["BEAM_PATTERN_ERASE", "BEAM_PATTERN_STORE_EN 0"]),
        (
            "BEAM_PATTERN_STORE_FBS_BEAM",
            ["BEAM_PATTERN_STORE_FBS_BEAM 7,1.0,2.0,3.0", "BEAM_PATTERN_STORE_EN 0"],
        ),
    ],
)
def test_device_errors_become_failure_records(
    device_and_server: Any, refused: str, expected_tail: list[str] | None
) -> None:
    device, server = device_and_server
    server.refuse[refused] = "busy"
    device.setFastBeamPatternThetaPhi(7, 1, 2, 3)
    ret = device.storeFastBeamConfig()
    assert ret.RetCode is RetCode.ERROR
    assert ret.RetData == "ERR busy"
    assert "busy" in ret.RetMsg
    assert server.lines[-3:-1] == expected_tail
    assert server.lines[-1] == "BEAM_PATTERN_APPLY_BFIC"


def test_fast_parallel_mode_refused_keeps_the_state(device_and_server: Any) -> None:
    device, server = device_and_server
    server.refuse["ExtCtrl_EN"] = "locked"
    assert device.setFastParallelMode(True).RetCode is RetCode.ERROR
    assert device.external_control_enabled is False
    server.refuse.clear()
    assert device.getFastParallelMode().RetData is False
    assert server.lines == ["ExtCtrl_EN 1,3", "ExtCtrl_EN?"]


def test_unreachable_device_raises(example: Any) -> None:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # bound but not listening: connections are refused
        with pytest.raises(ConnectionError):
            example.FastBeamDevice("127.0.0.1", port)


class RecordingConnection:
    """A connection that records every line sent and answers "OK"."""

    def __init__(self) -> None:
        self.sent: list[bytes] = []

    def initConnection(self) -> bool:
        return True

    def closeConnection(self) -> None:
        pass

    def sendCmd(self, data: bytes, rsp_type: Any) -> Any:
        self.sent.append(data)
        return RetType(data="OK")


@pytest.mark.parametrize(
    "hook, argument",
    [
        ("_setBeamPatternEnable", "1\r\nBEAM_PATTERN_ERASE"),
        ("_setBeamPatternEnable", "0\nREBOOT"),
        ("_setExtCtrl", "1,3\rREBOOT"),
        ("_setExtCtrl", "1,3\x00REBOOT"),
    ],
)
def test_a_line_break_in_an_argument_is_refused_before_anything_is_sent(
    example: Any, hook: str, argument: str
) -> None:
    connection = RecordingConnection()
    device = example.FastBeamDevice("unused", connection=connection, delay_scale=0)
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        getattr(device, hook)(argument)
    assert connection.sent == []
    # The same hook with a clean argument sends exactly one line.
    assert getattr(device, hook)("1").RetCode is RetCode.OK
    assert connection.sent == [f"{device._cmd(hook)} 1\r\n".encode()]


def test_a_broken_command_is_refused_too(example: Any) -> None:
    connection = RecordingConnection()
    device = example.FastBeamDevice("unused", connection=connection, delay_scale=0)
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        device._command("REBOOT\r\nBEAM_PATTERN_ERASE")
    assert connection.sent == []
