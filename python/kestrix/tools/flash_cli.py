"""``kestrix-flash``: FPGA images and updates on the command line.

    kestrix-flash pack IMAGE.bin OUT.tbin [--header FILE] [--dev-type N] [--image-start OFFSET]
    kestrix-flash check [--verbose] IMAGE
    kestrix-flash update IMAGE (--address HOST | --sim) [--port 5025] [--device-type 32]
                         [--skip-init] [--skip-version-check] [--timeout S] [--json]
    kestrix-flash info --address HOST [--port 5025]

``pack`` wraps a raw image into a tbin whose digests the update's header check accepts; ``check``
runs the update's two file checks without a device and tells what it found; ``update`` flashes an
image into a device (or the bundled simulator) and verifies it; ``info`` shows a device's IDs and
versions. Exit status: 0 when the command did its job, 1 when it did not (the image failed its
check, the update failed), 2 for a usage or image error, 3 when the device cannot be reached or
stops answering.

Each command is one ``_register_*`` function that adds its subparser and sets ``func`` to its
``_cmd_*`` handler; a new command adds one of each and lists its registration in ``_COMMANDS``.
"""

import argparse
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence

from kestrix.tools import flash_device

__all__ = ["main", "build_parser"]

_PROG = "kestrix-flash"
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def _flash_module() -> Any:
    # Imported on use, so that --help and usage errors work without the extension module.
    from kestrix import KRXFlash

    return KRXFlash


def _int_argument(text: str) -> int:
    # Decimal (leading zeros allowed) or prefixed: 0x1000, 0o17, 0b101.
    try:
        value = int(text, 10)
    except ValueError:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not _INT64_MIN <= value <= _INT64_MAX:
        raise argparse.ArgumentTypeError(f"out of range: {text}")
    return value


def _offset_argument(text: str) -> int:
    value = _int_argument(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _shown(text: str) -> str:
    """A path as a terminal can show it: bytes of a file name that are not UTF-8 escaped (\\xff)."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _error(command: str, error: BaseException, status: int = 1) -> int:
    print(f"{_PROG} {command}: error: {_shown(str(error))}", file=sys.stderr)
    return status


# --- pack ---------------------------------------------------------------------------------------


def _register_pack(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "pack",
        help="wrap a raw image into a tbin file",
        description="Wrap a raw FPGA image into a tbin file whose header and image digests the "
        "update's header check accepts.",
    )
    parser.add_argument("image", metavar="IMAGE.bin", help="the raw image")
    parser.add_argument("out", metavar="OUT.tbin", help="the tbin file to write")
    parser.add_argument(
        "--header",
        metavar="FILE",
        help='header text region, taken verbatim (default: {"DEV_TYPE": N})',
    )
    parser.add_argument(
        "--dev-type",
        metavar="N",
        type=_int_argument,
        default=32,
        help="device type of the default header (default: 32)",
    )
    parser.add_argument(
        "--image-start",
        metavar="OFFSET",
        type=_offset_argument,
        default=None,
        help="file offset of the image; zero bytes fill any gap (default: right after the header)",
    )
    parser.set_defaults(func=_cmd_pack)


def _cmd_pack(args: argparse.Namespace) -> int:
    try:
        info: Dict[str, Any] = _flash_module()._pack_image(
            args.image,
            args.out,
            header_path=args.header,
            dev_type=args.dev_type,
            image_start=args.image_start,
        )
    except ValueError as error:
        return _error("pack", error, 2)
    except OSError as error:
        # The inputs' faults are usage errors; failing to write the output is not.
        inputs = (args.image, args.header)
        return _error("pack", error, 2 if error.filename in inputs else 1)
    print(
        f"{_shown(args.out)}: tbin, {info['file_size']} bytes, header {info['header_length']} bytes, "
        f"image {info['image_length']} bytes at offset {info['image_start']}, "
        f"device type {info['device_type'] or '(none)'}"
    )
    return 0


# --- check --------------------------------------------------------------------------------------


def _register_check(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "check",
        help="run the update's file checks on an image",
        description="Run the update's file and header checks on an image file, without a "
        "device. Exit status 0 when the image passes, 1 when it does not.",
    )
    parser.add_argument("image", metavar="IMAGE", help="a .bin or .tbin image")
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="also print every message the checks log"
    )
    parser.set_defaults(func=_cmd_check)


def _digest_text(ok: Optional[bool]) -> str:
    if ok is None:
        return "not checked"
    return "ok" if ok else "MISMATCH"


def _report_lines(report: Dict[str, Any]) -> List[str]:
    lines = [f"file: {_shown(report['path'])}", f"kind: {report['kind'] or 'unknown'}"]
    if report["file_size"] is not None:
        lines.append(f"size: {report['file_size']} bytes")
    if report["header_length"] is not None:
        lines.append(f"header length: {report['header_length']} bytes")
        image = f"image length: {report['image_length']} bytes at offset {report['image_start']}"
        if report["image_region_size"] != report["image_length"]:
            image += f" (the file holds {report['image_region_size']} of them)"
        lines.append(image)
    if report["device_type"] is not None:
        lines.append(f"device type: {report['device_type'] or '(empty list)'}")
    if report["header_digest_ok"] is not None:
        lines.append(f"header digest: {_digest_text(report['header_digest_ok'])}")
        lines.append(f"image digest: {_digest_text(report['image_digest_ok'])}")
    lines.append("result: PASS" if report["passed"] else f"result: FAIL: {report['failure']}")
    return lines


def _cmd_check(args: argparse.Namespace) -> int:
    report: Dict[str, Any] = _flash_module()._inspect_image(args.image)
    if args.verbose:
        for level, text in report["messages"]:
            print(f"[{level}] {text}")
    for line in _report_lines(report):
        print(line)
    return 0 if report["passed"] else 1


# --- entry point --------------------------------------------------------------------------------

_COMMANDS: Sequence[Callable[[Any], None]] = (
    _register_pack,
    _register_check,
    flash_device.register,
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_PROG, description="Make, check and flash FPGA images of kestrix devices."
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for register in _COMMANDS:
        register(subparsers)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status (0 done, 1 failed, 2 usage error)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # usage errors and --help
        return stop.code if isinstance(stop.code, int) else 2
    return int(args.func(args))


if __name__ == "__main__":
    sys.exit(main())
