"""kestrix-flash update, verify and info against the simulator: every outcome's message and exit
status, the JSON output, and the plain lines on a pipe."""

import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from kestrix import KRXFlash
from kestrix.tools import flash_cli

CLI = str(Path(sys.executable).parent / "kestrix-flash")
REAL_SLEEP = time.sleep  # the tests patch time.sleep to skip the device's reload wait


# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(300))
    return str(path)


def packed(tmp_path, dev_type=32, tamper_at=None):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(os.urandom(100))
    out = tmp_path / "fpga.tbin"
    KRXFlash._pack_image(str(raw), str(out), dev_type=dev_type)
    if tamper_at is not None:
        data = bytearray(out.read_bytes())
        data[tamper_at] ^= 1
        out.write_bytes(bytes(data))
    return str(out)


def run_json(capsys, *argv):
    status = flash_cli.main(list(argv) + ["--json"])
    out = capsys.readouterr().out.strip().splitlines()
    assert len(out) == 1, out  # one JSON object, nothing else on standard output
    return status, json.loads(out[0])


def at(sim):
    return ["--address", f"{sim.host}:{sim.port}"]


def test_update_reports_the_device_the_image_and_the_phases(simulator, image, capsys):
    sim = simulator("--version-after-update", "0.5.0.0", "--serial", "SN-1")
    status, result = run_json(capsys, "update", image, *at(sim))
    assert status == 0
    assert {k: result[k] for k in ("exit_status", "success", "error_message", "fw_version")} == {
        "exit_status": 0,
        "success": True,
        "error_message": "",
        "fw_version": "0.5.0.0",
    }
    assert (result["device_id"], result["serial"], result["control_fw_version"]) == (
        "0x0362D093",
        "SN-1",
        "0.1.0.6",
    )
    assert (result["fpga_version_before"], result["fpga_version_after"]) == ("0.2.3.4", "0.5.0.0")
    assert (result["image_kind"], result["image_size"], result["bytes_written"]) == (
        "bin",
        300,
        300,
    )
    assert (
        result["image_sha256"] == __import__("hashlib").sha256(Path(image).read_bytes()).hexdigest()
    )
    assert result["retries"] == 0 and result["outcome"] == "updated" and result["failure"] is None
    assert set(result["seconds"]) == {"erase", "write", "verify", "reload", "total"}


@pytest.mark.parametrize(
    "sim_flags, make, extra, status, message",
    [
        # The image and the device type: decided before any device is reached.
        ([], lambda t, i: i + ".none.bin", [], 2, "FPGA image path not found: "),
        ([], lambda t, i: i, ["--device-type", "30"], 2, "device type 30 is not supported"),
        ([], lambda t, i: i, ["--device-type", "28"], 2, "update it with --skip-init"),
        (
            [],
            lambda t, i: packed(t, dev_type=28),
            [],
            2,
            "FPGA image is made for device type 28, not for device type 32.",
        ),
        ([], lambda t, i: packed(t, tamper_at=20), [], 2, "the header digest does not match"),
        ([], lambda t, i: packed(t, tamper_at=-1), [], 2, "the image digest does not match"),
        # The device.
        (["--stall-after", "3"], lambda t, i: i, ["--timeout", "0.5"], 3, "within 0.5 s"),
        (["--close-after", "6"], lambda t, i: i, [], 3, "127.0.0.1:"),
        (["--garbage"], lambda t, i: i, [], 3, "the device answered against its protocol"),
        # The update itself.
        (["--refuse-from", "32"], lambda t, i: i, [], 1, "block at byte offset 32 refused"),
        (["--corrupt-read", "37"], lambda t, i: i, [], 1, "first at byte offset 37"),
        (
            ["--fpga-version", "0.0.1"],
            lambda t, i: i,
            [],
            1,
            "is lower than minimum required version",
        ),
        (["--fpga-version", "0.0.1"], lambda t, i: i, ["--skip-version-check"], 0, ""),
    ],
    ids=[
        "image-missing",
        "no-profile",
        "not-initialised",
        "other-device-type",
        "header-digest",
        "image-digest",
        "no-answer",
        "link-closed",
        "garbage",
        "block-refused",
        "read-back",
        "version-too-low",
        "version-check-skipped",
    ],
)
def test_each_cause_has_its_message_and_exit_status(
    simulator, image, tmp_path, capsys, sim_flags, make, extra, status, message
):
    sim = simulator(*sim_flags)
    got, result = run_json(capsys, "update", make(tmp_path, image), *at(sim), *extra)
    assert got == status == result["exit_status"]
    assert result["success"] is (status == 0)
    assert message in result["error_message"]
    assert "Error" not in result["error_message"]  # causes, not exception class names
    if status == 2:  # input errors never touch the device
        assert sim_commands(sim) == 0


def sim_commands(sim) -> int:
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXUtils import _RspType

    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    try:
        return json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData)["commands"]
    finally:
        conn.closeConnection()


def test_unreachable_devices_say_why(image, capsys):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    status, result = run_json(capsys, "update", image, "--address", f"127.0.0.1:{port}")
    assert (status, result["error_message"]) == (3, f"connection refused by 127.0.0.1:{port}")
    status, result = run_json(capsys, "update", image, "--address", "no-such-device.invalid")
    assert status == 3
    assert result["error_message"].startswith("name 'no-such-device.invalid' not resolved")


def test_a_busy_device_says_so(simulator, image, capsys):
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXUtils import _RspType

    sim = simulator("--max-clients", "1")
    other = _TCPConn(sim.host, sim.port)
    assert other.initConnection()
    other.sendCmd(b"FPGA_GET_ID\r\n", _RspType.RSP_LIST)
    try:
        status, result = run_json(capsys, "update", image, *at(sim))
    finally:
        other.closeConnection()
    assert (status, result["error_message"]) == (3, "device busy: another client is connected")


def test_the_last_line_names_the_cause_without_a_traceback(simulator, image, capsys):
    sim = simulator("--refuse-from", "16")
    assert flash_cli.main(["update", image, *at(sim), "--quiet"]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    last = captured.err.strip().splitlines()[-1]
    assert last.startswith("FPGA update FAILED: ")
    assert "byte offset 16 refused by the controller 10 times" in last
    assert "Traceback" not in captured.err


def test_ctrl_c_stops_the_update_and_says_the_flash_is_incomplete(simulator, tmp_path):
    sim = simulator("--latency-us", "2000")  # about 4 s for this image: time to interrupt it
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(16 * 1000))
    child = subprocess.Popen(
        [CLI, "update", str(path), *at(sim), "--json", "--window", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    while "FPGA ID" not in child.stderr.readline():  # the update is under way
        pass
    REAL_SLEEP(0.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 130, err
    result = json.loads(out)
    assert result["outcome"] == "interrupted" and result["exit_status"] == 130
    assert "the flash is incomplete; run the update again" in result["error_message"]


def test_verify_and_skip_identical(simulator, image, capsys):
    sim = simulator("--corrupt-read", "7")
    status, result = run_json(
        capsys, "verify", image, *at(sim), "--device-type", "28", "--skip-init"
    )
    assert status == 1 and "first at byte offset 0" in result["error_message"]  # erased flash
    assert (
        run_json(capsys, "update", image, *at(sim), "--skip-identical")[0] == 1
    )  # byte 7 reads bad
    sim = simulator()
    status, result = run_json(capsys, "update", image, *at(sim), "--skip-identical")
    assert (status, result["outcome"]) == (0, "updated")
    status, result = run_json(capsys, "update", image, *at(sim), "--skip-identical")
    assert (status, result["outcome"], result["bytes_written"]) == (0, "unchanged", 0)
    status, result = run_json(capsys, "verify", image, *at(sim))
    assert (status, result["outcome"]) == (0, "verified")


def test_info_shows_ids_and_versions_and_has_json(simulator, capsys):
    sim = simulator("--serial", "SN-42")
    assert flash_cli.main(["info", *at(sim)]) == 0
    out = capsys.readouterr().out
    assert "FPGA ID:" in out and "0x0362D093" in out
    assert "SN-42" in out and "0.1.0.6" in out and "0.2.3.4" in out
    status, result = run_json(capsys, "info", *at(sim))
    assert (status, result["serial"], result["outcome"]) == (0, "SN-42", "identified")


def test_info_of_a_device_that_answers_bytes_that_are_not_text(simulator, capsys):
    sim = simulator("--garbage")
    assert flash_cli.main(["info", *at(sim)]) == 3
    captured = capsys.readouterr()
    assert "the device answered against its protocol" in captured.err
    assert "Traceback" not in captured.err


def test_update_of_a_file_name_that_is_not_utf8(simulator, tmp_path, capsys):
    sim = simulator()
    path = tmp_path / os.fsdecode(b"fpga\xff.bin")
    path.write_bytes(os.urandom(100))
    status, result = run_json(
        capsys, "update", str(path), *at(sim), "--device-type", "28", "--skip-init"
    )
    assert (status, result["success"]) == (0, True)
    assert result["image_path"].endswith("fpga\\xff.bin")


def test_piped_output_is_a_line_per_tenth_of_each_phase(image):
    done = subprocess.run(
        [CLI, "update", image, "--sim", "--device-type", "28", "--skip-init"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert "\r" not in done.stderr and "\x1b" not in done.stderr
    lines = done.stderr.splitlines()  # progress is no result: standard error
    assert "write: 300/300 bytes (100%)" in lines and "verify: 300/300 bytes (100%)" in lines
    assert "erase" in lines and done.stdout.startswith("FPGA update succeeded: ")
    assert "FPGA [INFO] Verify Success" in done.stderr  # log lines go to standard error


@pytest.mark.parametrize(
    "argv",
    [
        ["update", "x.bin"],  # no device
        ["update", "x.bin", "--address", "host:99999"],
        ["update", "x.bin", "--address", "a", "--jobs", "0"],
        ["update", "x.bin", "--address", "a", "--jobs", "99999999999"],
        ["verify", "x.bin", "--address", "a", "--window", "1025"],
        ["info", "--address", "[::1"],
        ["verify"],
        ["pack", "--bogus"],
    ],
)
def test_usage_errors_are_two(argv, capsys):
    assert flash_cli.main(argv) == 2


def test_simulated_devices_that_cannot_start_are_a_usage_error(tmp_path, capsys):
    image = tmp_path / "fpga.bin"
    image.write_bytes(bytes(32))
    assert flash_cli.main(["update", str(image), "--sim", "100000"]) == 2
    assert "kestrix-sim did not start" in capsys.readouterr().err


def test_version_and_help(capsys):
    from kestrix import __version__

    assert flash_cli.main(["--version"]) == 0
    assert capsys.readouterr().out.strip() == f"kestrix-flash {__version__}"
    for command in ("pack", "check", "update", "verify", "info"):
        assert flash_cli.main([command, "--help"]) == 0
        text = capsys.readouterr().out
        assert "default" in text  # every option says its default
