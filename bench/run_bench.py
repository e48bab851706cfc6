"""Runs the benchmarks and prints one table; writes the same figures to bench/results.json.

    python bench/run_bench.py --build-dir build/bench [--runs 5] [--image-mib 1]

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

from kestrix.tools.sim_cli import start_simulator, stop_simulator

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
    }
    samples: Dict[str, List[Tuple[float, float, int]]] = {name: [] for name in variants}
    try:
        for _ in range(args.runs):
            for name, cmd in variants.items():
                err, _, cpu = run(cmd)
                seconds, rss = err.split()[:2]
                samples[name].append((float(seconds), cpu, int(rss)))
    finally:
        stop_simulator(proc)
    return summarise(samples, pages)


def summarise(samples, pages) -> Dict[str, Dict[str, float]]:
    results = {}
    for name, rows in samples.items():
        results[name] = {
            "seconds": statistics.median(r[0] for r in rows),
            "cpu_us_per_block": statistics.median(r[1] for r in rows) / (2 * pages) * 1e6,
            "peak_rss_mib": max(r[2] for r in rows) / 1024,
        }
    floor = results["floor"]["seconds"]
    for row in results.values():
        row["ratio_to_floor"] = row["seconds"] / floor
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--image-mib", type=int, default=1)
    parser.add_argument("--check-mib", type=int, default=256)
    parser.add_argument("--output", default=str(HERE / "results.json"))
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kestrix-bench-") as tmp:
        work = Path(tmp)
        updates = bench_updates(args, work)
        memory = bench_memory(args, work)
        check = bench_check(args, work)

    targets = {"C++ API": 1.10, "Python API": 1.20}
    print(
        f"Update of a {args.image_mib} MiB raw image, device type 28, median of {args.runs} "
        "interleaved runs, simulator on loopback"
    )
    print(
        f"{'variant':<20}{'seconds':>10}{'x floor':>10}{'target':>9}"
        f"{'CPU us/block':>14}{'peak RSS MiB':>14}"
    )
    for name, row in updates.items():
        target = f"<={targets[name]:.2f}" if name in targets else ""
        print(
            f"{name:<20}{row['seconds']:>10.3f}{row['ratio_to_floor']:>10.3f}{target:>9}"
            f"{row['cpu_us_per_block']:>14.2f}{row['peak_rss_mib']:>14.1f}"
        )
    print(
        f"\nImage check of a {check['file_mib']:.0f} MiB tbin: kestrix-flash check "
        f"{check['check_mib_per_s']:.0f} MiB/s, openssl dgst -sha256 -hmac "
        f"{check['openssl_mib_per_s']:.0f} MiB/s, ratio {check['ratio_to_openssl']:.2f} "
        f"(target >=0.80), peak RSS {check['check_peak_rss_mib']:.1f} MiB"
    )
    print(
        f"Raw update peak RSS: 64 KiB image {memory['rss_64k_mib']:.1f} MiB, 4 MiB image "
        f"{memory['rss_4m_mib']:.1f} MiB, difference {memory['difference_mib']:.1f} MiB"
    )
    Path(args.output).write_text(
        json.dumps(
            {
                "updates": updates,
                "check": check,
                "memory": memory,
                "runs": args.runs,
                "image_mib": args.image_mib,
            },
            indent=2,
        )
        + "\n"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
