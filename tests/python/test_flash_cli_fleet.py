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
    out = capsys.readouterr().out.splitlines()
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
    # On a pipe, a line per device event.
    assert f"{refusing}: failed (block-refused): FPGA block at byte offset 0" in "\n".join(out)


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


def test_ctrl_c_reports_each_device_and_exits_130(devices, tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(16 * 1000))
    fleet = devices(3, "--latency-us", "2000")
    child = subprocess.Popen(
        [CLI, "update", str(path), *addresses(fleet), "--json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        while "FPGA ID" not in child.stderr.readline():
            pass
        REAL_SLEEP(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130, err
    lines = [json.loads(line) for line in out.splitlines()]
    assert lines[-1]["summary"]["exit_status"] == 130
    assert sorted(d["address"] for d in lines[:-1]) == sorted(fleet)
    assert all(d["outcome"] == "interrupted" for d in lines[:-1])


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
