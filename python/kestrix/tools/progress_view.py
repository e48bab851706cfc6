"""How ``kestrix-flash`` shows updates as they run.

On a terminal: one device is a bar per phase (erase, write, verify, reload) with bytes, rate and
time left; several are a live table, a row per device. Both redraw at most 10 times a second and
fit the terminal's width (rich does the drawing). Piped or redirected: plain lines, one per tenth
of each phase (and one per event of each device in a fleet). The views only show what the fleet
reports; they decide nothing.
"""

import sys
import threading
import time
from typing import Dict, List, Optional, TextIO, Type

from rich.console import Console, RenderableType
from rich.filesize import decimal
from rich.live import Live
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    ProgressColumn,
    Task,
    TaskID,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
    TransferSpeedColumn,
)
from rich.progress_bar import ProgressBar
from rich.table import Table
from rich.text import Text

from kestrix.fleet import DeviceResult
from kestrix.tools.cli_support import shown

__all__ = ["View", "make_view"]

# What each phase is, for a label.
_PHASE_LABELS = {
    "connect": "connect",
    "erase": "erase",
    "write": "write",
    "verify": "verify",
    "reload": "reload (the device restarts its FPGA)",
}
_REFRESH_PER_SECOND = 10


class View:
    """Shows nothing; the base of the others. ``progress`` and ``finished`` are called from the
    devices' threads (with the GIL), ``close`` once at the end."""

    def progress(self, device: str, stage: str, done: int, total: int) -> None:
        pass

    def finished(self, result: DeviceResult) -> None:
        pass

    def close(self) -> None:
        pass


class _PlainLines(View):
    """A line per tenth of each phase, and one per phase that has no byte count. Once the stream
    cannot be written to (a pipe whose reader has gone), it shows nothing more: a display must
    never stop a flash half-way."""

    def __init__(self, out: TextIO, prefixed: bool) -> None:
        self._out: Optional[TextIO] = out
        self._prefixed = prefixed
        self._shown: Dict[str, int] = {}
        self._lock = threading.Lock()

    def _line(self, device: str, text: str) -> None:
        with self._lock:
            if self._out is None:
                return
            try:
                self._out.write(f"{device}: {text}\n" if self._prefixed else f"{text}\n")
                self._out.flush()
            except OSError:
                self._out = None

    def progress(self, device: str, stage: str, done: int, total: int) -> None:
        key = f"{device} {stage}"
        if total <= 0:
            if done == 0 and key not in self._shown:
                self._shown[key] = 0
                if self._prefixed or stage in ("erase", "reload"):
                    self._line(device, _PHASE_LABELS.get(stage, stage))
            return
        tenth = done * 10 // total
        if tenth > self._shown.get(key, -1):
            self._shown[key] = tenth
            self._line(device, f"{stage}: {done}/{total} bytes ({tenth * 10}%)")

    def finished(self, result: DeviceResult) -> None:
        if self._prefixed:
            self._line(result.address, _outcome_text(result))


def _counted(column: Type[ProgressColumn]) -> Type[ProgressColumn]:
    """`column`, blank for a phase that moves no bytes (erase, reload)."""

    class Counted(column):  # type: ignore[valid-type,misc]
        def render(self, task: Task) -> RenderableType:
            return super().render(task) if task.fields.get("counted", True) else Text("")

    return Counted


class _PhaseBars(View):
    """One device on a terminal: a bar for the running phase with bytes, rate and time left; a
    finished phase leaves one line above it (so a redraw repaints one line, not all of them)."""

    def __init__(self, console: Console, redirect_stderr: bool) -> None:
        self._progress = Progress(
            TextColumn("{task.description:<7}"),
            BarColumn(),
            _counted(DownloadColumn)(),
            _counted(TransferSpeedColumn)(),
            _counted(TimeRemainingColumn)(),
            TimeElapsedColumn(),
            console=console,
            refresh_per_second=_REFRESH_PER_SECOND,
            redirect_stderr=redirect_stderr,
        )
        self._tasks: Dict[str, TaskID] = {}
        self._current: Optional[str] = None
        self._progress.start()

    def progress(self, device: str, stage: str, done: int, total: int) -> None:
        if stage == "connect":
            return
        if stage != self._current:
            self._end_current()
            self._current = stage
            # Erase and reload have no byte count: a pulsing bar and the time they take.
            self._tasks[stage] = self._progress.add_task(
                stage, total=total or None, counted=total > 0
            )
        task = self._tasks[stage]
        self._progress.update(task, completed=done, total=total or None)

    def _end_current(self) -> None:
        if self._current is None:
            return
        stage, self._current = self._current, None
        task = self._progress.tasks[self._tasks[stage]]
        seconds = task.elapsed or 0.0
        line = f"{stage:<7} done in {seconds:.1f} s"
        if task.total:
            rate = f", {decimal(int(task.total / seconds))}/s" if seconds > 0 else ""
            line = f"{stage:<7} {decimal(int(task.total))} in {seconds:.1f} s{rate}"
        self._progress.update(task.id, visible=False)
        self._progress.console.print(line, highlight=False)

    def finished(self, result: DeviceResult) -> None:
        if result.ok:
            self._end_current()

    def close(self) -> None:
        self._progress.stop()


class _DeviceState:
    __slots__ = ("phase", "done", "total", "started", "result")

    def __init__(self) -> None:
        self.phase = "waiting"
        self.done = 0
        self.total = 0
        self.started = time.monotonic()
        self.result: Optional[DeviceResult] = None


class _FleetTable(View):
    """Several devices on a terminal: a live table, a row per device (address, phase, bar, bytes,
    rate); a finished row keeps its outcome, the bytes written and the seconds it took."""

    def __init__(self, console: Console, devices: List[str], redirect_stderr: bool) -> None:
        self._devices = devices
        self._states = {device: _DeviceState() for device in devices}
        self._lock = threading.Lock()
        self._live = Live(
            self,
            console=console,
            refresh_per_second=_REFRESH_PER_SECOND,
            redirect_stderr=redirect_stderr,
        )
        self._live.start()

    def progress(self, device: str, stage: str, done: int, total: int) -> None:
        with self._lock:
            state = self._states[device]
            if stage != state.phase:
                state.phase = stage
                state.started = time.monotonic()
            state.done, state.total = done, total

    def finished(self, result: DeviceResult) -> None:
        with self._lock:
            self._states[result.address].result = result

    def __rich__(self) -> RenderableType:
        table = Table(box=None, pad_edge=False, show_header=True)
        table.add_column("device", no_wrap=True, overflow="ellipsis")
        table.add_column("phase", no_wrap=True, min_width=6)
        table.add_column("", no_wrap=True)
        table.add_column("bytes", no_wrap=True, justify="right")
        table.add_column("rate", no_wrap=True, justify="right")
        now = time.monotonic()
        with self._lock:
            for device in self._devices:
                table.add_row(device, *self._row(self._states[device], now))
        return table

    @staticmethod
    def _row(s: _DeviceState, now: float) -> List[RenderableType]:
        if s.result is not None:
            r = s.result
            style = "green" if r.ok else "red"
            outcome = r.outcome if r.ok else f"{r.outcome}: {r.failure.label}"
            bar = ProgressBar(total=1, completed=1 if r.ok else 0, width=20)
            return [
                Text(outcome, style=style),
                bar,
                decimal(r.bytes_written),
                f"in {r.seconds['total']:.1f} s",
            ]
        bar = ProgressBar(total=s.total or None, completed=s.done, width=20)
        if not s.total:
            return [s.phase, bar, "", ""]
        elapsed = now - s.started
        rate = f"{decimal(int(s.done / elapsed))}/s" if elapsed > 0 else ""
        return [s.phase, bar, f"{decimal(s.done)}/{decimal(s.total)}", rate]

    def close(self) -> None:
        self._live.stop()


def make_view(out: TextIO, devices: List[str], quiet: bool) -> View:
    """The view for `devices` on `out`: bars or a table on a terminal, lines otherwise. Log lines
    (standard error) show above a live view when they go to the terminal too."""
    if quiet:
        return View()
    if not out.isatty():
        return _PlainLines(out, prefixed=len(devices) > 1)
    console = Console(file=out)
    redirect_stderr = sys.stderr.isatty()
    if len(devices) == 1:
        return _PhaseBars(console, redirect_stderr)
    return _FleetTable(console, devices, redirect_stderr)


def _outcome_text(result: DeviceResult) -> str:
    if result.ok:
        text = f"{result.outcome} in {result.seconds['total']:.1f} s"
        if result.fpga_version_after:
            text += f", FPGA version {result.fpga_version_after}"
        return text
    return f"{result.outcome} ({result.failure.label}): {shown(result.error)}"
