"""The device simulator: ``kestrix-sim`` runs the bundled binary; ``start_simulator`` starts one
for tests and scripts and reports where it listens, and ``start_simulators`` starts one process
serving several independent devices and reports where each of them listens.

The binary is ``kestrix/bin/kestrix-sim`` inside the installed package; the environment variable
``KESTRIX_SIM_BINARY`` names another one (a build tree's, for instance).
"""

import os
import selectors
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

__all__ = ["main", "simulator_binary", "start_simulator", "start_simulators", "stop_simulator"]

_BANNER = "kestrix-sim listening on "
# Seconds a starting simulator may take to print where it listens, and a stopping one to exit.
_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 5.0


def simulator_binary() -> Path:
    """The simulator executable: ``$KESTRIX_SIM_BINARY`` or the one bundled with the package."""
    override = os.environ.get("KESTRIX_SIM_BINARY")
    if override:
        return Path(override)
    return Path(__file__).resolve().parent.parent / "bin" / "kestrix-sim"


def _read_banner(process: "subprocess.Popen[bytes]", deadline: float, timeout: float) -> str:
    """The next line of the simulator's output, waiting until ``deadline`` (``time.monotonic()``)
    at most; ``timeout`` is the whole wait, for the message."""
    assert process.stdout is not None
    line = b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                raise TimeoutError(f"kestrix-sim did not start within {timeout} s")
            chunk = os.read(process.stdout.fileno(), 1)
            if not chunk:
                break
            line += chunk
    return line.decode("utf-8", "replace").strip()


def start_simulator(
    *args: str, binary: Optional[Path] = None, timeout: float = _START_TIMEOUT
) -> Tuple["subprocess.Popen[bytes]", str, int]:
    """Starts the simulator with the command-line flags ``args`` on a free port (unless ``args``
    name one) and returns ``(process, host, port)`` once it listens.

    Raises ``RuntimeError`` (with the simulator's error output) when it exits instead, and
    ``TimeoutError`` when it does not report within ``timeout`` seconds. Stop it with
    ``stop_simulator(process)``.
    """
    process, [(host, port)] = _start([], args, 1, binary, timeout)
    return process, host, port


def start_simulators(
    count: int,
    *args: str,
    binary: Optional[Path] = None,
    timeout: float = _START_TIMEOUT,
    detached: bool = False,
) -> Tuple["subprocess.Popen[bytes]", List[Tuple[str, int]]]:
    """Starts one simulator process serving ``count`` independent devices (``--count``), each
    with its own flash, state and faults, and returns ``(process, [(host, port), ...])`` in device
    order once every one of them listens. Each device gets a free port, unless ``args`` name a
    ``--port``: then they listen on consecutive ports from it.

    ``args`` must not hold ``--count``. Raises ``ValueError`` for a count below 1, and otherwise
    as ``start_simulator`` does; ``timeout`` is for all the devices together. Stop it with
    ``stop_simulator(process)``.

    ``detached`` runs it as a device would run: in a session of its own, so the signals of the
    caller's terminal (Ctrl-C, a hang-up) do not reach it, and stopping when the calling thread's
    process ends (call it from the main thread then).
    """
    if count < 1:
        raise ValueError(f"count must be at least 1, not {count}")
    if "--count" in args:
        raise ValueError("give the number of devices as count, not as --count in args")
    flags = ["--count", str(count), *(["--exit-with-parent"] if detached else [])]
    return _start(flags, args, count, binary, timeout, detached)


def _start(
    flags: List[str],
    args: Sequence[str],
    devices: int,
    binary: Optional[Path],
    timeout: float,
    detached: bool = False,
) -> Tuple["subprocess.Popen[bytes]", List[Tuple[str, int]]]:
    """Runs the simulator with ``flags`` and ``args`` and reads the lines of ``devices`` devices."""
    exe = Path(binary) if binary is not None else simulator_binary()
    if not exe.is_file():
        raise FileNotFoundError(f"kestrix-sim binary not found: {exe}")
    # The port goes first so that a --port in `args` wins (the last value of a flag counts).
    command: List[str] = [str(exe), "--port", "0", *flags, *args]
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=detached
    )
    deadline = time.monotonic() + timeout
    places: List[Tuple[str, int]] = []
    for _ in range(devices):
        try:
            banner = _read_banner(process, deadline, timeout)
        except BaseException:
            stop_simulator(process)
            raise
        if not banner.startswith(_BANNER):
            error = _finish(process)
            raise RuntimeError(f"kestrix-sim did not start: {error or banner or 'no output'}")
        host, _, port = banner[len(_BANNER) :].rpartition(":")
        places.append((host, int(port)))
    return process, places


def _finish(process: "subprocess.Popen[bytes]") -> str:
    """Waits for a process that is ending and returns its error output."""
    try:
        _, err = process.communicate(timeout=_STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        _, err = process.communicate()
    return (err or b"").decode("utf-8", "replace").strip()


def stop_simulator(process: "subprocess.Popen[bytes]", timeout: float = _STOP_TIMEOUT) -> int:
    """Stops the simulator the way a user does (SIGTERM) and returns its exit status; one that
    does not exit within ``timeout`` seconds is killed. Safe to call on a process that ended."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        if stream is not None:
            stream.close()
    return process.returncode


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Console entry point: replaces this process with the simulator binary."""
    exe = simulator_binary()
    if not exe.is_file():
        print(f"kestrix-sim: binary not found: {exe}", file=sys.stderr)
        return 1
    args = list(sys.argv[1:] if argv is None else argv)
    os.execv(str(exe), [str(exe), *args])
    return 1  # not reached: execv only returns by raising


if __name__ == "__main__":
    sys.exit(main())
