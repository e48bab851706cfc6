"""An example device class with fast beam steering: how to write yours on top of LobeSteer.

LobeSteer runs the storage sequence and fast parallel mode; a device class supplies the hooks
that reach the device and the five gain / pattern operations. This one keeps the beams it is
given in its BeamPatternManager and writes them to the device in ``storeFastBeamConfig``, an
operation of its own wrapped by ``_require_beam_pattern_setup``.

Wire convention (what a device, or the simulator, must answer)
--------------------------------------------------------------
Every command is one text line ending in CR LF and gets exactly one reply line. A setting
command answers ``OK`` on success or ``ERR <text>`` on failure; a query (ending in ``?``)
answers its value, or ``ERR <text>``. Numbers are decimal; reals are Python ``repr(float)``.
Lines are built by LobeSteer's ``_command_line``, which refuses a command or argument holding
CR, LF or NUL (ValueError, nothing sent): no argument can slip a second command in.

  Hook / operation          Line sent                                        Reply
  _setBeamPatternEnable     BEAM_PATTERN_STORE_EN 1   (0 switches it off)     OK
  (none here)               BEAM_PATTERN_STORE_EN?                           1 or 0
  _eraseBeamPattern         BEAM_PATTERN_ERASE                               OK
  storeFastBeamConfig       BEAM_PATTERN_STORE_TDBS_BEAM <rf_mode>,<beam_id>,<enable 1|0>,
                                                         <com_gain>,<ele_gain> OK
                            BEAM_PATTERN_STORE_FBS_BEAM <beam_id>,<rf_freq>,<theta>,<phi>  OK
  _applyBeamPatternToBFIC   BEAM_PATTERN_APPLY_BFIC                          OK
  _setExtCtrl               ExtCtrl_EN <enable 1|0>,<fbs_mode>   e.g. ExtCtrl_EN 1,3  OK
  _getExtCtrl               ExtCtrl_EN?                                      1 or 0 (enable)
  _reboot                   REBOOT   (the device reloads its stored beams;    OK
                                      the connection stays open)

``user_delay`` (LobeSteer passes 2 to the erase and apply hooks) is the number of seconds this
class waits after the command for the device's storage to settle, multiplied by ``delay_scale``:
1.0 (the default) for hardware, 0 for the simulator, which settles at once.

Run against a device or the simulator: ``python examples/fast_beam_device.py HOST [PORT]``.
"""

import argparse
import math
import time
from collections.abc import Hashable
from typing import Any

from kestrix.KRXCommService import _TCPConn
from kestrix.krxdev.BeamPatternManager import BeamPatternManager
from kestrix.krxdev.LobeSteer import LobeSteer, _command_line, _require_beam_pattern_setup
from kestrix.KRXPublic import FBSMode, RFMode
from kestrix.KRXUtils import RetCode, RetType, _RspType

PATTERN = "pattern"  # manager mode under which the beam patterns are kept; gains use the RFMode


class FastBeamDevice(LobeSteer):
    """A device reached over TCP whose beams are steered from stored patterns."""

    def __init__(
        self, address: str, port: int = 5025, *, connection: Any = None, delay_scale: float = 1.0
    ) -> None:
        self._conn = connection if connection is not None else _TCPConn(address, port)
        self._delay_scale = delay_scale
        self._beams: dict[tuple[Hashable, int], None] = {}  # stored beams, in the order set
        if not self._conn.initConnection():
            raise ConnectionError(f"cannot reach the device at {address}:{port}")

    def close(self) -> None:
        self._conn.closeConnection()

    def _command(self, command: str, argument: str = "") -> RetType:
        line = _command_line(command, argument)  # ValueError before anything is sent
        reply = self._conn.sendCmd((line + "\r\n").encode(), _RspType.RSP_STRING).RetData
        reply = (reply or "").strip()
        if reply.startswith("ERR"):
            return RetType(RetCode.ERROR, f"{line}: {reply[3:].strip()}", reply)
        if line.endswith("?"):
            return RetType(data=reply)
        if reply == "OK":
            return RetType()
        return RetType(RetCode.ERROR, f"{line}: unexpected reply {reply!r}", reply)

    def _cmd(self, hook: str) -> str:
        return self._fbs_cmd_dict()[hook][0]

    def _settle(self, user_delay: float) -> None:
        time.sleep(user_delay * self._delay_scale)

    # Hooks that LobeSteer calls.
    def _setBeamPatternEnable(self, flag: str) -> RetType:
        return self._command(self._cmd("_setBeamPatternEnable"), flag)

    def _eraseBeamPattern(self, user_delay: float = 0) -> RetType:
        ret = self._command(self._cmd("_eraseBeamPattern"))
        self._settle(user_delay)
        return ret

    def _applyBeamPatternToBFIC(self, user_delay: float = 0) -> RetType:
        ret = self._command(self._cmd("_applyBeamPatternToBFIC"))
        self._settle(user_delay)
        return ret

    def _getExtCtrl(self) -> RetType:
        return self._command(self._cmd("_getExtCtrl"))

    def _setExtCtrl(self, text: str) -> RetType:
        return self._command(self._cmd("_setExtCtrl"), text)

    def _reboot(self) -> RetType:
        return self._command("REBOOT")

    # The operations every device class provides.
    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        return BeamPatternManager()

    def _keep(self, mode: Hashable, beam_id: int, **settings: Any) -> RetType:
        self.beam_pattern_mgr.beam(mode, beam_id).settings.update(settings)
        self._beams[(mode, int(beam_id))] = None
        return RetType()

    def _read(self, mode: Hashable, beam_id: int) -> RetType:
        if (mode, int(beam_id)) not in self._beams:
            return RetType(RetCode.ERROR, f"beam {beam_id} has nothing set for {mode}")
        return RetType(data=dict(self.beam_pattern_mgr.beam(mode, beam_id).settings))

    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType:
        return self._read(rf_mode, beam_id)

    def getFastBeamPattern(self, beam_id: int) -> RetType:
        return self._read(PATTERN, beam_id)

    def setFastBeamGain(
        self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType:
        return self._keep(
            rf_mode, beam_id, enable=bool(enable), com_gain=int(com_gain), ele_gain=int(ele_gain)
        )

    def setFastBeamPatternThetaPhi(
        self, beam_id: int, rf_freq: float, theta: float, phi: float
    ) -> RetType:
        return self._keep(
            PATTERN, beam_id, rf_freq=float(rf_freq), theta=float(theta), phi=float(phi)
        )

    def setFastBeamPatternAzEl(
        self, beam_id: int, rf_freq: float, azimuth: float, elevation: float
    ) -> RetType:
        # Azimuth / elevation in degrees to the theta / phi the device stores.
        az, el = math.radians(azimuth), math.radians(elevation)
        theta = math.degrees(math.acos(math.cos(el) * math.cos(az)))
        phi = math.degrees(math.atan2(math.sin(el), math.cos(el) * math.sin(az)))
        return self.setFastBeamPatternThetaPhi(beam_id, rf_freq, theta, phi)

    # This class's own pattern-storing operation: storage is switched on and erased before it
    # runs, and switched off and applied after it, whatever happens.
    @_require_beam_pattern_setup
    def storeFastBeamConfig(self) -> RetType:
        """Write every beam set so far into the device's beam pattern storage."""
        for mode, beam_id in self._beams:
            s = self.beam_pattern_mgr.beam(mode, beam_id).settings
            if mode == PATTERN:
                command = self._cmd("_setBeamPatternStoreFBS")
                values = f"{beam_id},{s['rf_freq']!r},{s['theta']!r},{s['phi']!r}"
            else:
                command = self._cmd("_setBeamPatternStoreTDBS")
                values = f"{int(mode)},{beam_id},{int(s['enable'])},{s['com_gain']},{s['ele_gain']}"
            ret = self._command(command, values)
            if ret.RetCode is not RetCode.OK:
                return ret
        return RetType()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("host")
    parser.add_argument("port", nargs="?", type=int, default=5025)
    parser.add_argument("--delay-scale", type=float, default=0.0, help="1 for hardware")
    args = parser.parse_args()

    device = FastBeamDevice(args.host, args.port, delay_scale=args.delay_scale)
    try:
        for beam_id in range(4):
            device.setFastBeamPatternThetaPhi(beam_id, 28e9, theta=10.0 * beam_id, phi=0.0)
            device.setFastBeamGain(RFMode.TX, beam_id, True, com_gain=3)
        steps = [
            ("storeFastBeamConfig", device.storeFastBeamConfig),
            (
                "setFastParallelMode",
                lambda: device.setFastParallelMode(True, FBSMode.FULL_GAIN_PHASE),
            ),
            ("getFastParallelMode", device.getFastParallelMode),
        ]
        for name, step in steps:
            ret = step()
            print(f"{name}: {ret.RetCode.name} {ret.RetData if ret.RetData is not None else ''}")
            if ret.RetCode is not RetCode.OK:
                raise SystemExit(1)
    finally:
        device.close()


if __name__ == "__main__":
    main()
