"""Shared fixtures: ``simulator`` starts kestrix-sim processes for a test.

The simulator binary is the one installed with the package (``kestrix/bin/kestrix-sim``) unless
``KESTRIX_SIM_BINARY`` names another.
"""

import subprocess
from typing import Callable, Iterator, List, NamedTuple

import pytest

from kestrix.tools.sim_cli import simulator_binary, start_simulator, stop_simulator


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
