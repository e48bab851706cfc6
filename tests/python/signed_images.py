"""Helpers of the signed-image tests: key pairs, a versioned tbin and the simulator's counters."""

import json
from pathlib import Path
from typing import Any, Dict

from kestrix import KRXFlash, _core
from kestrix.KRXCommService import _TCPConn
from kestrix.KRXUtils import _RspType


def make_keys(folder: Path) -> Path:
    """release.key and other.key in `folder`, each with its .pub."""
    for name in ("release.key", "other.key"):
        _core.generate_key(folder / name)
    return folder


def key_id(keys: Path, name: str) -> str:
    return _core.public_key_id(keys / f"{name}.key.pub")


def packed(folder: Path, version: str = "0.3.0.0", name: str = "fpga.tbin") -> Path:
    """A tbin for device type 32 declaring `version`, around the same 2048 bytes each time."""
    raw = folder / "fpga.bin"
    raw.write_bytes(bytes(range(256)) * 8)
    out = folder / name
    KRXFlash._pack_image(str(raw), str(out), fpga_version=version)
    return out


def sim_stats(device: str) -> Dict[str, Any]:
    """The simulated device's counters (commands, erase, program, read, ...); the query itself
    is not counted."""
    host, port = device.rsplit(":", 1)
    conn = _TCPConn(host, int(port))
    assert conn.initConnection()
    try:
        return dict(json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData))
    finally:
        conn.closeConnection()
