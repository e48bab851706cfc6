"""The end of a fleet in words: a tab-separated line per device, and how many devices got a
verified-signed image when the run required signatures. No rich here: piped output needs none."""

from typing import List, Optional, Sequence

from kestrix import _core
from kestrix.fleet import DeviceResult
from kestrix.tools.cli_support import shown

__all__ = ["SUMMARY_HEADER", "signature_line", "summary_lines", "summary_rows", "verified_count"]

SUMMARY_HEADER = ["device", "outcome", "FPGA before", "FPGA after", "seconds", "error"]


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


def summary_rows(results: Sequence[DeviceResult]) -> List[List[str]]:
    rows = []
    for r in results:
        before = r.fpga_version_before or "-"
        after = r.fpga_version_after or "-"
        rows.append(
            [r.address, r.outcome, before, after, f"{r.seconds['total']:.1f}", shown(r.error)]
        )
    return rows


def summary_lines(results: Sequence[DeviceResult]) -> List[str]:
    """A tab-separated line per device, header first, then the signature line (not
    tab-separated) when signatures were required."""
    lines = ["\t".join(row) for row in [SUMMARY_HEADER, *summary_rows(results)]]
    signed = signature_line(results)
    return lines if signed is None else [*lines, signed]
