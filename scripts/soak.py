#!/usr/bin/env python3
"""Reliability soak of the FPGA update: many updates in a row, each against a fresh simulator
with a fault drawn at random, through the installed package exactly as a user calls it.

    python scripts/soak.py [--seed 1] [--count 50] [--reply-timeout 1] [--guard 60]

Every draw (fault, image size, .bin or .tbin, device type, transfer window, image bytes) comes
from one generator seeded by --seed, so a run can be repeated. Each update runs in a worker
process with a hard wall-clock guard: one that has not returned when the guard expires is a hang
and is killed.
After an update reported successful, the simulator's flash is hashed over a new connection and
must equal the image.

Exit status: 0 when every reported success matched the flash and nothing hung; 1 otherwise;
2 when the soak itself could not run (a simulator that would not start, for instance).
"""

import argparse
import hashlib
import logging
import math
import multiprocessing
import os
import random
import re
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from kestrix import KRXFlash
from kestrix.KRXCommService import _TCPConn
from kestrix.KRXUtils import RetCode, _RspType
from kestrix.tools.sim_cli import start_simulator, stop_simulator

FAULTS = [
    "none",
    "refuse-blocks",
    "refuse-from",
    "corrupt-read",
    "close-after",
    "stall-after",
    "garbage",
]
# "none" twice as often as any single fault, so clean updates are well represented.
FAULT_WEIGHTS = [2, 1, 1, 1, 1, 1, 1]
# Device types 28 and 30 mostly: type 32 waits 3 s after every update; others are rare.
DEVICE_TYPES = [28, 30, 32, 7, 33, 255]
DEVICE_WEIGHTS = [45, 30, 12, 4, 4, 5]
# Half the updates one command at a time, half with a transfer window.
WINDOWS = [1, 2, 8, 32]
WINDOW_WEIGHTS = [3, 1, 1, 1]
MAX_PAGES = 200
PAGE = 16
# Seconds the soak's own queries of the simulator may take.
QUERY_TIMEOUT = 5.0


@dataclass
class Plan:
    index: int
    fault: str
    fault_args: List[str]
    size: int
    tbin: bool
    device_type: int
    window: int = 1

    def describe(self) -> str:
        fault = " ".join([self.fault, *self.fault_args])
        kind = "tbin" if self.tbin else "bin"
        return (
            f"#{self.index:02d} {fault:<22} {self.size:5d} B {kind:<4} type {self.device_type:<3}"
            f" window {self.window}"
        )


@dataclass
class Outcome:
    plan: Plan
    status: str  # "success", "failure" or "hang"
    kind: str = ""  # what the failure was
    seconds: float = 0.0
    flash_ok: Optional[bool] = None  # successes only: the flash held the image


@dataclass
class Tally:
    outcomes: List[Outcome] = field(default_factory=list)

    def add(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)


def commands_in_update(size: int, device_type: int) -> int:
    """Device commands a clean update sends (debug queries excluded)."""
    pages = math.ceil(size / PAGE)
    erase = 1 if device_type in (28, 32) else 0
    reinit = 1 if device_type == 32 else 0
    version = 1 if device_type in (28, 32) else 0
    return erase + 1 + pages + 1 + pages + 2 + reinit + version


def draw_plan(rng: random.Random, index: int) -> Plan:
    fault = rng.choices(FAULTS, FAULT_WEIGHTS)[0]
    if rng.random() < 0.5:
        size = PAGE * rng.randint(1, MAX_PAGES)
    else:
        size = rng.randint(2, PAGE * MAX_PAGES)
        if size % PAGE == 0:
            size += rng.randint(1, PAGE - 1)
    tbin = rng.random() < 0.5
    device_type = rng.choices(DEVICE_TYPES, DEVICE_WEIGHTS)[0]
    total = commands_in_update(size, device_type)
    args: List[str] = []
    if fault == "refuse-blocks":
        args = [str(rng.randint(1, 12))]  # the tool gives a block up after 10 refusals
    elif fault == "refuse-from":
        args = [str(rng.randrange(0, size + 3 * PAGE))]
    elif fault == "corrupt-read":
        args = [str(rng.randrange(0, size + 2 * PAGE))]
    elif fault in ("close-after", "stall-after"):
        # A quarter of them strike among the last commands (done, refresh, re-initialisation,
        # version) or just after the update, where a failure could pass for a success.
        if rng.random() < 0.25:
            args = [str(rng.randint(max(1, total - 4), total + 1))]
        else:
            args = [str(rng.randint(1, total + 3))]
    window = rng.choices(WINDOWS, WINDOW_WEIGHTS)[0]
    return Plan(index, fault, args, size, tbin, device_type, window)


def write_image(plan: Plan, data: bytes, directory: Path) -> str:
    raw = directory / f"image{plan.index:02d}.bin"
    raw.write_bytes(data)
    if not plan.tbin:
        return str(raw)
    packed = directory / f"image{plan.index:02d}.tbin"
    KRXFlash._pack_image(str(raw), str(packed), dev_type=plan.device_type)
    return str(packed)


def failure_kind(error: Exception, host: str, port: int) -> str:
    """The exception's type and message, with the address and numbers made generic so that
    failures of one kind count together."""
    text = str(error).replace(f"{host}:{port}", "HOST")
    text = re.sub(r"(?<![-\w])\d+(\.\d+)?(?!\w)", "N", text)
    if len(text) > 72:
        text = text[:69] + "..."
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def run_update(
    host: str,
    port: int,
    image_path: str,
    device_type: int,
    window: int,
    reply_timeout: float,
    results,
) -> None:
    """Worker process: one update through the public API; sends back ("success", "") or
    ("failure", kind)."""
    # The progress display and the library's log lines would drown the table.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.stdout = open(os.devnull, "w")
    logging.getLogger().addHandler(logging.NullHandler())
    try:
        conn = _TCPConn(host, port, connect_timeout=QUERY_TIMEOUT, timeout=reply_timeout)
        if not conn.initConnection():
            results.send(("failure", "connect refused"))
            return
        try:
            tool = KRXFlash.FpgaTool(connection=conn, window=window)
            ret = tool.processFpgaUpdate(image_path, device_type)
        finally:
            conn.closeConnection()
        data = ret.RetData
        if ret.RetCode is RetCode.OK and isinstance(data, dict) and data.get("success") is True:
            results.send(("success", ""))
        else:
            results.send(("failure", f"{ret.RetCode.name}: {ret.RetMsg}"))
    except Exception as error:  # every failure is a finding to count, not a reason to stop
        results.send(("failure", failure_kind(error, host, port)))


def flash_digest(host: str, port: int, length: int) -> str:
    conn = _TCPConn(host, port, connect_timeout=QUERY_TIMEOUT, timeout=QUERY_TIMEOUT)
    if not conn.initConnection():
        raise ConnectionError(f"simulator at {host}:{port} does not accept a connection")
    try:
        query = f"SIM_FLASH_SHA256? {length}\r\n".encode()
        return str(conn.sendCmd(query, _RspType.RSP_STRING).RetData)
    finally:
        conn.closeConnection()


def soak_one(
    plan: Plan, data: bytes, image_path: str, reply_timeout: float, guard: float, context
) -> Outcome:
    process, host, port = start_simulator(
        *([f"--{plan.fault}", *plan.fault_args] if plan.fault != "none" else [])
    )
    try:
        receiver, sender = context.Pipe(duplex=False)
        worker = context.Process(
            target=run_update,
            args=(host, port, image_path, plan.device_type, plan.window, reply_timeout, sender),
        )
        started = time.monotonic()
        worker.start()
        sender.close()
        got = receiver.poll(guard)
        seconds = time.monotonic() - started
        if not got:
            worker.kill()
            worker.join()
            return Outcome(plan, "hang", f"no return within {guard:g} s", seconds)
        try:
            status, kind = receiver.recv()
        except EOFError:
            status, kind = "failure", "worker died"
        worker.join(QUERY_TIMEOUT)
        if worker.is_alive():
            worker.kill()
            worker.join()
            return Outcome(plan, "hang", "worker did not exit after its update", seconds)
        outcome = Outcome(plan, status, kind, seconds)
        if status == "success":
            expected = hashlib.sha256(data).hexdigest()
            outcome.flash_ok = flash_digest(host, port, len(data)) == expected
        return outcome
    finally:
        stop_simulator(process)


def print_table(tally: Tally, seconds: float) -> Tuple[int, int]:
    outcomes = tally.outcomes
    successes = [o for o in outcomes if o.status == "success"]
    matched = sum(1 for o in successes if o.flash_ok)
    hangs = [o for o in outcomes if o.status == "hang"]
    failures = Counter(o.kind for o in outcomes if o.status == "failure")

    print()
    print(f"{'fault':<14} {'runs':>4} {'success':>7} {'flash ok':>8} {'failed':>6} {'hang':>4}")
    per_fault: Dict[str, Counter] = {}
    for o in outcomes:
        c = per_fault.setdefault(o.plan.fault, Counter())
        c["runs"] += 1
        c[o.status] += 1
        if o.flash_ok:
            c["flash ok"] += 1
    for fault in FAULTS:
        c = per_fault.get(fault)
        if c is None:
            continue
        print(
            f"{fault:<14} {c['runs']:>4} {c['success']:>7} {c['flash ok']:>8} "
            f"{c['failure']:>6} {c['hang']:>4}"
        )
    print(
        f"{'total':<14} {len(outcomes):>4} {len(successes):>7} {matched:>8} "
        f"{sum(failures.values()):>6} {len(hangs):>4}"
    )
    print()
    print("failures by kind:")
    for kind, count in failures.most_common():
        print(f"  {count:>3}  {kind}")
    if not failures:
        print("    -")
    slowest = max((o.seconds for o in outcomes), default=0.0)
    print()
    print(
        f"updates reported successful: {len(successes)}, flash equal to the image: {matched}, "
        f"hangs: {len(hangs)}; slowest update {slowest:.1f} s, soak {seconds:.0f} s"
    )
    return len(successes) - matched, len(hangs)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of every draw (1)")
    parser.add_argument("--count", type=int, default=50, help="updates to run (50)")
    parser.add_argument(
        "--reply-timeout", type=float, default=1.0, help="seconds each reply may take (1)"
    )
    parser.add_argument(
        "--guard", type=float, default=60.0, help="seconds after which an update is a hang (60)"
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="one line per update")
    args = parser.parse_args(argv)

    rng = random.Random(args.seed)
    # fork where there is one: a worker then starts in milliseconds, not a fresh interpreter.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else "spawn")
    tally = Tally()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kestrix-soak-") as tmp:
        for index in range(1, args.count + 1):
            plan = draw_plan(rng, index)
            data = rng.randbytes(plan.size)
            image_path = write_image(plan, data, Path(tmp))
            try:
                outcome = soak_one(plan, data, image_path, args.reply_timeout, args.guard, context)
            except (OSError, RuntimeError) as error:
                print(f"{plan.describe()}: the soak could not run it: {error}", file=sys.stderr)
                return 2
            tally.add(outcome)
            if args.verbose or outcome.status == "hang" or outcome.flash_ok is False:
                flash = {None: "", True: " flash ok", False: " FLASH DIFFERS"}[outcome.flash_ok]
                print(
                    f"{plan.describe()}: {outcome.status} {outcome.kind}{flash} "
                    f"({outcome.seconds:.1f} s)",
                    flush=True,
                )
    false_successes, hangs = print_table(tally, time.monotonic() - started)
    return 1 if false_successes or hangs else 0


if __name__ == "__main__":
    sys.exit(main())
