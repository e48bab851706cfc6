"""Ctrl-C during an update: a child process runs the update and gets SIGINT; it must stop with
KeyboardInterrupt in every wait and loop, log where it stopped, and leave the device as it is."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# The child: updates IMAGE on HOST:PORT with a reply time-out of 30 s, prints "ready" first and
# "interrupted" when KeyboardInterrupt reaches it.
CHILD = textwrap.dedent(
    """
    import sys
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXFlash import FpgaTool

    host, port, path, device_type = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    conn = _TCPConn(host, port, timeout=30.0)
    assert conn.initConnection()
    tool = FpgaTool(connection=conn)
    print("ready", flush=True)
    try:
        tool.processFpgaUpdate(path, device_type)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(0)
    print("finished", flush=True)
    """
)

# Far below the 30 s reply time-out and the seconds a whole update takes: the child must have been
# stopped by the interrupt, not by anything else.
PROMPTLY = 5.0


def interrupt(sim, path, device_type, after):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, sim.host, str(sim.port), path, str(device_type)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=30)
        return child.returncode, output, time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


@pytest.mark.parametrize(
    "flags, size, device_type, after, where",
    [
        # A silent device: the interrupt comes while a reply is awaited.
        (["--stall-after", "3"], 4096, 28, 0.5, "in the write phase at byte offset 16 of 4096"),
        # A long write phase with no progress callback.
        ([], 4 << 20, 28, 0.5, "in the write phase at byte offset "),
        # The wait after the device re-initialises (device type 32).
        ([], 64, 32, 1.0, "while the device reloads its configuration"),
    ],
    ids=["silent-device", "write-phase", "reinit-wait"],
)
def test_ctrl_c_stops_the_update_at_once(
    simulator, tmp_path, flags, size, device_type, after, where
):
    sim = simulator(*flags)
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(size))
    status, output, seconds = interrupt(sim, str(path), device_type, after)
    assert status == 0, output
    assert "interrupted" in output.splitlines()
    assert f"FPGA update interrupted {where}" in output
    assert "the update again" in output
    assert seconds < PROMPTLY, output
