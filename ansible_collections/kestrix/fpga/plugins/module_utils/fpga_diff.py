"""What kestrix.fpga.fpga_update shows in diff mode: the FPGA version the device runs and the
digest of the image its flash holds, before the task and after it (in check mode: after the update
the task would run). Only the device's result says what is shown; nothing here talks to a
device."""

from typing import TYPE_CHECKING, Dict, Optional

if TYPE_CHECKING:
    from kestrix.fleet import DeviceResult

# How the flash's content reads when it is not the image, or was never compared with it.
ANOTHER_IMAGE = "(another image)"
NOT_READ = "(not read)"
INCOMPLETE = "(incomplete: run the update again)"

# Outcomes after which the flash held the image before the task did anything.
_HELD = ("unchanged", "reloaded", "verified")


def _state(version: str, image: str) -> str:
    return f"fpga_version: {version or NOT_READ}\nflash: {image}\n"


def _held_before(result: "DeviceResult") -> Optional[bool]:
    """Whether the flash held the image before the task: None when it was never compared."""
    if result.outcome in _HELD or result.failure.label == "version-mismatch":
        return True
    if result.outcome == "updated" or result.flash_touched:
        return False
    return False if result.failure.label == "verify-failed" else None


def update_diff(result: "DeviceResult", check_mode: bool, changed: bool) -> Dict[str, str]:
    """The task's ``diff``: before and after, as lines of text, with the device as header."""
    held = _held_before(result)
    flash = NOT_READ if held is None else (result.image_sha256 if held else ANOTHER_IMAGE)
    before = _state(result.fpga_version_before, flash)
    if not changed:
        after = before
    elif check_mode:
        # What the update would leave: the image, and the version it declares when it does.
        after = _state(result.image_version or "(the image declares none)", result.image_sha256)
    else:
        flash = result.image_sha256 if result.ok else INCOMPLETE
        after = _state(result.fpga_version_after, flash)
    return {
        "before_header": f"{result.address} before",
        "after_header": f"{result.address} after",
        "before": before,
        "after": after,
    }
