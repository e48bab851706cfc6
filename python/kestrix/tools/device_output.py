"""What ``kestrix-flash update``, ``verify`` and ``info`` print when they are done: a line per
device (or, for ``info``, its IDs and versions), a summary for a fleet, or JSON lines. Every word
about a device's outcome comes from its result; nothing here decides an outcome."""

import argparse
import sys
from typing import Any, Dict, List, Sequence, Tuple

from kestrix import _core
from kestrix.fleet import DeviceResult, Outcome
from kestrix.tools.cli_support import exit_status, print_json, shown
from kestrix.tools.summary_text import summary_lines, verified_count

__all__ = ["report_devices", "report_offline", "result_json"]

_VERBS = {"update": "FPGA update", "verify": "FPGA verify", "identify": "Device info"}


def result_json(result: DeviceResult, status: int) -> Dict[str, Any]:
    return {
        "exit_status": status,
        "success": result.ok,
        "error_message": result.error,
        "fw_version": result.fpga_version_after,
        **result.record,
    }


def _running_version(result: DeviceResult) -> str:
    """What is known of the version the FPGA runs, against the image's."""
    if not result.fpga_version_after:
        return "the device does not report the FPGA version it runs"
    if result.image_version is None:
        return (
            f"it runs FPGA version {result.fpga_version_after}, not checked against the image, "
            "which declares no version"
        )
    return f"it runs the image's FPGA version {result.fpga_version_after}"


def _signed(result: DeviceResult) -> str:
    if not result.signature_verified or result.signing_key_id is None:
        return ""
    return f"; image signed by {_core.short_key_id(result.signing_key_id)}, verified"


def _result_line(args: argparse.Namespace, result: DeviceResult) -> None:
    verb = _VERBS[args.mode]
    if result.outcome_kind is Outcome.SKIPPED:
        print(f"{verb} skipped: {result.address}: {shown(result.error)}", file=sys.stderr)
    elif not result.ok:
        print(f"{verb} FAILED: {result.address}: {shown(result.error)}", file=sys.stderr)
    elif result.outcome_kind is Outcome.UNCHANGED:
        print(
            f"{verb} skipped: {result.address} already holds the image; "
            f"{_running_version(result)}{_signed(result)}"
        )
    elif result.outcome_kind is Outcome.RELOADED:
        print(
            f"{verb} succeeded: {result.address} held the image but ran FPGA version "
            f"{result.fpga_version_before or '(not read)'}; reloaded, "
            f"{_running_version(result)}{_signed(result)}"
        )
    elif result.outcome_kind is Outcome.IDENTIFIED:
        print(f"{verb}: {result.address}: {_identity(result)}")
    elif result.outcome_kind is Outcome.VERIFIED:
        print(
            f"{verb} succeeded: {result.address} holds the image; "
            f"{_running_version(result)}{_signed(result)}"
        )
    else:
        before = result.fpga_version_before or "(not read)"
        after = result.fpga_version_after or "(not read)"
        print(
            f"{verb} succeeded: {result.address} now runs FPGA version {after} (was {before}); "
            f"{result.bytes_written} bytes in {result.seconds['total']:.1f} s{_signed(result)}"
        )


def _identity_rows(result: DeviceResult) -> List[Tuple[str, str]]:
    return [
        ("FPGA ID", shown(result.device_id)),
        ("FPGA version", shown(result.fpga_version_before)),
        ("Control firmware version", shown(result.control_fw_version)),
        ("Serial number", shown(result.serial)),
    ]


def _identity(result: DeviceResult) -> str:
    """Who a device is, on one line."""
    return ", ".join(f"{name} {value or '-'}" for name, value in _identity_rows(result))


def _info_lines(result: DeviceResult) -> None:
    for name, value in _identity_rows(result):
        print(f"{name + ':':<26}{value}")


def _report_fleet(args: argparse.Namespace, results: List[DeviceResult], status: int) -> None:
    if args.json:
        for result in results:
            print_json(result_json(result, exit_status(result.failure)))
        counts: Dict[str, int] = {}
        for result in results:
            counts[result.outcome] = counts.get(result.outcome, 0) + 1
        summary: Dict[str, Any] = {"devices": len(results), "exit_status": status, **counts}
        verified = verified_count(results)
        if verified is not None:
            summary["signature_verified"] = verified
        print_json({"summary": summary})
        return
    if sys.stdout.isatty():
        from rich.console import Console

        from kestrix.tools import fleet_summary

        title = "Device info" if args.mode == "identify" else f"{_VERBS[args.mode]} summary"
        Console().print(fleet_summary.summary_table(results, title))
    else:
        for line in summary_lines(results):
            print(line)


def report_devices(args: argparse.Namespace, results: Sequence[DeviceResult], status: int) -> None:
    """The end of a run: one device's line, or a fleet's summary (JSON with --json); with
    --quiet, a result line per device, whatever their number."""
    if len(results) == 1 and args.json:
        print_json(result_json(results[0], status))
    elif len(results) == 1 and args.mode == "identify" and results[0].ok and not args.quiet:
        _info_lines(results[0])
    elif len(results) == 1 or (args.quiet and not args.json):
        for result in results:
            _result_line(args, result)
    else:
        _report_fleet(args, list(results), status)


def report_offline(args: argparse.Namespace, failure: Any, message: str) -> int:
    """A fault found before any device was touched (the image, the device type)."""
    status = exit_status(failure)
    if args.json:
        print_json(
            {
                "exit_status": status,
                "success": False,
                "error_message": message,
                "fw_version": "",
                "failure": failure.label,
            }
        )
    else:
        print(f"{_VERBS[args.mode]} FAILED: {shown(message)}", file=sys.stderr)
    return status
