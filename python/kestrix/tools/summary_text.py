"""The end of a fleet in words: a tab-separated line per device, and how many devices got a
verified-signed image when the run required signatures. An update or a verify says what each
device ran before and after; ``info`` says who each device is. No rich here: piped output needs
none."""

from typing import Callable, List, Optional, Sequence, Tuple

from kestrix import _core
from kestrix.fleet import DeviceResult
from kestrix.tools.cli_support import shown

__all__ = [
    "signature_line",
    "summary_header",
    "summary_lines",
    "summary_rows",
    "verified_count",
]

Column = Tuple[str, Callable[[DeviceResult], str]]

_UPDATE_COLUMNS: List[Column] = [
    ("device", lambda r: r.address),
    ("outcome", lambda r: r.outcome),
    ("FPGA before", lambda r: r.fpga_version_before or "-"),
    ("FPGA after", lambda r: r.fpga_version_after or "-"),
    ("seconds", lambda r: f"{r.seconds['total']:.1f}"),
]
_INFO_COLUMNS: List[Column] = [
    ("device", lambda r: r.address),
    ("FPGA ID", lambda r: shown(r.device_id) or "-"),
    ("serial", lambda r: shown(r.serial) or "-"),
    ("control firmware", lambda r: shown(r.control_fw_version) or "-"),
    ("FPGA version", lambda r: shown(r.fpga_version_before) or "-"),
]
_ERROR: Column = ("error", lambda r: shown(r.error))


def _columns(results: Sequence[DeviceResult]) -> List[Column]:
    """The columns of the devices' own facts, the error aside."""
    identify = bool(results) and all(r.mode == "identify" for r in results)
    return _INFO_COLUMNS if identify else _UPDATE_COLUMNS


def summary_header(results: Sequence[DeviceResult], error: bool = True) -> List[str]:
    return [name for name, _ in _columns(results) + ([_ERROR] if error else [])]


def summary_rows(results: Sequence[DeviceResult], error: bool = True) -> List[List[str]]:
    """A row per device; `error` adds the cause as the last column."""
    columns = _columns(results) + ([_ERROR] if error else [])
    return [[cell(r) for _, cell in columns] for r in results]


def verified_count(results: Sequence[DeviceResult]) -> Optional[int]:
    """How many devices succeeded with an image whose signature verified under a trusted key;
    None when the run required no signature (then no image is verified)."""
    if not any(r.signature_verified for r in results):
        return None
    return sum(1 for r in results if r.ok and r.signature_verified)


def signature_line(results: Sequence[DeviceResult]) -> Optional[str]:
    """The summary's word on signatures, when the run required them."""
    count = verified_count(results)
    if count is None:
        return None
    key = next(r.signing_key_id for r in results if r.signing_key_id is not None)
    return (
        f"signature: {count} of {len(results)} devices got the image signed by "
        f"{_core.short_key_id(key)}, verified"
    )


def summary_lines(results: Sequence[DeviceResult]) -> List[str]:
    """A tab-separated line per device, header first, then the signature line (not
    tab-separated) when signatures were required."""
    rows = [summary_header(results), *summary_rows(results)]
    lines = ["\t".join(row) for row in rows]
    signed = signature_line(results)
    return lines if signed is None else [*lines, signed]
