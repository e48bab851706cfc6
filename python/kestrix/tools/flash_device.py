"""The device-facing commands of ``kestrix-flash``: ``update`` and ``info``.

Exit status: 0 success; 1 the update or its check failed; 2 usage or image error; 3 the device
cannot be reached or stops answering.
"""

import argparse
import contextlib
import json
import logging
import sys
from typing import Any, Callable, Dict, Iterator, Optional, TextIO, Tuple

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3

# Messages of processFpgaUpdate that mean the image, not the device, is at fault.
_IMAGE_ERRORS = (
    "FPGA image path is not provided.",
    "FPGA update file check failed.",
    "FPGA image header check failed.",
    "FPGA image is made for ",
)
_DEFAULT_PORT = 5025
_DEFAULT_TIMEOUT = 10.0


def register(subparsers: Any) -> None:
    """Adds ``update`` and ``info`` to the tool's subcommands."""
    update = subparsers.add_parser("update", help="flash an image into a device's FPGA")
    update.add_argument("image", help="the .bin or .tbin image")
    where = update.add_mutually_exclusive_group(required=True)
    where.add_argument("--address", help="the device's host name or IP address")
    where.add_argument("--sim", action="store_true",
                       help="update the bundled simulator, started on a free port")
    update.add_argument("--port", type=int, default=_DEFAULT_PORT)
    update.add_argument("--device-type", type=int, default=32)
    update.add_argument("--skip-init", action="store_true", help="do not run initFpga first")
    update.add_argument("--skip-version-check", action="store_true",
                        help="accept an FPGA version below the minimum")
    update.add_argument("--timeout", type=float, default=_DEFAULT_TIMEOUT,
                        help="seconds to wait for each reply (default %(default)s)")
    update.add_argument("--json", action="store_true",
                        help="print one JSON object with the result on standard output")
    update.set_defaults(func=_cmd_update)

    info = subparsers.add_parser("info", help="show a device's IDs and versions")
    info.add_argument("--address", required=True)
    info.add_argument("--port", type=int, default=_DEFAULT_PORT)
    info.add_argument("--timeout", type=float, default=_DEFAULT_TIMEOUT)
    info.set_defaults(func=_cmd_info)


class _ProgressLines:
    """Stands in for standard output while the library shows progress on a pipe or a file: the
    carriage-return display is dropped and a line is written for every tenth of each phase."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._shown: Dict[str, int] = {}

    def write(self, text: str) -> int:
        if not text.startswith("\r") and text != "\n":
            self._out.write(text)
        return len(text)

    def flush(self) -> None:
        self._out.flush()

    def report(self, stage: str, done: int, total: int) -> None:
        if total <= 0:
            return
        tenth = done * 10 // total
        if tenth > self._shown.get(stage, -1):
            self._shown[stage] = tenth
            self._out.write(f"{stage}: {done}/{total} bytes ({tenth * 10}%)\n")
            self._out.flush()


@contextlib.contextmanager
def _output(as_json: bool) -> Iterator[Tuple[TextIO, Optional[Callable[[str, int, int], None]]]]:
    """Where the update's display goes, and the progress callback to register (if any)."""
    display_to = sys.stderr if as_json else sys.stdout
    if display_to.isatty():
        with contextlib.redirect_stdout(display_to):
            yield display_to, None
        return
    lines = _ProgressLines(display_to)
    with contextlib.redirect_stdout(lines):  # type: ignore[type-var]
        yield display_to, lines.report


def _configure_logging(as_json: bool) -> None:
    # Before KRXFlash loads: its own set-up then leaves this one alone.
    logging.basicConfig(
        level=logging.INFO,
        format="%(asctime)s - %(name)s [%(levelname)s] %(message)s",
        stream=sys.stderr if as_json else sys.stdout,
    )


def _connect(address: str, port: int, timeout: float) -> Any:
    from kestrix.KRXCommService import _TCPConn

    conn = _TCPConn(address, port, connect_timeout=min(timeout, 5.0), timeout=timeout)
    if not conn.initConnection():
        raise ConnectionError(f"Cannot connect to {address}:{port}")
    return conn


def _update(args: argparse.Namespace, address: str, port: int) -> Tuple[int, Dict[str, Any]]:
    from kestrix.KRXFlash import FpgaTool
    from kestrix.KRXUtils import RetCode

    result: Dict[str, Any] = {"success": False, "error_message": "", "fw_version": ""}
    try:
        conn = _connect(address, port, args.timeout)
    except (ConnectionError, TimeoutError, OSError) as error:
        result["error_message"] = str(error)
        return EXIT_UNREACHABLE, result
    try:
        tool = FpgaTool(connection=conn)
        if not args.skip_init:
            ret = tool.initFpga(args.device_type, disable_fw_check=args.skip_version_check)
            if ret.RetCode is not RetCode.OK:
                result["error_message"] = ret.RetMsg
                return (EXIT_UNREACHABLE if ret.RetCode is RetCode.ERROR else EXIT_FAILED), result
        with _output(args.json) as (_, report):
            if report is not None:
                tool.set_progress_callback(report)
            ret = tool.processFpgaUpdate(args.image, args.device_type)
        if ret.RetCode is RetCode.OK:
            result.update(ret.RetData)
            return EXIT_OK, result
        result["error_message"] = ret.RetMsg
        image_error = ret.RetMsg.startswith(_IMAGE_ERRORS)
        return (EXIT_USAGE if image_error else EXIT_FAILED), result
    except (ConnectionError, TimeoutError, UnicodeDecodeError) as error:
        result["error_message"] = f"{type(error).__name__}: {error}"
        return EXIT_UNREACHABLE, result
    except Exception as error:  # the update stopped: report it, never as a success
        result["error_message"] = f"{type(error).__name__}: {error}"
        return EXIT_FAILED, result
    finally:
        conn.closeConnection()


def _check_image(args: argparse.Namespace) -> Optional[str]:
    """Why the image cannot go into a device of the given type, found without a device."""
    from kestrix.KRXFlash import _inspect_image

    report: Dict[str, Any] = _inspect_image(args.image, device_type=args.device_type)
    return None if report["passed"] else str(report["failure"])


def _cmd_update(args: argparse.Namespace) -> int:
    _configure_logging(args.json)
    failure = _check_image(args)
    if failure is not None:
        status, result = EXIT_USAGE, {"success": False, "error_message": failure, "fw_version": ""}
    elif args.sim:
        from kestrix.tools.sim_cli import start_simulator, stop_simulator

        process, host, port = start_simulator()
        try:
            status, result = _update(args, host, port)
        finally:
            stop_simulator(process)
    else:
        status, result = _update(args, args.address, args.port)
    if args.json:
        print(json.dumps({"exit_status": status, **result}))
    elif status == EXIT_OK:
        print(f"FPGA update succeeded; FPGA version now: {result['fw_version'] or '(not read)'}")
    else:
        print(f"FPGA update FAILED: {result['error_message']}", file=sys.stderr)
    return status


def _cmd_info(args: argparse.Namespace) -> int:
    _configure_logging(False)
    from kestrix.KRXFlash import FpgaTool

    try:
        conn = _connect(args.address, args.port, args.timeout)
    except (ConnectionError, TimeoutError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_UNREACHABLE
    try:
        tool = FpgaTool(connection=conn)
        rows = [
            ("FPGA ID", tool._fpgaGetId()),
            ("FPGA version", tool._fpgaGetVersion()),
            ("Control firmware version", tool._fpgaGetControlFwVer()),
            ("Serial number", tool._fpgaGetSerialNumber()),
        ]
    except UnicodeDecodeError as error:
        print(f"error: the device answered with bytes that are not text: {error.object!r}",
              file=sys.stderr)
        return EXIT_UNREACHABLE
    except (ConnectionError, TimeoutError) as error:
        print(f"error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_UNREACHABLE
    finally:
        conn.closeConnection()
    for name, value in rows:
        print(f"{name + ':':<26}{value}")
    return EXIT_OK
