"""Runs the benchmarks and prints one table; writes the same figures to bench/results.json.

    python bench/run_bench.py --build-dir BUILD [--runs 5] [--image-mib 1] [--only NAME ...]

NAME: updates, windows, fleet, fleetscale, memory, check (all by default). fleetscale runs
against the simulator of --build-dir, or the one --sim names (to compare simulators).

Every measured program runs in a process of its own: its CPU time comes from os.wait4, its peak
RSS from its own VmHWM (a child's ru_maxrss would include what this process held when it
started it). The update variants run interleaved, round by round, against one simulator.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Tuple

from fleet_scale import bench_fleetscale, report_fleetscale

from kestrix.tools.sim_cli import start_simulator, start_simulators, stop_simulator

HERE = Path(__file__).resolve().parent
PAGE = 16


def run(cmd: List[str]) -> Tuple[str, float, float]:
    """Runs cmd with its standard output discarded; returns (standard error, wall seconds,
    CPU seconds)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    err = proc.stderr.read().decode() if proc.stderr else ""
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{cmd[0]} failed ({proc.returncode}): {err.strip()}")
    return err, wall, usage.ru_utime + usage.ru_stime


def make_image(path: Path, size: int) -> Path:
    path.write_bytes(os.urandom(size))
    return path


def bench_updates(args, work: Path) -> Dict[str, Dict[str, float]]:
    image = make_image(work / "bench.bin", args.image_mib << 20)
    pages = (image.stat().st_size + PAGE - 1) // PAGE
    build = Path(args.build_dir)
    py = sys.executable
    proc, host, port = start_simulator(binary=build / "cpp" / "kestrix-sim")
    variants = {
        "floor": [
            str(build / "bench" / "kestrix_floor_client"),
            host,
            str(port),
            str(image.stat().st_size),
        ],
        "C++ API": [str(build / "bench" / "kestrix_cpp_update"), host, str(port), str(image)],
        "Python API": [py, str(HERE / "py_update.py"), "native", host, str(port), str(image)],
        "Python connection": [
            py,
            str(HERE / "py_update.py"),
            "pyconn",
            host,
            str(port),
            str(image),
        ],
        # What a user types; its display goes to /dev/null, so it is the plain-lines one.
        "CLI": [
            shutil.which("kestrix-flash", path=str(Path(py).parent)) or "kestrix-flash",
            "update",
            str(image),
            "--address",
            f"{host}:{port}",
            "--device-type",
            "28",
            "--skip-init",
            "--quiet",
        ],
    }
    samples: Dict[str, List[Tuple[float, float, int]]] = {name: [] for name in variants}
    try:
        for _ in range(args.runs):
            for name, cmd in variants.items():
                err, wall, cpu = run(cmd)
                if name == "CLI":  # its own wall time, process start included; RSS not taken
                    samples[name].append((wall, cpu, -1))
                    continue
                seconds, rss = err.split()[:2]
                samples[name].append((float(seconds), cpu, int(rss)))
    finally:
        stop_simulator(proc)
    return summarise(samples, pages)


def bench_windows(args, work: Path) -> Dict[str, float]:
    """The transfer window: window 32 against window 1 behind a 150 us reply delay, and window 32
    against the lock-step protocol floor on loopback."""
    image = make_image(work / "window.bin", args.image_mib << 20)
    build = Path(args.build_dir)
    py = sys.executable
    sim = build / "cpp" / "kestrix-sim"
    slow, slow_host, slow_port = start_simulator("--latency-us", "150", binary=sim)
    fast, fast_host, fast_port = start_simulator(binary=sim)

    def python_api(host: str, port: int, window: int) -> List[str]:
        return [py, str(HERE / "py_update.py"), "native", host, str(port), str(image), str(window)]

    variants = {
        "150 us, window 1": python_api(slow_host, slow_port, 1),
        "150 us, window 32": python_api(slow_host, slow_port, 32),
        "loopback, floor": [
            str(build / "bench" / "kestrix_floor_client"),
            fast_host,
            str(fast_port),
            str(image.stat().st_size),
        ],
        "loopback, window 32": python_api(fast_host, fast_port, 32),
    }
    seconds: Dict[str, List[float]] = {name: [] for name in variants}
    try:
        for _ in range(args.runs):
            for name, cmd in variants.items():
                err, _, _ = run(cmd)
                seconds[name].append(float(err.split()[0]))
    finally:
        stop_simulator(slow)
        stop_simulator(fast)
    median = {name: statistics.median(values) for name, values in seconds.items()}
    return {
        **{f"{name} seconds": value for name, value in median.items()},
        "speed-up at 150 us": median["150 us, window 1"] / median["150 us, window 32"],
        "window 32 / floor on loopback": median["loopback, window 32"] / median["loopback, floor"],
    }


def _fleet_run(image: Path, devices: List[str]) -> Tuple[float, float]:
    err, _, cpu = run([sys.executable, str(HERE / "fleet_update.py"), str(image), "1", *devices])
    seconds, _, ok = err.split()[:3]
    if int(ok) != len(devices):
        raise RuntimeError(f"only {ok} of {len(devices)} devices verified")
    return float(seconds), cpu


def bench_fleet(args, work: Path) -> Dict[str, object]:
    """N simulated devices behind a 150 us reply delay updated at once, against one: wall time
    over one device's, and host CPU per device update; then larger fleets until the ratio
    passes 2."""
    image = make_image(work / "fleet.bin", 256 << 10)
    sim = Path(args.build_dir) / "cpp" / "kestrix-sim"

    def fleet(count: int, runs: int) -> Tuple[float, float]:
        proc, where = start_simulators(count, "--latency-us", "150", binary=sim)
        try:
            rows = [_fleet_run(image, [f"{h}:{p}" for h, p in where]) for _ in range(runs)]
        finally:
            stop_simulator(proc)
        return statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows)

    one_wall, one_cpu = fleet(1, args.runs)
    sizes: Dict[str, Dict[str, float]] = {}
    largest = 1
    for count in (16, 32, 64, 128):
        wall, cpu = fleet(count, args.runs if count == 16 else 3)
        ratio = wall / one_wall
        sizes[str(count)] = {
            "seconds": wall,
            "ratio_to_one": ratio,
            "host_cpu_s_per_device": cpu / count,
        }
        if ratio > 2:
            break
        largest = count
    return {
        "one_device_seconds": one_wall,
        "one_device_host_cpu_s": one_cpu,
        "fleets": sizes,
        "largest_fleet_within_2x": largest,
    }


def summarise(samples, pages) -> Dict[str, Dict[str, float]]:
    results = {}
    for name, rows in samples.items():
        results[name] = {
            "seconds": statistics.median(r[0] for r in rows),
            "cpu_us_per_block": statistics.median(r[1] for r in rows) / (2 * pages) * 1e6,
            "peak_rss_mib": max(r[2] for r in rows) / 1024 if rows[0][2] >= 0 else None,
        }
    floor = results["floor"]["seconds"]
    floor_cpu = results["floor"]["cpu_us_per_block"]
    for row in results.values():
        row["ratio_to_floor"] = row["seconds"] / floor
        row["cpu_ratio_to_floor"] = row["cpu_us_per_block"] / floor_cpu
    return results


_CHECK_WITH_RSS = """
import sys
from kestrix.tools.flash_cli import main
status = main(["check", sys.argv[1]])
with open("/proc/self/status") as f:
    print([line.split()[1] for line in f if line.startswith("VmHWM:")][0], file=sys.stderr)
sys.exit(status)
"""


def bench_check(args, work: Path) -> Dict[str, float]:
    raw = make_image(work / "big.bin", args.check_mib << 20)
    tbin = work / "big.tbin"
    flash_cli = shutil.which("kestrix-flash", path=str(Path(sys.executable).parent))
    run([flash_cli, "pack", str(raw), str(tbin), "--dev-type", "32"])
    raw.unlink()
    check_times, openssl_times = [], []
    for _ in range(args.runs):
        _, wall, _ = run([flash_cli, "check", str(tbin)])
        check_times.append(wall)
        _, wall, _ = run(["openssl", "dgst", "-sha256", "-hmac", "benchmark-key", str(tbin)])
        openssl_times.append(wall)
    rss = int(run([sys.executable, "-c", _CHECK_WITH_RSS, str(tbin)])[0].split()[-1])
    size_mib = tbin.stat().st_size / (1 << 20)
    check = statistics.median(check_times)
    openssl = statistics.median(openssl_times)
    return {
        "file_mib": size_mib,
        "check_mib_per_s": size_mib / check,
        "openssl_mib_per_s": size_mib / openssl,
        "ratio_to_openssl": openssl / check,
        "check_peak_rss_mib": rss / 1024,
    }


def bench_memory(args, work: Path) -> Dict[str, float]:
    build = Path(args.build_dir)
    proc, host, port = start_simulator(binary=build / "cpp" / "kestrix-sim")
    rss = {}
    try:
        for label, size in (("64 KiB", 64 << 10), ("4 MiB", 4 << 20)):
            image = make_image(work / f"mem-{size}.bin", size)
            err, _, _ = run(
                [sys.executable, str(HERE / "py_update.py"), "native", host, str(port), str(image)]
            )
            rss[label] = int(err.split()[1]) / 1024
    finally:
        stop_simulator(proc)
    return {
        "rss_64k_mib": rss["64 KiB"],
        "rss_4m_mib": rss["4 MiB"],
        "difference_mib": rss["4 MiB"] - rss["64 KiB"],
    }


SECTIONS = ("updates", "windows", "fleet", "fleetscale", "memory", "check")


def report_updates(args, updates: Dict[str, Dict[str, float]]) -> None:
    targets = {"C++ API": 1.10, "Python API": 1.05}
    print(
        f"Update of a {args.image_mib} MiB raw image, device type 28, median of {args.runs} "
        "interleaved runs, simulator on loopback"
    )
    print(
        f"{'variant':<20}{'seconds':>10}{'x floor':>10}{'target':>9}"
        f"{'CPU us/exch':>13}{'CPU x floor':>13}{'peak RSS MiB':>14}"
    )
    for name, row in updates.items():
        target = f"<={targets[name]:.2f}" if name in targets else ""
        print(
            f"{name:<20}{row['seconds']:>10.3f}{row['ratio_to_floor']:>10.3f}{target:>9}"
            f"{row['cpu_us_per_block']:>13.2f}{row['cpu_ratio_to_floor']:>13.2f}"
            f"{'-' if row['peak_rss_mib'] is None else format(row['peak_rss_mib'], '.1f'):>14}"
        )
    print("(Python API target on CPU: <=1.30 x floor)")


def report_windows(args, windows: Dict[str, float]) -> None:
    print(f"\nTransfer window, {args.image_mib} MiB raw image, Python API, median of {args.runs}")
    for name, value in windows.items():
        print(f"  {name:<34}{value:>10.3f}")
    print("  (targets: speed-up at 150 us >= 10; window 32 / floor on loopback < 0.5)")


def report_fleet(fleet: Dict[str, object]) -> None:
    print("\nFleet of simulated devices, 256 KiB each, replies delayed 150 us, all at once")
    print(
        f"  one device: {fleet['one_device_seconds']:.2f} s, host CPU "
        f"{fleet['one_device_host_cpu_s']:.2f} s"
    )
    sizes = fleet["fleets"]
    assert isinstance(sizes, dict)
    for count, row in sizes.items():
        print(
            f"  {count:>4} devices: {row['seconds']:.2f} s, {row['ratio_to_one']:.2f} x one "
            f"device, host CPU {row['host_cpu_s_per_device']:.3f} s per device"
        )
    print(
        f"  largest fleet within 2 x one device's time: {fleet['largest_fleet_within_2x']}"
        " (target for 16 devices: <= 1.3 x)"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--image-mib", type=int, default=1)
    parser.add_argument("--check-mib", type=int, default=256)
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=list(SECTIONS))
    parser.add_argument("--sim", help="the kestrix-sim binary of the fleetscale section")
    parser.add_argument("--output", default=str(HERE / "results.json"))
    args = parser.parse_args()

    results: Dict[str, object] = {"runs": args.runs, "image_mib": args.image_mib}
    with tempfile.TemporaryDirectory(prefix="kestrix-bench-") as tmp:
        work = Path(tmp)
        if "updates" in args.only:
            results["updates"] = bench_updates(args, work)
            report_updates(args, results["updates"])  # type: ignore[arg-type]
        if "windows" in args.only:
            results["windows"] = bench_windows(args, work)
            report_windows(args, results["windows"])  # type: ignore[arg-type]
        if "fleet" in args.only:
            results["fleet"] = bench_fleet(args, work)
            report_fleet(results["fleet"])  # type: ignore[arg-type]
        if "fleetscale" in args.only:
            results["fleetscale"] = bench_fleetscale(args, work)
            report_fleetscale(args, results["fleetscale"])
        if "memory" in args.only:
            memory = bench_memory(args, work)
            results["memory"] = memory
            print(
                f"\nRaw update peak RSS: 64 KiB image {memory['rss_64k_mib']:.1f} MiB, 4 MiB "
                f"image {memory['rss_4m_mib']:.1f} MiB, difference "
                f"{memory['difference_mib']:.1f} MiB"
            )
        if "check" in args.only:
            check = bench_check(args, work)
            results["check"] = check
            print(
                f"\nImage check of a {check['file_mib']:.0f} MiB tbin: kestrix-flash check "
                f"{check['check_mib_per_s']:.0f} MiB/s, openssl dgst -sha256 -hmac "
                f"{check['openssl_mib_per_s']:.0f} MiB/s, ratio {check['ratio_to_openssl']:.2f} "
                f"(target >=0.80), peak RSS {check['check_peak_rss_mib']:.1f} MiB"
            )
    Path(args.output).write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
