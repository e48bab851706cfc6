"""The example device class steering beams on the simulator over TCP."""

import json
import sys
from pathlib import Path

import pytest

from kestrix.KRXPublic import FBSMode, RFMode
from kestrix.KRXUtils import RetCode

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from fast_beam_device import FastBeamDevice  # noqa: E402


def stats(dev: FastBeamDevice) -> dict:
    # The simulator serves one client at a time: ask on the device's own connection.
    return json.loads(dev._command("SIM_STATS?").RetData)


@pytest.fixture
def device(simulator):
    sim = simulator()
    dev = FastBeamDevice(sim.host, sim.port, delay_scale=0.0)
    yield sim, dev
    dev.close()


def test_fast_parallel_mode_round_trip(device):
    _, dev = device
    assert dev.getFastParallelMode().RetData is False
    assert dev.setFastParallelMode(True, FBSMode.FULL_GAIN_PHASE).RetCode is RetCode.OK
    assert dev.external_control_enabled is True
    assert dev.getFastParallelMode().RetData is True
    assert dev.setFastParallelMode(toEnable=False).RetCode is RetCode.OK
    assert dev.getFastParallelMode().RetData is False


def test_store_and_sync_leave_storage_switched_off(device):
    _, dev = device
    for beam_id in range(3):
        dev.setFastBeamPatternThetaPhi(beam_id, 28e9, 5.0 * beam_id, 0.0)
        dev.setFastBeamGain(RFMode.RX, beam_id, True)
    assert dev.eraseFastBeamConfig().RetCode is RetCode.OK
    assert dev.storeFastBeamConfig().RetCode is RetCode.OK
    assert stats(dev)["stored_beams"] == 6
    assert dev.syncFastBeamConfig().RetCode is RetCode.OK
    counters = stats(dev)
    assert counters["reboots"] == 1
    assert counters["stored_beams"] == 0  # sync erases the storage before the reboot
    reply = dev._command("BEAM_PATTERN_STORE_EN?")
    assert reply.RetData == "0"
