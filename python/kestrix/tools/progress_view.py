"""How ``kestrix-flash`` shows updates as they run, on standard error (standard output is for the
results).

On a terminal: one device is a bar per phase (erase, write, verify, reload) with bytes, rate, the
phase's "eta" and "elapsed" and the whole update's "update eta"; several are a live table, a row
per device, whose address column never gives way. Both redraw at most 10 times a second and fit
the terminal's width (rich does the drawing). Piped or redirected: plain lines, one per tenth of
each phase (and one per event of each device in a fleet). The views only show what the fleet
reports; they decide nothing, and leave a failure's words to the results.
"""

import sys
import threading
import time
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, TextIO, Type

from rich.console import Console, ConsoleOptions, RenderableType
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
    TransferSpeedColumn,
)
from rich.progress_bar import ProgressBar
from rich.table import Column, Table
from rich.text import Text

from kestrix.fleet import DeviceResult

__all__ = ["UpdatePlan", "View", "make_view"]

# What each phase is, for a label.
_PHASE_LABELS = {
    "connect": "connect",
    "erase": "erase",
    "write": "write",
    "verify": "verify",
    "reload": "reload (the device restarts its FPGA)",
}
_REFRESH_PER_SECOND = 10
# A fleet row beside its address (phase, bytes, rate, gaps), and its bar at most.
_FLEET_ROW_NEEDS = 40
_FLEET_BAR = 20


class View:
    """Shows nothing; the base of the others. ``progress`` and ``finished`` are called from the
    devices' threads (with the GIL), ``close`` once at the end. A view that shows no progress is
    not given it: each call takes the GIL from a device's thread, thousands a second in a large
    fleet."""

    shows_progress = False

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

    shows_progress = True

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


def _clock(seconds: Optional[float]) -> str:
    """0:07, 12:30, 1:02:03; -:-- while not known."""
    if seconds is None:
        return "-:--"
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


class _Time(ProgressColumn):
    """A time after its label ("eta 0:02"), never wrapped; with `counted`, blank for a phase that
    moves no bytes."""

    def __init__(
        self, label: str, seconds: Callable[[Task], Optional[float]], counted: bool = False
    ) -> None:
        super().__init__(table_column=Column(no_wrap=True))
        self._label, self._seconds, self._counted = label, seconds, counted

    def render(self, task: Task) -> RenderableType:
        if self._counted and not task.fields.get("counted", True):
            return Text("")
        return Text.assemble((f"{self._label} ", "dim"), (_clock(self._seconds(task)), "cyan"))


class UpdatePlan(NamedTuple):
    """What one device's run is to do, for the whole-update estimate: the job's mode, the image's
    bytes and the seconds the device is given after its FPGA reloads."""

    mode: str
    size: int
    reload_wait: float


# The phases each mode runs, in order. A verify that finds the image missing goes on as an update.
_PHASES = {
    "update": ("erase", "write", "verify", "reload"),
    "verify": ("verify",),
    "update-unless-identical": ("verify",),
}
_BYTE_PHASES = ("write", "verify")


class _WholeUpdate:
    """How long the rest of one device's run should take: the bytes its phases still move, at the
    rate bytes moved so far, and the wait after its FPGA reloads. Not known before bytes moved."""

    def __init__(self, plan: UpdatePlan) -> None:
        self._plan = plan
        self._phases = _PHASES.get(plan.mode, ())
        self._stage = ""
        self._started = time.monotonic()
        self._done = self._total = 0
        self._moved = 0  # bytes of the byte phases that ended, and their seconds
        self._spent = 0.0

    def note(self, stage: str, done: int, total: int) -> None:
        now = time.monotonic()
        if stage != self._stage:
            if self._stage in _BYTE_PHASES:
                self._moved += self._done
                self._spent += now - self._started
            if stage not in self._phases:
                self._phases = _PHASES["update"]
            self._stage, self._started = stage, now
        self._done, self._total = done, total

    def seconds_left(self) -> Optional[float]:
        if self._stage not in self._phases:
            return None
        now = time.monotonic()
        later = self._phases[self._phases.index(self._stage) + 1 :]
        left = self._plan.size * sum(1 for phase in later if phase in _BYTE_PHASES)
        wait = self._plan.reload_wait if "reload" in later else 0.0
        if self._stage in _BYTE_PHASES:
            left += max(0, self._total - self._done)
        elif self._stage == "reload":
            wait = max(0.0, self._plan.reload_wait - (now - self._started))
        if left == 0:
            return wait
        moved, spent = self._moved, self._spent
        if self._stage in _BYTE_PHASES:
            moved, spent = moved + self._done, spent + now - self._started
        return left / (moved / spent) + wait if moved > 0 and spent > 0 else None


# What a single device's bar line needs whatever the width: phase, bytes and the three times.
_BAR_LINE_NEEDS = 58
_SPEED_WIDTH = 10
_MAX_BAR = 40


class _PhaseBars(View):
    """One device on a terminal: a bar for the running phase with bytes, rate, the phase's time
    left and time taken, and the whole update's time left; a finished phase leaves one line above
    it (so a redraw repaints one line, not all of them). A narrow terminal drops the rate, then
    the bar, never a time."""

    shows_progress = True

    def __init__(self, console: Console, redirect_stderr: bool, plan: Optional[UpdatePlan]) -> None:
        self._whole = _WholeUpdate(plan or UpdatePlan("", 0, 0.0))
        self._progress = Progress(
            *self._columns(console.width),
            console=console,
            refresh_per_second=_REFRESH_PER_SECOND,
            redirect_stderr=redirect_stderr,
        )
        self._tasks: Dict[str, TaskID] = {}
        self._current: Optional[str] = None
        self._progress.start()

    def _columns(self, width: int) -> Iterator[ProgressColumn]:
        room = width - _BAR_LINE_NEEDS
        yield TextColumn("{task.description:<7}", table_column=Column(no_wrap=True))
        speed = room >= _SPEED_WIDTH + 5
        if speed:
            room -= _SPEED_WIDTH
        if room >= 5:
            yield BarColumn(bar_width=min(_MAX_BAR, room - 1))
        yield _counted(DownloadColumn)(table_column=Column(no_wrap=True))
        if speed:
            yield _counted(TransferSpeedColumn)(table_column=Column(no_wrap=True))
        yield _Time("eta", lambda task: task.time_remaining, counted=True)
        yield _Time("elapsed", lambda task: task.elapsed)
        yield _Time("update eta", lambda _: self._whole.seconds_left())

    def progress(self, device: str, stage: str, done: int, total: int) -> None:
        if stage == "connect":
            return
        self._whole.note(stage, done, total)
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

    shows_progress = True

    def __init__(
        self, console: Console, devices: List[str], redirect_stderr: bool, transient: bool = False
    ) -> None:
        self._devices = devices
        self._states = {device: _DeviceState() for device in devices}
        self._lock = threading.Lock()
        self._live = Live(
            self,
            console=console,
            refresh_per_second=_REFRESH_PER_SECOND,
            redirect_stderr=redirect_stderr,
            transient=transient,
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

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> Iterator[Table]:
        # The address stays whole; the bar, then the other columns give way to it.
        widest = max(len(device) for device in self._devices)
        bar = max(4, min(_FLEET_BAR, options.max_width - widest - _FLEET_ROW_NEEDS))
        table = Table(box=None, pad_edge=False, show_header=True)
        table.add_column("device", no_wrap=True, min_width=widest)
        table.add_column("phase", no_wrap=True, overflow="ellipsis")
        table.add_column("", no_wrap=True, width=bar)
        table.add_column("bytes", no_wrap=True, justify="right", overflow="ellipsis")
        table.add_column("rate", no_wrap=True, justify="right", overflow="ellipsis")
        now = time.monotonic()
        with self._lock:
            for device in self._devices:
                table.add_row(device, *self._row(self._states[device], now, bar))
        yield table

    @staticmethod
    def _row(s: _DeviceState, now: float, width: int) -> List[RenderableType]:
        if s.result is not None:
            r = s.result
            bar = ProgressBar(total=1, completed=1 if r.ok else 0, width=width)
            return [
                Text(outcome_word(r), style="green" if r.ok else "red"),
                bar,
                decimal(r.bytes_written),
                f"in {r.seconds['total']:.1f} s",
            ]
        bar = ProgressBar(total=s.total or None, completed=s.done, width=width)
        if not s.total:
            return [s.phase, bar, "", ""]
        elapsed = now - s.started
        rate = f"{decimal(int(s.done / elapsed))}/s" if elapsed > 0 else ""
        return [s.phase, bar, f"{decimal(s.done)}/{decimal(s.total)}", rate]

    def close(self) -> None:
        self._live.stop()


def make_view(
    out: TextIO, devices: List[str], quiet: bool, plan: Optional[UpdatePlan] = None
) -> View:
    """The view for `devices` on `out` (standard error: progress is no result): bars or a table
    on a terminal, lines otherwise; `plan` gives one device's bars the whole update's time left.
    Log lines (standard error) show above a live view when they go to the terminal too."""
    if quiet:
        return View()
    if not out.isatty():
        return _PlainLines(out, prefixed=len(devices) > 1)
    console = Console(file=out)
    redirect_stderr = sys.stderr.isatty()
    if len(devices) == 1:
        return _PhaseBars(console, redirect_stderr, plan)
    # Asking who devices are moves no bytes: the table goes once the summary can say it all.
    transient = plan is not None and plan.mode == "identify"
    return _FleetTable(console, devices, redirect_stderr, transient)


def outcome_word(result: DeviceResult) -> str:
    """The outcome, and the failure's kind when it says more: "failed: block-refused",
    "interrupted" (not "interrupted: interrupted"). The cause's words are the result's, shown once,
    at the end."""
    if result.ok or result.failure.label == result.outcome:
        return result.outcome
    return f"{result.outcome}: {result.failure.label}"


def _outcome_text(result: DeviceResult) -> str:
    if not result.ok:
        return outcome_word(result)
    text = f"{result.outcome} in {result.seconds['total']:.1f} s"
    if result.fpga_version_after:
        text += f", FPGA version {result.fpga_version_after}"
    return text
