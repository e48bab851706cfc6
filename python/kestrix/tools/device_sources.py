"""Where ``kestrix-flash`` takes its devices from: ``--address`` (repeatable), ``--hosts FILE``
(one per line, ``#`` comments), ``--failed-in RECORD`` (the devices whose latest audit line did
not succeed) and ``--sim N`` (simulated devices). Each entry keeps where it was named, so a
refusal can name the line; the list is checked as a whole by the package (check_devices)."""

import argparse
import contextlib
from typing import Iterator, List, Optional, Tuple

from kestrix import _core
from kestrix.tools.cli_support import count_argument

__all__ = ["add_device_sources", "entries_of", "simulated", "CannotStart"]

#: A device as named: (text, origin), origin being "--address 2" or "radios.txt line 7".
Entry = Tuple[str, str]


class CannotStart(Exception):
    """Nothing ran: the simulated devices of --sim or the record file could not be had."""


def add_device_sources(parser: argparse.ArgumentParser, retry: bool) -> None:
    """The device options; with `retry`, also --failed-in (update and verify)."""
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
    if retry:
        where.add_argument(
            "--failed-in",
            metavar="RECORD",
            help="the devices whose latest line in the audit record RECORD did not succeed",
        )
    where.add_argument(
        "--sim",
        nargs="?",
        const=1,
        type=count_argument(),
        metavar="N",
        help="N devices of the bundled simulator, started on free ports (N: 1)",
    )


def entries_of(args: argparse.Namespace) -> List[Entry]:
    """The entries the arguments name, --sim's aside; OSError when a file cannot be read."""
    entries = [(text, f"--address {i}") for i, text in enumerate(args.address, start=1)]
    if args.hosts is not None:
        entries += _core.read_hosts_file(args.hosts)
    failed_in: Optional[str] = getattr(args, "failed_in", None)
    if failed_in is not None:
        entries += _core.devices_to_retry(failed_in)
    return entries


@contextlib.contextmanager
def simulated(count: Optional[int], flash_size: Optional[int]) -> Iterator[List[Entry]]:
    """`count` simulated devices (none without a count) with a flash of `flash_size` bytes, as
    entries, stopped when the block ends however it ends."""
    if count is None:
        yield []
        return
    from kestrix.tools.sim_cli import start_simulators, stop_simulator

    flags = [] if flash_size is None else ["--flash-size", str(flash_size)]
    try:
        # Like a device: the terminal's Ctrl-C or hang-up stops the command, which then stops the
        # simulator after every device reported; a command that is killed takes it along.
        process, where = start_simulators(count, *flags, detached=True)
    except (OSError, RuntimeError) as error:  # TimeoutError is an OSError
        raise CannotStart(str(error)) from error
    try:
        yield [(f"{host}:{port}", f"--sim device {i}") for i, (host, port) in enumerate(where, 1)]
    finally:
        stop_simulator(process)


#: The smallest flash a simulated device gets.
_MIN_SIM_FLASH = 4096


def sim_flash_size(image_size: int) -> int:
    """The flash a simulated device needs to hold an image of `image_size` bytes and the page
    after it (which verify reads back to see it erased), in whole pages."""
    page = _core.PAGE_SIZE
    pages = (image_size + page - 1) // page + 1
    return max(_MIN_SIM_FLASH, pages * page)
