"""The demo: pack an FPGA image, check it, flash the simulator with it, then steer beams on a
simulated device with the example device class. Run by `make demo`."""

import os
import random
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

from kestrix.KRXPublic import FBSMode, RFMode  # noqa: E402
from kestrix.KRXUtils import RetCode  # noqa: E402
from kestrix.tools.sim_cli import start_simulator, stop_simulator  # noqa: E402

from fast_beam_device import FastBeamDevice  # noqa: E402


def step(title: str) -> None:
    print(f"\n=== {title}", flush=True)


def flash_tool(*args: str) -> None:
    tool = Path(sys.executable).parent / "kestrix-flash"
    command = [str(tool), *args]
    print("$ kestrix-flash " + " ".join(args), flush=True)
    status = subprocess.call(command)
    if status != 0:
        raise SystemExit(f"kestrix-flash {args[0]} exited with {status}")


def fast_beam() -> None:
    process, host, port = start_simulator()
    try:
        device = FastBeamDevice(host, port, delay_scale=0.0)
        try:
            for beam_id in range(4):
                device.setFastBeamPatternThetaPhi(beam_id, 28e9, theta=10.0 * beam_id, phi=0.0)
                device.setFastBeamGain(RFMode.TX, beam_id, True, com_gain=3)
            for name, call in [
                (
                    "setFastParallelMode(True)",
                    lambda: device.setFastParallelMode(True, FBSMode.FULL_GAIN_PHASE),
                ),
                ("getFastParallelMode()", device.getFastParallelMode),
                ("eraseFastBeamConfig()", device.eraseFastBeamConfig),
                ("storeFastBeamConfig()", device.storeFastBeamConfig),
                ("syncFastBeamConfig()", device.syncFastBeamConfig),
            ]:
                ret = call()
                data = "" if ret.RetData is None else f" -> {ret.RetData}"
                print(f"{name}: {ret.RetCode.name}{data}", flush=True)
                if ret.RetCode is not RetCode.OK:
                    raise SystemExit(f"{name} failed: {ret.RetMsg}")
        finally:
            device.close()
    finally:
        stop_simulator(process)


def main() -> int:
    work = ROOT / "build" / "demo"
    work.mkdir(parents=True, exist_ok=True)
    image = work / "demo_fpga.bin"
    image.write_bytes(
        random.Random(2026).randbytes(48 * 1024 + 5)
        if hasattr(random.Random, "randbytes")
        else os.urandom(48 * 1024 + 5)
    )
    packed = work / "demo_fpga.tbin"

    step("Pack a demo image into a signed container")
    flash_tool("pack", str(image), str(packed), "--dev-type", "32")
    step("Check it offline")
    flash_tool("check", str(packed))
    step("Flash it into the bundled device simulator (initialise, erase, write, verify)")
    flash_tool("update", str(packed), "--sim")
    step("Fast beam steering on a simulated device")
    fast_beam()
    print("\nDemo finished: the update verified and every fast beam step succeeded.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
