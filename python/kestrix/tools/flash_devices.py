"""The device-facing commands of ``kestrix-flash``: ``update``, ``verify`` and ``info``, for one
device or a fleet.

Every command checks what it can without a device first (the image, the device type), so input
errors never touch one. Devices are named with ``--address`` (repeatable, ``host`` or
``host:port``), ``--hosts FILE`` (one per line, ``#`` comments) or ``--sim [N]`` (N simulated
devices). The work is the package's fleet runner (``kestrix.fleet``); this module only turns
arguments into a call and results into output.
"""

import argparse
import contextlib
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

from kestrix import _core
from kestrix._core import Failure
from kestrix.fleet import DeviceResult, FleetInterrupted, RecordError, update_fleet
from kestrix.tools.cli_support import (
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_USAGE,
    add_device_type,
    add_output_options,
    add_port,
    cli_logging,
    count_argument,
    error_line,
    exit_status,
    positive_argument,
    print_json,
    shown,
)

_DEFAULT_TIMEOUT = 10.0
_DEFAULT_JOBS = 8
# A hosts file is a list of addresses, not a data file: refuse what cannot be one.
_MAX_HOSTS_FILE = 1 << 20


def register(subparsers: Any) -> None:
    """Adds ``update``, ``verify`` and ``info`` to the tool's subcommands."""
    update = subparsers.add_parser(
        "update",
        help="flash an image into the FPGA of one device or many",
        description="Check the image, then erase, write and verify the FPGA configuration flash "
        "of each device and make it reload. Several devices are updated at once. Exit status: 0 "
        "done, 1 an update or its verification failed, 2 usage or image error, 3 a device could "
        "not be reached or stopped answering, 130 interrupted; for a fleet, the highest of its "
        "devices'.",
    )
    _image_and_devices(update)
    update.add_argument(
        "--skip-identical",
        action="store_true",
        help="verify first and leave devices that already hold the image alone (default: off)",
    )
    _update_options(update)
    update.set_defaults(func=_cmd_devices, mode="update")

    verify = subparsers.add_parser(
        "verify",
        help="check that devices hold an image, without writing",
        description="Read back the image's length from each device's configuration flash and "
        "compare it with the image; nothing is erased or written. Exit status 0 when every "
        "device holds the image, 1 when one does not (naming the first differing byte offset).",
    )
    _image_and_devices(verify)
    _update_options(verify)
    verify.set_defaults(func=_cmd_devices, mode="verify")

    info = subparsers.add_parser(
        "info",
        help="show the IDs and versions of one device or many",
        description="Ask each device for its FPGA ID, FPGA version, control firmware version "
        "and serial number. Nothing is changed on the device.",
    )
    _devices(info)
    add_device_type(info, "device type, which says how its FPGA version is read")
    _timeouts(info)
    add_output_options(info)
    info.set_defaults(func=_cmd_devices, mode="identify", init=False, skip_init=True)


def _devices(parser: argparse.ArgumentParser) -> None:
    where = parser.add_argument_group("devices (one of these is required)")
    where.add_argument(
        "--address",
        action="append",
        default=[],
        metavar="HOST[:PORT]",
        help="a device's host name or IP address; give it once per device",
    )
    where.add_argument(
        "--hosts",
        metavar="FILE",
        help="a file of device addresses, one per line (# starts a comment)",
    )
    where.add_argument(
        "--sim",
        nargs="?",
        const=1,
        type=count_argument(),
        metavar="N",
        help="N devices of the bundled simulator, started on free ports (N: 1)",
    )
    add_port(parser)
    parser.add_argument(
        "--jobs",
        type=count_argument(_core.MAX_JOBS),
        default=_DEFAULT_JOBS,
        metavar="N",
        help="devices worked on at once (default: %(default)s)",
    )


def _timeouts(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--timeout",
        type=positive_argument,
        default=_DEFAULT_TIMEOUT,
        metavar="S",
        help="seconds to wait for each reply (default: %(default)s)",
    )


def _image_and_devices(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("image", metavar="IMAGE", help="the .bin or .tbin image")
    _devices(parser)


def _update_options(parser: argparse.ArgumentParser) -> None:
    add_device_type(parser, "device type of the devices")
    parser.add_argument(
        "--skip-init",
        action="store_true",
        help="do not initialise the FPGA controller first (default: initialise)",
    )
    parser.add_argument(
        "--skip-version-check",
        action="store_true",
        help="accept an FPGA version below the minimum (default: refuse it)",
    )
    _timeouts(parser)
    parser.add_argument(
        "--window",
        type=count_argument(_core.MAX_WINDOW),
        default=1,
        metavar="W",
        help="program and read commands kept in flight at once; more than 1 overlaps the "
        "network's delays (default: %(default)s, one at a time)",
    )
    parser.add_argument(
        "--record",
        metavar="FILE",
        help="append one JSON line per device to FILE, an audit record (default: none)",
    )
    add_output_options(parser)


def _read_hosts(path: str) -> List[str]:
    with open(path, "rb") as file:
        data = file.read(_MAX_HOSTS_FILE + 1)
    if len(data) > _MAX_HOSTS_FILE:
        raise ValueError(f"{path}: larger than {_MAX_HOSTS_FILE} bytes")
    hosts = []
    for line in data.decode("utf-8").splitlines():
        text = line.split("#", 1)[0].strip()
        if text:
            hosts.append(text)
    return hosts


def _addresses(args: argparse.Namespace) -> List[str]:
    """The devices named by --address and --hosts, as "host:port"; ValueError or OSError when one
    cannot be read or is not an address."""
    texts = list(args.address)
    if args.hosts is not None:
        texts += _read_hosts(args.hosts)
    devices = []
    for text in texts:
        host, port = _core.parse_device_address(text, args.port)
        devices.append(f"[{host}]:{port}" if ":" in host else f"{host}:{port}")
    return devices


class _CannotStart(Exception):
    """Nothing ran: the simulated devices of --sim or the record file could not be had."""


@contextlib.contextmanager
def _simulated(count: Optional[int]) -> Iterator[Optional[List[str]]]:
    if count is None:
        yield None
        return
    from kestrix.tools.sim_cli import start_simulators, stop_simulator

    try:
        process, where = start_simulators(count)
    except (OSError, RuntimeError) as error:  # TimeoutError is an OSError
        raise _CannotStart(str(error)) from error
    try:
        yield [f"{host}:{port}" for host, port in where]
    finally:
        stop_simulator(process)


def _check(args: argparse.Namespace) -> Optional[Tuple[Failure, str]]:
    """Why the command cannot run on any device, found without one."""
    if args.mode == "identify":
        return None
    checked: Optional[Tuple[Failure, str]] = _core.check_offline(
        args.image,
        device_type=args.device_type,
        init=not args.skip_init,
        mode=args.mode,
    )
    return checked


def _mode(args: argparse.Namespace) -> str:
    if args.mode == "update" and getattr(args, "skip_identical", False):
        return "update-unless-identical"
    mode: str = args.mode
    return mode


def _run(
    args: argparse.Namespace, devices: List[str], display: TextIO
) -> Tuple[List[DeviceResult], bool, Optional[OSError]]:
    """Runs the fleet with a view on `display`; returns the results, whether Ctrl-C stopped it,
    and the error a write to the record file met (the devices ran to their ends regardless).
    Raises _CannotStart when the record file cannot be opened."""
    # The views import rich, which takes longer to load than `check` takes to run: only the
    # commands that talk to devices load it.
    from kestrix.tools import progress_view

    view = progress_view.make_view(display, devices, args.quiet)
    try:
        results = update_fleet(
            getattr(args, "image", ""),
            devices,
            device_type=args.device_type,
            jobs=args.jobs,
            init=not args.skip_init,
            check_version=not getattr(args, "skip_version_check", False),
            mode=_mode(args),
            timeout=args.timeout,
            connect_timeout=min(args.timeout, 5.0),
            window=getattr(args, "window", 1),
            progress=view.progress,
            on_result=view.finished,
            record=getattr(args, "record", None),
        )
        return results, False, None
    except FleetInterrupted as stop:
        return stop.results, True, None
    except RecordError as error:
        return error.results, False, error
    except OSError as error:
        if error.filename is None or error.filename != getattr(args, "record", None):
            raise
        raise _CannotStart(str(error)) from error
    finally:
        view.close()


def _fleet_status(results: Sequence[DeviceResult], interrupted: bool) -> int:
    if interrupted:
        return EXIT_INTERRUPTED
    return max((exit_status(r.failure) for r in results), default=EXIT_OK)


# --- output -------------------------------------------------------------------------------------

_VERBS = {"update": "FPGA update", "verify": "FPGA verify", "identify": "Device info"}


def _result_json(result: DeviceResult, status: int) -> Dict[str, Any]:
    return {
        "exit_status": status,
        "success": result.ok,
        "error_message": result.error,
        "fw_version": result.fpga_version_after,
        **result.record,
    }


def _result_line(args: argparse.Namespace, result: DeviceResult) -> None:
    verb = _VERBS[args.mode]
    if not result.ok:
        print(f"{verb} FAILED: {result.address}: {shown(result.error)}", file=sys.stderr)
    elif result.outcome == "unchanged":
        print(f"{verb} skipped: {result.address} already holds the image")
    elif result.outcome == "verified":
        print(f"{verb} succeeded: {result.address} holds the image")
    else:
        before = result.fpga_version_before or "(not read)"
        after = result.fpga_version_after or "(not read)"
        print(
            f"{verb} succeeded: {result.address} now runs FPGA version {after} (was {before}); "
            f"{result.bytes_written} bytes in {result.seconds['total']:.1f} s"
        )


def _info_lines(result: DeviceResult) -> None:
    rows = [
        ("FPGA ID", result.device_id),
        ("FPGA version", result.fpga_version_before),
        ("Control firmware version", result.control_fw_version),
        ("Serial number", result.serial),
    ]
    for name, value in rows:
        print(f"{name + ':':<26}{value}")


def _report_fleet(args: argparse.Namespace, results: List[DeviceResult], status: int) -> None:
    if args.json:
        for result in results:
            print_json(_result_json(result, exit_status(result.failure)))
        counts: Dict[str, int] = {}
        for result in results:
            counts[result.outcome] = counts.get(result.outcome, 0) + 1
        print_json({"summary": {"devices": len(results), "exit_status": status, **counts}})
        return
    from kestrix.tools import progress_view

    if sys.stdout.isatty():
        from rich.console import Console

        Console().print(progress_view.summary_table(results))
    else:
        for line in progress_view.summary_lines(results):
            print(line)


def _report_offline(args: argparse.Namespace, failure: Failure, message: str) -> int:
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


def _cmd_devices(args: argparse.Namespace) -> int:
    """update, verify and info: one job per device, as args.mode says."""
    with cli_logging(args):
        return _command(args)


def _command(args: argparse.Namespace) -> int:
    try:
        devices = _addresses(args)
    except (OSError, ValueError, UnicodeDecodeError) as error:
        error_line(args.command, str(error))
        return EXIT_USAGE
    if not devices and args.sim is None:
        error_line(args.command, "name the devices: --address HOST, --hosts FILE or --sim")
        return EXIT_USAGE
    offline = _check(args)
    if offline is not None:
        return _report_offline(args, *offline)
    display = sys.stderr if args.json else sys.stdout
    try:
        with _simulated(args.sim) as simulated:
            results, interrupted, record_error = _run(args, devices + (simulated or []), display)
    except _CannotStart as error:
        error_line(args.command, str(error))
        return EXIT_USAGE
    status = _fleet_status(results, interrupted)
    if record_error is not None and not interrupted:
        status = max(status, EXIT_USAGE)
    try:
        if len(results) == 1:
            result = results[0]
            if args.json:
                print_json(_result_json(result, status))
            elif args.mode == "identify" and result.ok:
                _info_lines(result)
            else:
                _result_line(args, result)
        else:
            _report_fleet(args, results, status)
    except BrokenPipeError:
        # The reader of standard output has gone; the status still tells what the devices did.
        # Later writes (the interpreter's flush at exit) go nowhere instead of failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    if record_error is not None:
        error_line(args.command, f"the audit record is incomplete: {record_error}")
    return status
