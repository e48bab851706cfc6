"""One fleet update through kestrix.fleet, as an operator's script would run it:
    fleet_update.py IMAGE WINDOW DEVICE [DEVICE ...]
All devices at once (jobs = their number), device type 28 without initialisation. Prints
"<seconds> <peak RSS KiB> <devices that verified>" on standard error."""

import sys
import time

from peak_rss import peak_rss_kib

from kestrix.fleet import update_fleet


def main() -> int:
    image, window, devices = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    start = time.perf_counter()
    results = update_fleet(
        image, devices, jobs=len(devices), init=False, device_type=28, window=window
    )
    seconds = time.perf_counter() - start
    ok = sum(1 for r in results if r.ok)
    print(f"{seconds:.6f} {peak_rss_kib()} {ok}", file=sys.stderr)
    return 0 if ok == len(devices) else 1


if __name__ == "__main__":
    sys.exit(main())
