"""What the ``kestrix-flash`` subcommands share: exit statuses, argument types, logging and the
JSON output.

Exit statuses: 0 done; 1 the update or its verification failed; 2 a usage or input-file error
(a missing or damaged image, ``check``'s too; decided before any device is touched); 3 the device
cannot be reached, is busy or stopped answering; 128 + the signal when one stopped the command
(130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP). They follow from a failure's category, never
from its message.
"""

import argparse
import contextlib
import json
import logging
import sys
from typing import Any, Callable, Dict, Iterator, Optional, TextIO

from kestrix._core import DEFAULT_DEVICE_TYPE, DEFAULT_PORT, Failure, FailureCategory
from kestrix.tools.cli_signals import stopping

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3
EXIT_INTERRUPTED = 130

_EXIT_BY_CATEGORY = {
    FailureCategory.NONE: EXIT_OK,
    FailureCategory.UPDATE: EXIT_FAILED,
    FailureCategory.INPUT: EXIT_USAGE,
    FailureCategory.DEVICE: EXIT_UNREACHABLE,
    FailureCategory.INTERRUPTED: EXIT_INTERRUPTED,
}

_FAILURES = {failure.label: failure for failure in Failure.__members__.values()}

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1
LOG_FORMAT = "%(asctime)s - %(name)s [%(levelname)s] %(message)s"


def exit_status(failure: Failure) -> int:
    """The exit status for a failure, by its category."""
    return _EXIT_BY_CATEGORY[failure.category]


def failure_named(label: str) -> Failure:
    """The failure whose stable name (its label, "image-missing") a report gives."""
    return _FAILURES[label]


def shown(text: str) -> str:
    """Text as a terminal can show it: bytes of a file name that are not UTF-8 escaped (\\xff)."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def int_argument(text: str) -> int:
    """Decimal (leading zeros allowed) or prefixed: 0x1000, 0o17, 0b101; 64 bits at most."""
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


def offset_argument(text: str) -> int:
    value = int_argument(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def port_argument(text: str) -> int:
    value = int_argument(text)
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 1 to 65535, not {text}")
    return value


def positive_argument(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def count_argument(limit: Optional[int] = None) -> Callable[[str], int]:
    """An argument type for a count from 1 (to `limit`, when one is given)."""

    def count(text: str) -> int:
        value = int_argument(text)
        if value < 1:
            raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
        if limit is not None and value > limit:
            raise argparse.ArgumentTypeError(f"must be at most {limit}: {text}")
        return value

    return count


def add_device_type(
    parser: argparse.ArgumentParser, help_text: str, default: Optional[int] = DEFAULT_DEVICE_TYPE
) -> None:
    """--device-type (alias --dev-type); with `default` None, the option is unset unless given
    and `help_text` names what that means."""
    parser.add_argument(
        "--device-type",
        "--dev-type",
        dest="device_type",
        metavar="N",
        type=int_argument,
        default=default,
        help=help_text if default is None else f"{help_text} (default: %(default)s)",
    )


def add_trust_keys(parser: argparse.ArgumentParser, help_text: str) -> None:
    """``--trust-key KEY.pub``, repeatable, into ``args.trust_keys`` (a list, empty by default)."""
    parser.add_argument(
        "--trust-key",
        metavar="KEY.pub",
        action="append",
        default=[],
        dest="trust_keys",
        help=help_text,
    )


def add_quiet(parser: Any) -> None:
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="print only the result: a line, one per device for several; no progress, no log "
        "(default: off)",
    )


def add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the result as JSON on standard output (default: text)",
    )
    loudness = parser.add_mutually_exclusive_group()
    add_quiet(loudness)
    loudness.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="also print debug log lines (default: off)",
    )


def add_port(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--port",
        type=port_argument,
        default=DEFAULT_PORT,
        help="TCP port of addresses that name none (default: %(default)s)",
    )


class _StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes to whatever ``sys.stderr`` is when a record comes, so a live terminal display that
    takes over standard error shows log lines above itself."""

    def __init__(self) -> None:
        super().__init__()

    @property
    def stream(self) -> TextIO:
        return sys.stderr

    @stream.setter
    def stream(self, value: TextIO) -> None:
        pass


@contextlib.contextmanager
def cli_logging(args: argparse.Namespace) -> Iterator[None]:
    """The library's log lines ("FPGA") go to standard error while a command runs: INFO and up,
    DEBUG with --verbose, none with --quiet. Once a signal stops the command, the log says no
    more: each device's result says where it stood, once. The logger is left as it was
    afterwards."""
    logger = logging.getLogger("FPGA")
    saved = (logger.level, logger.propagate)
    handler = _StderrHandler()
    handler.setFormatter(logging.Formatter(LOG_FORMAT))
    handler.addFilter(lambda _: not stopping())
    quiet = getattr(args, "quiet", False)
    verbose = getattr(args, "verbose", False)
    logger.setLevel(logging.DEBUG if verbose else logging.CRITICAL + 1 if quiet else logging.INFO)
    logger.propagate = False
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def print_json(value: Dict[str, Any], out: Optional[TextIO] = None) -> None:
    """One JSON object on one line."""
    stream = out if out is not None else sys.stdout
    stream.write(json.dumps(value) + "\n")
    stream.flush()


def error_line(command: str, message: str) -> None:
    print(f"kestrix-flash {command}: error: {shown(message)}", file=sys.stderr)
