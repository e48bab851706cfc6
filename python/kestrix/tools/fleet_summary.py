"""The end of a fleet on a terminal: a table with a row per device, under it the cause of each
device that did not succeed (on lines of its own, which wrap as text does, so a narrow terminal
squeezes no column of words), and how many got a verified-signed image when signatures were
required. The address column is never wrapped or cut: the other columns give way."""

from typing import List, Sequence

from rich import box
from rich.console import Group, RenderableType
from rich.table import Table
from rich.text import Text

from kestrix.fleet import DeviceResult
from kestrix.tools.cli_support import shown
from kestrix.tools.summary_text import signature_line, summary_header, summary_rows

__all__ = ["summary_table"]


def summary_table(results: Sequence[DeviceResult], title: str) -> RenderableType:
    table = Table(
        title=title, title_justify="left", box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False
    )
    header = summary_header(results, error=False)
    widest = max(len(r.address) for r in results)
    table.add_column(header[0], no_wrap=True, min_width=widest)
    # The outcome stays one word; the columns of versions and numbers fold first.
    table.add_column(header[1], no_wrap=True)
    for name in header[2:]:
        table.add_column(name.replace(" ", "\n", 1), overflow="fold")
    for row in summary_rows(results, error=False):
        table.add_row(*row)
    parts: List[RenderableType] = [table]
    causes = [r for r in results if r.error]
    if causes:
        parts.append(Text(""))
    for r in causes:
        parts.append(Text.assemble((f"{r.address}: ", "bold"), (shown(r.error), "red")))
    signed = signature_line(results)
    if signed is not None:
        parts.append(Text(signed))
    return Group(*parts)
