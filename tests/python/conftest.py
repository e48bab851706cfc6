"""Shared fixtures: ``simulator``, ``simulated_devices`` and ``devices`` start kestrix-sim
processes for a test and stop them when it ends.

The simulator binary is the one installed with the package (``kestrix/bin/kestrix-sim``) unless
``KESTRIX_SIM_BINARY`` names another.
"""

import subprocess
import time
from typing import Callable, Iterator, List, NamedTuple, Tuple

import pytest

from kestrix.tools.sim_cli import (
    simulator_binary,
    start_simulator,
    start_simulators,
    stop_simulator,
)


class Simulator(NamedTuple):
    """A running simulator: where it listens and its process."""

    host: str
    port: int
    process: "subprocess.Popen[bytes]"


@pytest.fixture
def simulator() -> Iterator[Callable[..., Simulator]]:
    """Factory: ``simulator("--refuse-blocks", "2")`` starts one on a free port with those flags
    and returns its ``Simulator``; every one started is stopped when the test ends."""
    if not simulator_binary().is_file():
        pytest.fail(f"kestrix-sim binary not found: {simulator_binary()}")
    started: List[subprocess.Popen[bytes]] = []

    def start(*flags: str) -> Simulator:
        process, host, port = start_simulator(*flags)
        started.append(process)
        return Simulator(host, port, process)

    yield start
    for process in started:
        stop_simulator(process)


@pytest.fixture
def simulated_devices() -> Iterator[Callable[..., List[Tuple[str, int]]]]:
    """Factory: ``simulated_devices(3, "--latency-us", "300")`` starts that many devices in one
    kestrix-sim process and returns where each listens, as (host, port). Each process gets serial
    numbers of its own (unless ``flags`` name one): a fleet takes two devices that answer with
    one serial number for the same device."""
    started: List[subprocess.Popen[bytes]] = []

    def start(count: int, *flags: str) -> List[Tuple[str, int]]:
        if "--serial" not in flags:
            flags = (*flags, "--serial", f"SIM-{len(started) + 1}")
        process, where = start_simulators(count, *flags)
        started.append(process)
        return where

    yield start
    for process in started:
        stop_simulator(process)


@pytest.fixture
def devices(simulated_devices: Callable[..., List[Tuple[str, int]]]) -> Callable[..., List[str]]:
    """Like ``simulated_devices``, with each device as a "host:port" text."""

    def start(count: int, *flags: str) -> List[str]:
        return [f"{host}:{port}" for host, port in simulated_devices(count, *flags)]

    return start


@pytest.fixture
def no_reinit_wait(monkeypatch: pytest.MonkeyPatch) -> List[float]:
    """time.sleep records the seconds asked for instead of sleeping (the device's reload wait after
    initialisation is 3 s); returns the list of them. Tests that need a real pause keep a
    reference to the real time.sleep taken before this fixture runs."""
    waits: List[float] = []
    monkeypatch.setattr(time, "sleep", waits.append)
    return waits
