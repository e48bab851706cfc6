"""``kestrix-flash history RECORD``: an audit record read back as a table, the latest line per
device by default (``--all`` for every line), for one device (``--device``) or since a time
(``--since``); ``--json`` prints the records themselves, a line each. The table names the key
that signed each image (its short id) and whether that signature verified under a trusted key."""

import argparse
import sys
from typing import Any, Dict, List

from kestrix import _core
from kestrix.tools.cli_support import (
    EXIT_OK,
    EXIT_USAGE,
    add_quiet,
    error_line,
    print_json,
    shown,
)

__all__ = ["register"]

_COLUMNS = [
    ("finished", "finished_at"),
    ("device", "address"),
    ("serial", "serial"),
    ("outcome", "outcome"),
    ("FPGA after", "fpga_version_after"),
    ("image", "image_path"),
    ("image version", "image_version"),
    ("key", "signing_key_id"),
    ("verified", "signature_verified"),
    ("by", "run_by_user"),
    ("change", "change_id"),
    ("error", "error"),
]


def register(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "history",
        help="show what an audit record says of each device",
        description="Read an audit record (--record of update and verify) back: the latest line "
        "per device, as a table. Lines that are not records (an interrupted write) are skipped "
        "and counted.",
    )
    parser.add_argument("record", metavar="RECORD", help="the audit record, JSON lines")
    parser.add_argument(
        "--all", action="store_true", help="every line, not only the latest per device"
    )
    parser.add_argument(
        "--device", metavar="DEVICE", help="only this device: its host:port, host or serial"
    )
    parser.add_argument(
        "--since",
        metavar="TIME",
        help="only lines started at or after this UTC time: 2026-12-08 or 2026-12-08T10:30",
    )
    parser.add_argument("--json", action="store_true", help="print the records as JSON lines")
    add_quiet(parser)
    parser.set_defaults(func=_cmd_history)


def _cell(record: Dict[str, Any], key: str) -> str:
    value = record.get(key)
    if value is None or value == "":
        return "-"
    if key == "signing_key_id":
        return shown(_core.short_key_id(str(value)))
    if isinstance(value, bool):
        return "yes" if value else "no"
    return shown(str(value))


def _cmd_history(args: argparse.Namespace) -> int:
    try:
        lines, skipped = _core.read_history(
            args.record, all=args.all, device=args.device, since=args.since
        )
    except (OSError, ValueError) as error:
        error_line("history", str(error))
        return EXIT_USAGE
    records: List[Dict[str, Any]] = [record for _, record in lines]
    if args.json:
        for record in records:
            print_json(record)
    elif sys.stdout.isatty():
        from rich.console import Console
        from rich.table import Table

        table = Table(title=f"{shown(args.record)}", title_justify="left")
        for name, key in _COLUMNS:
            # An address is never wrapped over lines; the other columns give way.
            table.add_column(name, overflow="fold", no_wrap=key == "address")
        for record in records:
            table.add_row(*(_cell(record, key) for _, key in _COLUMNS))
        Console().print(table)
    else:
        print("\t".join(name for name, _ in _COLUMNS))
        for record in records:
            print("\t".join(_cell(record, key) for _, key in _COLUMNS))
    if skipped and not args.quiet:
        print(
            f"kestrix-flash history: {skipped} line(s) of {shown(args.record)} are not records "
            "and were skipped",
            file=sys.stderr,
        )
    return EXIT_OK
