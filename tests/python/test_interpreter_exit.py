"""A program that ends while a daemon thread is inside the native modules: the interpreter's end
cancels the work (each device of a fleet recorded "interrupted"), and the process exits with the
main thread's status, never aborted or crashed by a thread that comes back into Python too late.
Each case runs a fresh interpreter, ended before the work starts, at its first block and while it
writes."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Started in a daemon thread; the main thread waits for `when` (before: not at all; first: the
# first write progress; writing: a while into the write), then ends the interpreter.
PROGRAM = textwrap.dedent(
    """
    import sys, threading, time
    when, image, record, devices = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    writing = threading.Event()

    def progress(*report):
        if "write" in report:
            writing.set()

    def fleet():
        from kestrix.fleet import update_fleet
        update_fleet(image, devices, init=False, device_type=28, window=1, record=record,
                     progress=progress)

    def tool():
        from kestrix.KRXFlash import FpgaTool
        host, port = devices[0].rsplit(":", 1)
        tool = FpgaTool(address=host, port=int(port), window=16)
        tool.set_progress_callback(lambda stage, done, total: progress(stage))
        tool.processFpgaUpdate(image, 28)

    threading.Thread(target=fleet if record else tool, daemon=True).start()
    if when != "before":
        assert writing.wait(30), "the update never wrote"
    if when == "writing":
        time.sleep(0.2)
    print("main thread done", flush=True)
    """
)


def end_interpreter(when, image, record, addresses):
    done = subprocess.run(
        [sys.executable, "-c", PROGRAM, when, image, record, *addresses],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert "main thread done\n" in done.stdout
    assert "terminate" not in done.stderr and "FATAL" not in done.stderr, done.stderr
    return done


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(64 * 1024))
    return str(path)


@pytest.mark.parametrize("when", ["before", "first", "writing"])
def test_a_fleet_in_a_daemon_thread_ends_with_the_interpreter_and_records_each_device(
    devices, image, tmp_path, when
):
    addresses = devices(2, "--latency-us", "3000")  # still running when the interpreter ends
    record = tmp_path / "record.jsonl"
    end_interpreter(when, image, str(record), addresses)
    lines = (
        [json.loads(line) for line in record.read_text().splitlines()] if record.exists() else []
    )
    if when == "before":
        assert all(line["outcome"] == "interrupted" for line in lines)
        return
    assert sorted(line["address"] for line in lines) == sorted(addresses)
    for line in lines:
        assert line["outcome"] == "interrupted"
        assert line["error"].startswith("FPGA update interrupted"), line["error"]


@pytest.mark.parametrize("when", ["before", "first", "writing"])
def test_an_update_in_a_daemon_thread_ends_with_the_interpreter(devices, image, when):
    (address,) = devices(1, "--latency-us", "3000")
    end_interpreter(when, image, "", [address])
