"""kestrix-flash update and info against the simulator: outcomes and exit statuses."""

import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from kestrix.tools import flash_cli

CLI = str(Path(sys.executable).parent / "kestrix-flash")


@pytest.fixture(autouse=True)
def no_reinit_wait(monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(300))
    return str(path)


def run_json(capsys, *argv):
    status = flash_cli.main(list(argv) + ["--json"])
    out = capsys.readouterr().out.strip().splitlines()
    assert len(out) == 1, out  # one JSON object, nothing else on standard output
    return status, json.loads(out[0])


def test_update_succeeds(simulator, image, capsys):
    sim = simulator("--version-after-update", "0.5.0.0")
    status, result = run_json(capsys, "update", image, "--address", sim.host, "--port",
                              str(sim.port))
    assert status == 0
    assert result == {"exit_status": 0, "success": True, "error_message": "",
                      "fw_version": "0.5.0.0"}


@pytest.mark.parametrize(
    "flags, extra, status, message",
    [
        (["--corrupt-read", "40"], [], 1, "FPGA update process failed."),
        (["--refuse-from", "0"], [], 1, "BlockRefusedError"),
        (["--fpga-version", "0.0.1"], [], 1, "is lower than minimum required version"),
        (["--fpga-version", "0.0.1"], ["--skip-version-check"], 0, ""),
        (["--stall-after", "3"], ["--timeout", "0.5", "--skip-init"], 3, "TimeoutError"),
        (["--close-after", "3"], ["--skip-init"], 3, "ConnectionError"),
    ],
)
def test_update_outcomes(simulator, image, capsys, flags, extra, status, message):
    sim = simulator(*flags)
    got, result = run_json(capsys, "update", image, "--address", sim.host, "--port", str(sim.port),
                           *extra)
    assert got == status
    assert result["success"] is (status == 0)
    assert message in result["error_message"]


def test_unreachable_device_is_three(image, capsys):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    status, result = run_json(capsys, "update", image, "--address", "127.0.0.1", "--port",
                              str(port))
    assert status == 3 and "Cannot connect" in result["error_message"]


def sim_commands(sim) -> int:
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXUtils import _RspType

    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    try:
        return json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData)["commands"]
    finally:
        conn.closeConnection()


@pytest.mark.parametrize(
    "content, device_type, message",
    [
        (b"\0" * 100, 32, "FPGA tbin header parse error: "),
        # Made for another device type: refused, though its digests are sound.
        (None, 32, "FPGA image is made for device type 28, not for device type 32."),
    ],
    ids=["broken", "other-device-type"],
)
def test_image_errors_are_two_and_decided_before_the_device_is_touched(
    simulator, tmp_path, capsys, content, device_type, message
):
    sim = simulator()
    path = tmp_path / "x.tbin"
    if content is None:
        raw = tmp_path / "x.bin"
        raw.write_bytes(os.urandom(64))
        assert flash_cli.main(["pack", str(raw), str(path), "--dev-type", "28"]) == 0
        capsys.readouterr()
    else:
        path.write_bytes(content)
    status, result = run_json(capsys, "update", str(path), "--address", sim.host, "--port",
                              str(sim.port), "--device-type", str(device_type))
    assert status == 2
    assert result["error_message"].startswith(message)
    assert sim_commands(sim) == 0


def test_sim_update_through_the_console_script(image):
    done = subprocess.run([CLI, "update", image, "--sim", "--device-type", "28", "--skip-init"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    # On a pipe the carriage-return display gives way to a line per tenth of each phase.
    assert "\r" not in done.stdout
    assert "write: 300/300 bytes (100%)" in done.stdout
    assert "verify: 300/300 bytes (100%)" in done.stdout
    assert "FPGA update succeeded" in done.stdout


def test_info(simulator, capsys):
    sim = simulator("--serial", "SN-42")
    assert flash_cli.main(["info", "--address", sim.host, "--port", str(sim.port)]) == 0
    out = capsys.readouterr().out
    assert "FPGA ID:" in out and "0x0362D093" in out
    assert "SN-42" in out and "0.1.0.6" in out


def test_info_of_a_device_that_answers_bytes_that_are_not_text(simulator, capsys):
    sim = simulator("--garbage")
    assert flash_cli.main(["info", "--address", sim.host, "--port", str(sim.port)]) == 3
    captured = capsys.readouterr()
    assert "bytes that are not text" in captured.err
    assert "Traceback" not in captured.err


def test_update_of_a_file_name_that_is_not_utf8(simulator, tmp_path, capsys):
    sim = simulator()
    path = tmp_path / os.fsdecode(b"fpga\xff.bin")
    path.write_bytes(os.urandom(100))
    status, result = run_json(capsys, "update", str(path), "--address", sim.host, "--port",
                              str(sim.port), "--device-type", "28", "--skip-init")
    assert (status, result["success"]) == (0, True)


def test_usage_error_is_two(capsys):
    assert flash_cli.main(["update", "x.bin"]) == 2
