"""``kestrix-flash``: FPGA images and updates on the command line.

    kestrix-flash pack IMAGE.bin OUT.tbin [--header FILE] [--device-type N] [--image-start OFFSET]
                       [--sign-key KEY]
    kestrix-flash check IMAGE [--device-type N] [--trust-key KEY.pub ...] [--verbose]
    kestrix-flash keygen KEY
    kestrix-flash sign IMAGE --key KEY
    kestrix-flash update IMAGE (--address HOST[:PORT] ... | --hosts FILE | --sim [N])
                         [--trust-key KEY.pub ...] [--allow-downgrade] [options]
    kestrix-flash verify IMAGE (--address HOST[:PORT] ... | --hosts FILE | --sim [N]) [options]
    kestrix-flash info (--address HOST[:PORT] ... | --hosts FILE | --sim [N]) [options]
    kestrix-flash history RECORD [--all] [--device DEVICE] [--since TIME] [--json]

``pack`` wraps a raw image into a tbin whose digests the update's header check accepts; ``check``
runs the update's file checks without a device, and with ``--trust-key`` the signature check an
update given those keys runs; ``keygen`` makes an Ed25519 key pair and ``sign`` writes IMAGE.sig,
the image's detached signature; ``update`` flashes an image into one device or
many and verifies it; ``verify`` compares what devices hold with an image; ``info`` shows devices'
IDs and versions; ``history`` reads an audit record back. Every subcommand takes ``--json`` and
``--quiet``. Results go to standard output, progress and log lines to standard error. Exit status:
0 done, 1 the update or its verification failed, 2 a usage or input-file error (a missing or
damaged image, one for another device type: ``check`` too), 3 a device could not be reached or
stopped answering, 128 + the signal that stopped it (130: Ctrl-C, 143: SIGTERM, 129: SIGHUP).

The commands live in modules by what they need: ``image_cli`` (``pack``, ``check``, ``keygen``,
``sign``: no device), ``flash_devices`` (``update``, ``verify``, ``info``) and ``history_cli``
(``history``). Each module's ``register`` adds its subparsers and sets ``func`` to their handlers;
a new module of commands lists its ``register`` in ``_COMMANDS``.
"""

import argparse
import signal
import sys
from typing import Any, Callable, Optional, Sequence

from kestrix.tools import flash_devices, history_cli, image_cli
from kestrix.tools.cli_signals import interrupted_status, stop_on_signals
from kestrix.tools.cli_support import EXIT_USAGE

__all__ = ["main", "build_parser"]

_PROG = "kestrix-flash"

_COMMANDS: Sequence[Callable[[Any], None]] = (
    image_cli.register,
    flash_devices.register,
    history_cli.register,
)


class _VersionAction(argparse.Action):
    """``--version``: the package's version is looked up only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS) -> None:
        super().__init__(
            option_strings,
            dest,
            nargs=0,
            default=argparse.SUPPRESS,
            help="show the version and exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        from kestrix import __version__

        print(f"{_PROG} {__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_PROG,
        description="Make, check and flash FPGA images of kestrix devices.",
        epilog="Exit status: 0 done, 1 failed, 2 usage or input error, 3 device unreachable or "
        "not answering, 128 + the signal when stopped by one (130: Ctrl-C, 143: SIGTERM).",
    )
    parser.add_argument("--version", action=_VersionAction)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for register in _COMMANDS:
        register(subparsers)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns its exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # usage errors, --help and --version
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    with stop_on_signals():
        try:
            return int(args.func(args))
        except KeyboardInterrupt as stop:
            signum = getattr(stop, "signum", signal.SIGINT)
            try:
                print(f"{_PROG}: interrupted", file=sys.stderr)
            except OSError:
                pass  # a hung-up terminal
            return interrupted_status(signum)


if __name__ == "__main__":
    sys.exit(main())
