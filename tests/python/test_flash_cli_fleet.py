"""kestrix-flash update and verify with many devices, against simulated ones: the summary, the
exit status of a mixed fleet, the JSON lines, --hosts, --record, --skip-identical and Ctrl-C."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from kestrix.tools import flash_cli

CLI = str(Path(sys.executable).parent / "kestrix-flash")
REAL_SLEEP = time.sleep


# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(500))
    return str(path)


def addresses(texts):
    return [arg for text in texts for arg in ("--address", text)]


def json_lines(capsys, *argv):
    status = flash_cli.main([*argv, "--json"])
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    return status, lines[:-1], lines[-1]["summary"]


def test_an_all_good_fleet_prints_a_line_per_device_and_a_summary(image, capsys):
    status, per_device, summary = json_lines(capsys, "update", image, "--sim", "3")
    assert status == 0
    assert len(per_device) == 3 and all(d["outcome"] == "updated" for d in per_device)
    assert summary == {"devices": 3, "exit_status": 0, "updated": 3}


def test_a_mixed_fleet_says_which_failed_and_why(devices, image, tmp_path, capsys):
    good = devices(2)
    refusing = devices(1, "--refuse-from", "0")[0]
    silent = devices(1, "--stall-after", "9")[0]
    closing = devices(1, "--close-after", "9")[0]
    hosts = tmp_path / "hosts.txt"
    hosts.write_text(f"# the test floor\n{good[0]}\n\n{refusing}  # refuses every block\n")
    argv = ["update", image, "--hosts", str(hosts), *addresses([silent, closing, good[1]])]
    status = flash_cli.main([*argv, "--timeout", "0.5"])
    captured = capsys.readouterr()
    out = captured.out.splitlines()
    # The highest device status: 3 (unreachable or silent) over 1 (refused).
    assert status == 3
    summary = out[out.index("device\toutcome\tFPGA before\tFPGA after\tseconds\terror") + 1 :]
    rows = {line.split("\t")[0]: line.split("\t") for line in summary}
    assert [rows[a][1] for a in (good[0], refusing, silent, closing, good[1])] == [
        "updated",
        "failed",
        "failed",
        "failed",
        "updated",
    ]
    assert "byte offset 0 refused" in rows[refusing][5]
    assert "within 0.5 s" in rows[silent][5]
    assert rows[good[0]][5] == ""
    # On a pipe, a line per device event, on standard error; the cause is the summary's.
    assert f"{refusing}: failed: block-refused\n" in captured.err


def test_a_record_that_cannot_be_written_is_reported_after_the_results(image, capsys):
    status = flash_cli.main(["update", image, "--sim", "2", "--record", "/dev/full", "--json"])
    captured = capsys.readouterr()
    lines = [json.loads(line) for line in captured.out.splitlines()]
    assert status == 2
    assert [line["outcome"] for line in lines[:-1]] == ["updated", "updated"]
    assert lines[-1]["summary"]["exit_status"] == 2
    assert "error: the audit record is incomplete: [Errno 28]" in captured.err


def test_records_are_one_line_per_device_and_match_the_outcomes(devices, image, tmp_path, capsys):
    fleet = devices(2) + devices(1, "--corrupt-read", "3")
    record = tmp_path / "audit.jsonl"
    status, per_device, _ = json_lines(
        capsys, "update", image, *addresses(fleet), "--record", str(record)
    )
    assert status == 1
    records = [json.loads(line) for line in record.read_text().splitlines()]
    assert sorted(r["address"] for r in records) == sorted(fleet)
    by_address = {r["address"]: r for r in records}
    for device in per_device:
        written = by_address[device["address"]]
        assert written["outcome"] == device["outcome"] and written["error"] == device["error"]
        for key in (
            "started_at",
            "finished_at",
            "tool_version",
            "device_id",
            "serial",
            "control_fw_version",
            "fpga_version_before",
            "fpga_version_after",
            "image_path",
            "image_kind",
            "image_size",
            "image_sha256",
            "device_type",
            "bytes_written",
            "retries",
            "seconds",
            "host",
            "port",
        ):
            assert key in written, key
    assert by_address[fleet[2]]["failure"] == "verify-failed"
    assert by_address[fleet[2]]["failed_offset"] == 3


def test_verify_and_skip_identical_across_a_fleet(devices, image, capsys):
    fleet = devices(3)
    assert flash_cli.main(["update", image, *addresses(fleet[:2]), "-q"]) == 0
    capsys.readouterr()
    status, per_device, summary = json_lines(capsys, "verify", image, *addresses(fleet))
    assert status == 1
    assert [d["outcome"] for d in per_device] == ["verified", "verified", "failed"]
    assert "first at byte offset 0" in per_device[2]["error"]
    status, per_device, summary = json_lines(
        capsys, "update", image, *addresses(fleet), "--skip-identical"
    )
    assert status == 0
    assert [d["outcome"] for d in per_device] == ["unchanged", "unchanged", "updated"]
    assert summary["unchanged"] == 2 and summary["updated"] == 1


@pytest.mark.parametrize(
    ("sig", "status"),
    [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)],
    ids=["SIGINT", "SIGTERM", "SIGHUP"],
)
def test_a_signal_reports_and_records_each_device(devices, tmp_path, sig, status):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(16 * 1000))
    fleet = devices(3, "--latency-us", "2000")
    record = tmp_path / "audit.jsonl"
    child = subprocess.Popen(
        [CLI, "update", str(path), *addresses(fleet), "--json", "--record", str(record)]
        + ["--window", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        while "FPGA ID" not in child.stderr.readline():
            pass
        REAL_SLEEP(0.5)
        child.send_signal(sig)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == status, err
    lines = [json.loads(line) for line in out.splitlines()]
    assert lines[-1]["summary"]["exit_status"] == status
    assert sorted(d["address"] for d in lines[:-1]) == sorted(fleet)
    assert all(d["outcome"] == "interrupted" for d in lines[:-1])
    # Each device's message once: in its result, not in the log as well.
    assert all(d["error"] not in err for d in lines[:-1]), err
    recorded = [json.loads(line) for line in record.read_text().splitlines()]
    assert sorted((r["address"], r["outcome"]) for r in recorded) == sorted(
        (address, "interrupted") for address in fleet
    )


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(child) for child in file.read().split()]


def _gone(pid, within=10.0):
    deadline = time.monotonic() + within
    while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as file:
            if file.read().split(") ")[-1].startswith("Z"):
                return True  # ended, waiting to be reaped
        REAL_SLEEP(0.05)
    return not os.path.exists(f"/proc/{pid}")


@pytest.mark.parametrize(
    ("how", "status"),
    [("SIGTERM", 143), ("Ctrl-C of a terminal", 130), ("SIGKILL", -9)],
)
def test_the_bundled_simulator_stops_with_the_command(tmp_path, how, status):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(1 << 20))  # seconds of work, one block at a time
    argv = ["update", str(path), "--sim", "2", "--device-type", "28", "--skip-init"]
    argv += ["--window", "1"]
    child = subprocess.Popen(
        [CLI, *argv, "--record", "/dev/full"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,  # a terminal's process group of its own
    )
    try:
        while "write:" not in child.stderr.readline():
            pass
        simulators = _children(child.pid)
        assert simulators, "no simulator was started"
        if how == "Ctrl-C of a terminal":
            os.killpg(child.pid, signal.SIGINT)  # the whole foreground group gets it
        else:
            child.send_signal(getattr(signal, how))
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == status, err
    for pid in simulators:
        assert _gone(pid), "the simulator outlived the command"
    if how == "SIGKILL":
        return
    # Each device stopped on the signal, not on its simulator going away first.
    assert out.count("\tinterrupted\t") == 2, out
    # The record could not be written (a full disk): said after the interruption.
    assert "error: the audit record is incomplete: [Errno 28]" in err


@pytest.mark.parametrize(
    ("lines", "extra", "status", "said"),
    [
        pytest.param(
            "{good}\n45149\n", [], 2, ["line 2: '45149': a bare number"], id="bare-number"
        ),
        pytest.param(
            "{good}\nno-such-device.invalid\n",
            [],
            3,
            ["line 2: 'no-such-device.invalid': name 'no-such-device.invalid' not resolved"],
            id="unresolved",
        ),
        pytest.param(
            "\ufeff{good}\n# twice:\n{again}\nradio:0\n",
            [],
            2,
            ["line 3: '{again}': the same device as '{good}' (", "line 4: 'radio:0': port"],
            id="duplicate-and-malformed",
        ),
        pytest.param("{good}\n", ["--address", "{good}"], 2, ["--address 1"], id="address-twice"),
    ],
)
def test_a_bad_list_stops_the_run_before_any_device(
    simulated_devices, image, tmp_path, capsys, lines, extra, status, said
):
    [(host, port)] = simulated_devices(1)
    names = {"good": f"{host}:{port}", "again": f"localhost:{port}"}
    hosts = tmp_path / "hosts.txt"
    hosts.write_text(lines.format(**names), encoding="utf-8")
    argv = ["update", image, "--hosts", str(hosts), *(arg.format(**names) for arg in extra)]
    assert flash_cli.main(argv) == status
    err = capsys.readouterr().err
    for fragment in said:
        assert fragment.format(**names) in err, err
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXUtils import _RspType

    conn = _TCPConn(host, port)
    assert conn.initConnection()
    stats = json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData)
    conn.closeConnection()
    assert stats["commands"] == 0, "a device was touched"


@pytest.mark.parametrize("which", ["image", "hosts"])
def test_a_record_that_is_an_input_is_refused(devices, image, tmp_path, capsys, which):
    hosts = tmp_path / "hosts.txt"
    hosts.write_text(devices(1)[0] + "\n")
    target = image if which == "image" else str(hosts)
    before = Path(target).read_bytes()
    link = tmp_path / "record.jsonl"
    link.symlink_to(target)
    status = flash_cli.main(["update", image, "--hosts", str(hosts), "--record", str(link)])
    assert status == 2
    assert "audit record" in capsys.readouterr().err
    assert Path(target).read_bytes() == before


def test_a_canary_then_a_retry_of_the_failed_and_the_history(devices, image, tmp_path, capsys):
    refusing = devices(1, "--refuse-from", "0")[0]
    good = devices(2)
    record = str(tmp_path / "audit.jsonl")
    fleet = [refusing, *good]
    argv = ["update", image, *addresses(fleet), "--record", record, "--jobs", "1"]
    assert flash_cli.main([*argv, "--canary", "1", "-q"]) == 1
    capsys.readouterr()
    assert [d["outcome"] for d in history(capsys, record)] == ["failed", "skipped", "skipped"]

    retry = ["update", image, "--failed-in", record, "--record", record, "--change-id", "CHG-2"]
    assert flash_cli.main([*retry, "-q"]) == 1
    capsys.readouterr()
    latest = history(capsys, record)  # in the order the devices finished
    assert sorted((d["address"], d["outcome"], d["change_id"]) for d in latest) == sorted(
        [
            (refusing, "failed", "CHG-2"),
            (good[0], "updated", "CHG-2"),
            (good[1], "updated", "CHG-2"),
        ]
    )
    assert all(d["run_by_user"] and d["image_abspath"] == image for d in latest)
    assert len(history(capsys, record, "--all")) == 6
    assert [d["outcome"] for d in history(capsys, record, "--device", good[0], "--all")] == [
        "skipped",
        "updated",
    ]
    # Only the device that still fails is left to retry.
    assert flash_cli.main([*retry, "--json"]) == 1
    assert [json.loads(line)["address"] for line in capsys.readouterr().out.splitlines()] == [
        refusing
    ]
    assert flash_cli.main(["history", record]) == 0
    table = capsys.readouterr().out.splitlines()
    assert table[0].split("\t")[:4] == ["finished", "device", "serial", "outcome"]
    assert len(table) == 4


def history(capsys, record, *more):
    assert flash_cli.main(["history", record, "--json", *more]) == 0
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


@pytest.mark.parametrize("devices_asked", ["1", "2"])
def test_a_reader_that_goes_away_stops_no_flash(image, tmp_path, devices_asked):
    # Standard output is a pipe nobody reads: every write to it fails with EPIPE.
    read_end, write_end = os.pipe()
    os.close(read_end)
    record = tmp_path / "record.jsonl"
    argv = ["update", image, "--sim", devices_asked, "--device-type", "28", "--skip-init"]
    done = subprocess.run(
        [CLI, *argv, "--record", str(record)],
        stdout=write_end,
        stderr=subprocess.PIPE,
        text=True,
        timeout=60,
    )
    os.close(write_end)
    assert (done.returncode, "Traceback" in done.stderr) == (0, False), done.stderr
    outcomes = [json.loads(line)["outcome"] for line in record.read_text().splitlines()]
    assert outcomes == ["updated"] * int(devices_asked)
