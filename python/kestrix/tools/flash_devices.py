"""The device-facing commands of ``kestrix-flash``: ``update``, ``verify`` and ``info``, for one
device or a fleet.

Every command checks what it can without a device first: the image (read once; every device gets
those bytes), the device type, and the whole list of devices (each an address, each name
resolved, each device once), so input errors never touch one. Devices come from ``--address``,
``--hosts``, ``--failed-in`` and ``--sim`` (device_sources). The work is the package's fleet runner
(``kestrix.fleet``); this module turns arguments into a call, and device_output turns results
into output.
"""

import argparse
import os
import signal
import sys
from typing import Any, List, Optional, Sequence, TextIO, Tuple

from kestrix import _core
from kestrix.fleet import (
    DeviceList,
    DeviceListError,
    DeviceResult,
    FleetInterrupted,
    LoadedImage,
    Mode,
    RecordError,
    check_devices,
    load_image,
    update_fleet,
)
from kestrix.tools import device_sources
from kestrix.tools.cli_signals import interrupted_status
from kestrix.tools.cli_support import (
    EXIT_OK,
    EXIT_UNREACHABLE,
    EXIT_USAGE,
    add_device_type,
    add_output_options,
    add_port,
    add_trust_keys,
    cli_logging,
    count_argument,
    error_line,
    exit_status,
    positive_argument,
    print_json,
    shown,
)
from kestrix.tools.device_output import report_devices, report_offline


def register(subparsers: Any) -> None:
    """Adds ``update``, ``verify`` and ``info`` to the tool's subcommands."""
    update = subparsers.add_parser(
        "update",
        help="flash an image into the FPGA of one device or many",
        description="Check the image, then erase, write and verify the FPGA configuration flash "
        "of each device and make it reload. Several devices are updated at once. Exit status: 0 "
        "done, 1 an update or its verification failed, 2 usage or image error, 3 a device could "
        "not be reached or stopped answering, 128 + the signal when stopped by one (130: "
        "Ctrl-C); for a fleet, the highest of its devices'.",
    )
    _image_and_devices(update)
    update.add_argument(
        "--skip-identical",
        action="store_true",
        help="verify first and leave devices that already hold and run the image alone; one "
        "that holds it but runs another version than the image declares is made to reload it "
        "(default: off)",
    )
    update.add_argument(
        "--allow-downgrade",
        action="store_true",
        help="also install an image that declares an older FPGA version than a device runs "
        "(default: such a device fails with downgrade-refused, exit status 2, untouched)",
    )
    _update_options(update)
    _rollout_options(update)
    update.set_defaults(func=_cmd_devices, mode="update")

    verify = subparsers.add_parser(
        "verify",
        help="check that devices hold an image, without writing",
        description="Read back the image's length from each device's configuration flash and "
        "compare it with the image, and the bytes after it with erased flash; nothing is erased "
        "or written. Exit status 0 when every device holds the image (and runs the version it "
        "declares), 1 when one does not (naming the first differing byte offset).",
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
    device_sources.add_device_sources(info, retry=False)
    _pool(info)
    add_device_type(info, "device type, which says how its FPGA version is read")
    _timeouts(info)
    add_output_options(info)
    info.set_defaults(func=_cmd_devices, mode="identify", init=False, skip_init=True, image=None)


def _pool(parser: argparse.ArgumentParser) -> None:
    add_port(parser)
    parser.add_argument(
        "--jobs",
        type=count_argument(_core.MAX_JOBS),
        default=_core.DEFAULT_JOBS,
        metavar="N",
        help="devices worked on at once (default: %(default)s)",
    )


def _timeouts(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--timeout",
        type=positive_argument,
        default=_core.DEFAULT_TIMEOUT,
        metavar="S",
        help="seconds to wait for each reply (default: %(default)s)",
    )


def _image_and_devices(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("image", metavar="IMAGE", help="the .bin or .tbin image")
    device_sources.add_device_sources(parser, retry=True)
    _pool(parser)


def _update_options(parser: argparse.ArgumentParser) -> None:
    add_device_type(parser, "device type of the devices")
    add_trust_keys(
        parser,
        "an Ed25519 public key whose signature (IMAGE.sig) the image must carry; repeat for "
        "several; an image none of them signed is refused before any device is touched, exit "
        "status 2 (default: none: no signature is required)",
    )
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
        default=_core.DEFAULT_WINDOW,
        metavar="W",
        help="program and read commands kept in flight at once; more than 1 overlaps the "
        "network's delays, 1 sends one at a time, for devices that need lock-step (default: "
        "%(default)s)",
    )
    parser.add_argument(
        "--record",
        metavar="FILE",
        help="append one JSON line per device to FILE, an audit record (default: none)",
    )
    parser.add_argument(
        "--change-id",
        metavar="TEXT",
        help="the change this run belongs to (a ticket, say), written into each record line "
        "(default: none)",
    )
    add_output_options(parser)


def _rollout_options(parser: argparse.ArgumentParser) -> None:
    rollout = parser.add_argument_group("staged rollout")
    rollout.add_argument(
        "--canary",
        type=count_argument(),
        metavar="N",
        help="update the first N devices alone first, and the others only when all N "
        "succeeded (default: all at once)",
    )
    rollout.add_argument(
        "--max-failures",
        type=count_argument(),
        metavar="K",
        help="start no new device once K have failed; those running finish, the rest are "
        "reported skipped (default: no limit)",
    )


def _mode(args: argparse.Namespace) -> Mode:
    if args.mode == "update" and getattr(args, "skip_identical", False):
        return "update-unless-identical"
    mode: Mode = args.mode
    return mode


def _cmd_devices(args: argparse.Namespace) -> int:
    """update, verify and info: one job per device, as args.mode says."""
    with cli_logging(args):
        return _command(args)


def _command(args: argparse.Namespace) -> int:
    try:
        entries = device_sources.entries_of(args)
    except (OSError, ValueError) as error:
        error_line(args.command, str(error))
        return EXIT_USAGE
    if not entries and args.sim is None:
        if getattr(args, "failed_in", None) is not None and not args.address and not args.hosts:
            print(f"nothing to do: no device's latest line in {shown(args.failed_in)} failed")
            return EXIT_OK
        error_line(args.command, "name the devices: --address HOST, --hosts FILE or --sim")
        return EXIT_USAGE
    record: Optional[str] = getattr(args, "record", None)
    if record is not None and args.hosts is not None and _same_file(record, args.hosts):
        error_line(args.command, f"the audit record '{shown(record)}' is the hosts file")
        return EXIT_USAGE
    if args.image is None:
        image = _core.load_image(None, device_type=args.device_type, init=False, mode="identify")
    else:
        try:
            image = load_image(
                args.image,
                device_type=args.device_type,
                init=not args.skip_init,
                mode=_mode(args),
                trusted_keys=args.trust_keys,
            )
        except (OSError, ValueError) as error:
            # A trusted key that cannot be used.
            error_line(args.command, str(error))
            return EXIT_USAGE
    if image.fault is not None:
        return report_offline(args, *image.fault)
    flash_size = device_sources.sim_flash_size(image.size) if args.image is not None else None
    try:
        with device_sources.simulated(args.sim, flash_size) as simulated:
            try:
                devices = _checked(args, entries + simulated)
            except DeviceListError as error:
                return _list_refused(args, error)
            results, signum, record_error = _run(args, image, devices)
    except device_sources.CannotStart as error:
        error_line(args.command, str(error))
        return EXIT_USAGE
    status = _fleet_status(results, signum)
    if record_error is not None and signum is None:
        status = max(status, EXIT_USAGE)
    _finish(args, results, status, record_error)
    return status


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _checked(args: argparse.Namespace, entries: List[Tuple[str, str]]) -> DeviceList:
    return check_devices(
        [text for text, _ in entries], port=args.port, origins=[origin for _, origin in entries]
    )


def _list_refused(args: argparse.Namespace, error: DeviceListError) -> int:
    """Every bad entry, a line each (with --json, one object listing them): 2 when one is not an
    address or reaches a device another one reaches, 3 when only names do not resolve."""
    kinds = {problem[0] for problem in error.problems}
    status = EXIT_UNREACHABLE if kinds == {"unresolved"} else EXIT_USAGE
    lines = [f"{origin}: '{text}': {reason}" for _, origin, text, reason in error.problems]
    if not args.json:
        for line in lines:
            error_line(args.command, line)
        return status
    problems = [
        {"kind": kind, "origin": origin, "text": text, "reason": reason}
        for kind, origin, text, reason in error.problems
    ]
    message = problems[0]["reason"] if len(problems) == 1 else "; ".join(lines)
    print_json(
        {
            "exit_status": status,
            "success": False,
            "error_message": message,
            "fw_version": "",
            "problems": problems,
        }
    )
    return status


def _run(
    args: argparse.Namespace, image: LoadedImage, devices: DeviceList
) -> Tuple[List[DeviceResult], Optional[int], Optional[OSError]]:
    """Runs the fleet with a view; returns the results, the signal that stopped it (or None),
    and the error a write to the record file met (the devices ran to their ends regardless).
    Raises CannotStart when the record file cannot be opened or is the image."""
    # The views import rich, which takes longer to load than `check` takes to run: only the
    # commands that talk to devices load it.
    from kestrix.tools import progress_view

    # Progress is no result: it goes to standard error, so piped output holds only the results.
    plan = progress_view.UpdatePlan(_mode(args), image.size, _core.reload_wait(args.device_type))
    view = progress_view.make_view(sys.stderr, devices.addresses, args.quiet, plan)
    record: Optional[str] = getattr(args, "record", None)
    try:
        results = update_fleet(
            image,
            devices,
            device_type=args.device_type,
            jobs=args.jobs,
            init=not args.skip_init,
            check_version=not getattr(args, "skip_version_check", False),
            allow_downgrade=getattr(args, "allow_downgrade", False),
            mode=_mode(args),
            timeout=args.timeout,
            window=getattr(args, "window", _core.DEFAULT_WINDOW),
            canary=getattr(args, "canary", None) or 0,
            max_failures=getattr(args, "max_failures", None),
            change_id=getattr(args, "change_id", None),
            progress=view.progress if view.shows_progress else None,
            on_result=view.finished,
            record=record,
        )
        return results, None, None
    except FleetInterrupted as stop:
        return stop.results, getattr(stop.__cause__, "signum", signal.SIGINT), stop.record_error
    except RecordError as error:
        return error.results, None, error
    except ValueError as error:
        # The record file is the image file: nothing was touched.
        raise device_sources.CannotStart(str(error)) from error
    except OSError as error:
        if error.filename is None or error.filename != record:
            raise
        raise device_sources.CannotStart(str(error)) from error
    finally:
        _close_view(view)


def _close_view(view: object) -> None:
    try:
        view.close()  # type: ignore[attr-defined]
    except OSError:
        pass  # the terminal has gone (SIGHUP): the results still go where they can


def _fleet_status(results: Sequence[DeviceResult], signum: Optional[int]) -> int:
    if signum is not None:
        return interrupted_status(signum)
    return max((exit_status(r.failure) for r in results), default=EXIT_OK)


def _finish(
    args: argparse.Namespace,
    results: List[DeviceResult],
    status: int,
    record_error: Optional[OSError],
) -> None:
    try:
        report_devices(args, results, status)
        if record_error is not None:
            error_line(args.command, f"the audit record is incomplete: {record_error}")
    except OSError:
        # The reader of standard output has gone (a closed pipe, a hung-up terminal); the status
        # still tells what the devices did. Later writes (the interpreter's flush at exit) go
        # nowhere instead of failing again.
        _silence(sys.stdout)
        _silence(sys.stderr)


def _silence(stream: TextIO) -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
