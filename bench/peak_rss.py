"""The peak memory of this process, for the benchmark scripts that report their own."""


def peak_rss_kib() -> int:
    """VmHWM: the peak of this process image, not counting what the parent held before exec."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1
