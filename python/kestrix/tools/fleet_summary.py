"""The end of a fleet on a terminal: a table with a row per device, and under it how many got a
verified-signed image when signatures were required."""

from typing import Sequence

from rich.table import Table

from kestrix.fleet import DeviceResult
from kestrix.tools.summary_text import SUMMARY_HEADER, signature_line, summary_rows

__all__ = ["summary_table"]


def summary_table(results: Sequence[DeviceResult]) -> Table:
    table = Table(
        title="FPGA update summary",
        title_justify="left",
        caption=signature_line(results),
        caption_justify="left",
    )
    for name in SUMMARY_HEADER:
        table.add_column(name, overflow="fold")
    for row in summary_rows(results):
        table.add_row(*row)
    return table
