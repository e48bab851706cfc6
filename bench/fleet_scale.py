"""Fleets at scale against one simulator process: the section "fleetscale" of run_bench.py.

Every case updates a raw image of IMAGE_MIB MiB on each device, device type 28 without
initialisation, window 32, against ONE simulator process serving every device with replies
delayed 150 us (and its default flash size). The cases: the windowed protocol floor
(kestrix_floor_client, WINDOW commands per write, replies read as they come) on one device, then
`kestrix-flash update ... --window 32 --jobs N` on 1, 16, 64 and 256 devices (a job's thread
per device, which waits while the event loop's threads, one per core, run the block transfers:
the 256 case shows what the threads and descriptors cost); then the largest fleet whose wall
time stays within 4 x one device's, found by halving the gap between the measured sizes.

Per case, medians of RUNS runs:
  wall            seconds from starting the client process to its exit
  client CPU      user + system seconds of the client process (os.wait4), per device-MiB
  sim CPU/exch    the simulator's CPU time over the run (/proc/PID/schedstat, nanoseconds;
                  /proc/PID/stat utime + stime where that is missing) divided by the commands
                  its devices handled in the run (the SIM_STATS? "commands" counters)
  client RSS      the client's VmHWM, sampled every 10 ms while it runs (the last sample)
  sim RSS         the simulator's VmHWM after the case's runs
  threads         the most threads the client process had at one sample
  fds             the most file descriptors the client process had open at one sample
"""

import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Dict, List, Sequence, Tuple

from kestrix.tools.sim_cli import start_simulators, stop_simulator

LATENCY_US = "150"
WINDOW = 32
RUNS = 3
FLEET_SIZES = (1, 16, 64, 256)
# The largest fleet within LARGEST_RATIO x one device is searched between the measured sizes
# down to a gap of this many devices.
LARGEST_STEP = 8
LARGEST_RATIO = 4.0
# The simulator holding this many idle devices with the default flash: its memory without writes.
IDLE_DEVICES = 256
SAMPLE_SECONDS = 0.01

# The figures this project holds itself to on a 2-core machine.
TARGET_ONE_OVER_FLOOR = 1.25
TARGET_16_OVER_ONE = 2.0
TARGET_CLIENT_CPU_AT_64 = 0.10

Where = List[Tuple[str, int]]


def _cpu_seconds(pid: int) -> float:
    """The CPU time a process has used so far (a single-threaded one: the simulator)."""
    try:
        with open(f"/proc/{pid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _status(pid: int, key: str) -> int:
    """A number from /proc/PID/status (kB for the memory ones); -1 when it cannot be read."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return -1


class _Sampler(threading.Thread):
    """Samples a running process's thread count and VmHWM until it ends."""

    def __init__(self, pid: int) -> None:
        super().__init__(daemon=True)
        self.pid = pid
        self.threads = 0
        self.fds = 0
        self.hwm_kib = -1
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.is_set():
            threads = _status(self.pid, "Threads")
            hwm = _status(self.pid, "VmHWM")
            if threads < 0 or hwm < 0:
                return
            self.threads = max(self.threads, threads)
            try:
                self.fds = max(self.fds, len(os.listdir(f"/proc/{self.pid}/fd")))
            except OSError:
                return
            self.hwm_kib = max(self.hwm_kib, hwm)
            self.done.wait(SAMPLE_SECONDS)


def _device_commands(where: Where) -> int:
    """The commands the simulated devices have handled so far, all together."""
    total = 0
    for host, port in where:
        with socket.create_connection((host, port), timeout=10) as s:
            s.sendall(b"SIM_STATS?\r\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        total += int(json.loads(reply)["commands"])
    return total


def _measure(cmd: Sequence[str], sim_pid: int, where: Where) -> Dict[str, float]:
    commands_before = _device_commands(where)
    cpu_before = _cpu_seconds(sim_pid)
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    sampler = _Sampler(proc.pid)
    sampler.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    sampler.done.set()
    sampler.join()
    sim_cpu = _cpu_seconds(sim_pid) - cpu_before
    err = proc.stderr.read().decode() if proc.stderr else ""
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{cmd[0]} failed ({proc.returncode}): {err.strip()[-2000:]}")
    exchanges = _device_commands(where) - commands_before
    return {
        "wall": wall,
        "client_cpu": usage.ru_utime + usage.ru_stime,
        "sim_cpu_us_per_exchange": sim_cpu / max(exchanges, 1) * 1e6,
        "client_rss_mib": sampler.hwm_kib / 1024,
        "threads": sampler.threads,
        "fds": sampler.fds,
    }


def _median_case(
    make_cmd, count: int, image_mib: int, sim: Path, runs: int, sim_args: Sequence[str] = ()
) -> Dict[str, float]:
    proc, where = start_simulators(count, "--latency-us", LATENCY_US, *sim_args, binary=sim)
    try:
        rows = [_measure(make_cmd(where), proc.pid, where) for _ in range(runs)]
        sim_rss = _status(proc.pid, "VmHWM") / 1024
    finally:
        stop_simulator(proc)
    row = {key: statistics.median(r[key] for r in rows) for key in rows[0]}
    row["threads"] = max(r["threads"] for r in rows)
    row["fds"] = max(r["fds"] for r in rows)
    row["client_cpu_s_per_device_mib"] = row.pop("client_cpu") / (count * image_mib)
    row["sim_rss_mib"] = sim_rss
    row["devices"] = count
    return row


def _idle_simulator_rss(sim: Path) -> float:
    """The resident memory of one simulator process holding IDLE_DEVICES devices."""
    proc, _ = start_simulators(IDLE_DEVICES, binary=sim, timeout=60.0)
    try:
        return _status(proc.pid, "VmHWM") / 1024
    finally:
        stop_simulator(proc)


def _largest_within(cases: Dict[str, Dict[str, float]], one: float, fleet) -> int:
    """The largest fleet whose wall time is within LARGEST_RATIO x one device's: the largest
    measured size within, then the gap up to the next measured size halved while it is wider
    than LARGEST_STEP (more devices never take less time)."""

    def within(count: int) -> bool:
        return cases[str(count)]["wall"] <= LARGEST_RATIO * one

    largest = max(n for n in FLEET_SIZES if within(n))
    above = min((n for n in FLEET_SIZES if n > largest), default=None)
    while above is not None and above - largest > LARGEST_STEP:
        middle = (largest + above) // 2
        cases[str(middle)] = fleet(middle)
        if within(middle):
            largest = middle
        else:
            above = middle
    return largest


def bench_fleetscale(args, work: Path) -> Dict[str, object]:
    build = Path(args.build_dir)
    sim = Path(args.sim) if args.sim else build / "cpp" / "kestrix-sim"
    image = work / "scale.bin"
    image.write_bytes(os.urandom(args.image_mib << 20))
    size = str(image.stat().st_size)
    floor = str(build / "bench" / "kestrix_floor_client")
    flash = shutil.which("kestrix-flash", path=str(Path(sys.executable).parent)) or "kestrix-flash"

    def floor_cmd(where: Where) -> List[str]:
        host, port = where[0]
        return [floor, host, str(port), size, str(WINDOW)]

    def flash_cmd(where: Where) -> List[str]:
        addresses = [a for host, port in where for a in ("--address", f"{host}:{port}")]
        return [flash, "update", str(image), *addresses, "--window", str(WINDOW), "--jobs",
                str(len(where)), "--device-type", "28", "--skip-init", "--quiet"]  # fmt: skip

    def fleet(count: int) -> Dict[str, float]:
        return _median_case(flash_cmd, count, args.image_mib, sim, RUNS)

    cases: Dict[str, Dict[str, float]] = {
        "floor": _median_case(floor_cmd, 1, args.image_mib, sim, RUNS)
    }
    for count in FLEET_SIZES:
        cases[str(count)] = fleet(count)
    one = cases["1"]["wall"]
    largest = _largest_within(cases, one, fleet)
    for row in cases.values():
        row["ratio_to_one"] = row["wall"] / one
        row["ratio_to_floor"] = row["wall"] / cases["floor"]["wall"]
    return {
        "latency_us": int(LATENCY_US),
        "window": WINDOW,
        "runs": RUNS,
        "cases": cases,
        "one_device_over_floor": one / cases["floor"]["wall"],
        "sixteen_over_one": cases["16"]["wall"] / one,
        "client_cpu_s_per_device_mib_at_64": cases["64"]["client_cpu_s_per_device_mib"],
        "client_rss_mib_per_device": (cases["256"]["client_rss_mib"] - cases["1"]["client_rss_mib"])
        / 255,
        "largest_fleet_within_4x": largest,
        "idle_sim_rss_mib": {str(IDLE_DEVICES): _idle_simulator_rss(sim)},
    }


def _verdict(value: float, limit: float) -> str:
    return f"{value:.2f} ({'met' if value <= limit else 'NOT met'}, target <= {limit:.2f})"


def report_fleetscale(args, scale: Dict[str, object]) -> None:
    cases = scale["cases"]
    assert isinstance(cases, dict)
    print(
        f"\nFleets against one simulator process, {args.image_mib} MiB raw image per device, "
        f"device type 28 without init, window {WINDOW}, replies delayed {LATENCY_US} us, "
        f"median of {RUNS}"
    )
    print(
        f"{'case':<14}{'wall s':>9}{'x one':>8}{'x floor':>9}{'client CPU':>12}"
        f"{'sim CPU':>10}{'client RSS':>12}{'sim RSS':>10}{'threads':>9}{'fds':>6}"
    )
    print(f"{'':<14}{'':>9}{'':>8}{'':>9}{'s/dev-MiB':>12}{'us/exch':>10}{'MiB':>12}{'MiB':>10}")
    ordered = sorted(cases.items(), key=lambda kv: -1 if kv[0] == "floor" else int(kv[0]))
    for name, row in ordered:
        label = f"floor W={WINDOW}" if name == "floor" else f"{name} device" + ("s" * (name != "1"))
        print(
            f"{label:<14}{row['wall']:>9.2f}{row['ratio_to_one']:>8.2f}{row['ratio_to_floor']:>9.2f}"
            f"{row['client_cpu_s_per_device_mib']:>12.3f}{row['sim_cpu_us_per_exchange']:>10.2f}"
            f"{row['client_rss_mib']:>12.1f}{row['sim_rss_mib']:>10.1f}{row['threads']:>9d}"
            f"{row['fds']:>6d}"
        )
    print(
        f"  one device / floor: {_verdict(scale['one_device_over_floor'], TARGET_ONE_OVER_FLOOR)}"
    )
    print(f"  16 devices / one:   {_verdict(scale['sixteen_over_one'], TARGET_16_OVER_ONE)}")
    print(
        "  client CPU at 64:   "
        f"{_verdict(scale['client_cpu_s_per_device_mib_at_64'], TARGET_CLIENT_CPU_AT_64)} s/dev-MiB"
    )
    print(
        f"  largest fleet within {LARGEST_RATIO:.0f} x one device: "
        f"{scale['largest_fleet_within_4x']}"
    )
    print(
        "  client memory per further device (1 to 256): "
        f"{scale['client_rss_mib_per_device'] * 1024:.0f} KiB"
    )
    idle = scale["idle_sim_rss_mib"]
    assert isinstance(idle, dict)
    for count, mib in idle.items():
        print(f"  simulator with {count} idle devices (default flash size): RSS {mib:.1f} MiB")
