"""How ``kestrix-flash`` stops on a signal: SIGTERM (systemd, ``timeout``, a cancelled CI job)
and SIGHUP (a closed terminal) stop a command the way Ctrl-C does. Each running device stops and
reports where it stood, every device gets its audit line, a bundled simulator is stopped, and the
exit status is 128 + the signal (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).

Only the command line installs these handlers; a program that uses the package keeps its own.
"""

import contextlib
import signal
import threading
from typing import Iterator, List

__all__ = ["Interrupted", "stop_on_signals", "stopping", "interrupted_status"]

_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Set from the first signal until the command ends.
_stopping = threading.Event()


class Interrupted(KeyboardInterrupt):
    """A signal asked the command to stop; ``signum`` is which."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"stopped by {signal.Signals(signum).name}")
        self.signum = signum


def stopping() -> bool:
    """Whether a signal is stopping the command: the devices are reporting where they stood."""
    return _stopping.is_set()


def interrupted_status(signum: int) -> int:
    """The exit status of a command stopped by ``signum``, as shells report it."""
    return 128 + signum


@contextlib.contextmanager
def stop_on_signals() -> Iterator[List[int]]:
    """While the block runs, the first of SIGINT, SIGTERM and SIGHUP raises Interrupted; later
    ones are only noted, so stopping (the devices' reports, the records, the summary) is never
    cut short by a second signal. Yields the signals received, in order. Outside the main thread
    nothing is installed."""
    received: List[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield received
        return

    def handler(signum: int, _frame: object) -> None:
        received.append(signum)
        if len(received) == 1:
            _stopping.set()
            raise Interrupted(signum)

    previous = {sig: signal.signal(sig, handler) for sig in _SIGNALS}
    try:
        yield received
    finally:
        for sig, old in previous.items():
            signal.signal(sig, old)
        _stopping.clear()
