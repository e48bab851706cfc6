"""Update many devices at once: one job per device on a pool of threads, each with its own
connection, progress and result, and one audit record line per device.

An update is bound by round trips (two per 16-byte block), not by the host, so N devices updated
in parallel take barely longer than one. A device that refuses, stalls, drops its connection or
fails verification never affects the others. Ctrl-C stops every device within a fraction of a
second and raises :class:`FleetInterrupted`, which carries each device's result.

    from kestrix.fleet import update_fleet

    results = update_fleet("fpga.tbin", ["10.0.0.7", "10.0.0.8:5025"], jobs=8)
    for r in results:
        print(r.address, r.outcome, r.error)
"""

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from kestrix import _core
from kestrix._core import DEFAULT_DEVICE_TYPE, Failure, FailureCategory

__all__ = [
    "DeviceResult",
    "Failure",
    "FailureCategory",
    "FleetInterrupted",
    "RecordError",
    "identify_devices",
    "update_fleet",
]

#: A device: "host", "host:port", "[v6]:port", or a (host, port) pair.
Device = Union[str, Tuple[str, int]]
#: progress(device, stage, done, total): stage is "connect", "erase", "write", "verify" or
#: "reload"; device is the device's "host:port".
ProgressCallback = Callable[[str, str, int, int], object]


@dataclass(frozen=True)
class DeviceResult:
    """What one device's job did: the fields of its audit record."""

    address: str
    host: str
    port: int
    device_type: int
    mode: str
    device_id: str
    serial: str
    control_fw_version: str
    fpga_version_before: str
    fpga_version_after: str
    #: As recorded: bytes of a file name that are not UTF-8 written \\xNN.
    image_path: str
    image_kind: str
    image_size: int
    image_sha256: str
    bytes_written: int
    retries: int
    #: Seconds per phase ("erase", "write", "verify", "reload") and in "total".
    seconds: Dict[str, float]
    #: "updated", "unchanged", "verified", "failed" or "interrupted".
    outcome: str
    failure: Failure
    error: str
    #: The byte offset a failure is about: the block refused, or the first byte read back wrong.
    failed_offset: Optional[int]
    started_at: str
    finished_at: str
    tool_version: str
    #: The record as it is written, JSON-ready.
    record: Dict[str, Any] = field(repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return self.failure == Failure.NONE

    @classmethod
    def _from_report(cls, report: Dict[str, Any]) -> "DeviceResult":
        record = dict(report)
        record["failure"] = report["failure"].label if report["failure"] != Failure.NONE else None
        fields = {name: report[name] for name in cls.__dataclass_fields__ if name != "record"}
        return cls(record=record, **fields)


class FleetInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped the fleet; ``results`` holds every device's result, each saying where it
    stood. The devices were left as they were: an interrupted flash must be updated again."""

    def __init__(self, results: List[DeviceResult]) -> None:
        super().__init__("fleet update interrupted")
        self.results = results


class RecordError(OSError):
    """The audit record could not be written while the fleet ran (a full disk, say). The devices
    ran to their ends regardless: ``results`` holds every device's result; the record file may
    lack some of their lines."""

    def __init__(self, error: OSError, results: List[DeviceResult]) -> None:
        if error.errno is None:
            super().__init__(*error.args)
        else:
            super().__init__(error.errno, error.strerror, error.filename)
        self.results = results


def _device_text(device: Device) -> str:
    if isinstance(device, str):
        return device
    if isinstance(device, tuple) and len(device) == 2:
        host, port = device
        if isinstance(host, str) and isinstance(port, int) and not isinstance(port, bool):
            return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    raise TypeError(f"a device is 'host[:port]' or a (host, port) pair, not {device!r}")


def update_fleet(
    image_path: str,
    devices: Sequence[Device],
    *,
    device_type: int = DEFAULT_DEVICE_TYPE,
    jobs: int = 8,
    init: bool = True,
    check_version: bool = True,
    mode: str = "update",
    timeout: float = 10.0,
    connect_timeout: float = 5.0,
    window: int = 1,
    progress: Optional[ProgressCallback] = None,
    on_result: Optional[Callable[[DeviceResult], object]] = None,
    record: Optional[str] = None,
) -> List[DeviceResult]:
    """Updates every device with the image and returns one result per device, in input order.

    ``mode`` is "update", "verify" (read back and compare, nothing written) or
    "update-unless-identical" (verify first; devices that already hold the image are reported
    "unchanged"). ``init`` initialises each controller first; ``check_version`` keeps its minimum
    FPGA version. ``window`` commands are kept in flight at once (see FpgaTool's ``window``; 1,
    the default, is one at a time). ``progress`` is called with the GIL held, at most about 20
    times a second per device (every phase change and every end at once); ``on_result`` as each
    device ends. Each result is appended to ``record`` as one JSON line (the file is created if
    missing, never truncated, and synced at the end). The GIL is released while the fleet runs.

    Raises ValueError for a bad device address, mode, job count or time-out, OSError when the
    record file cannot be opened (before any device is touched), RecordError (an OSError that
    holds the results) when a write to it fails, and FleetInterrupted on Ctrl-C.
    """
    texts = [_device_text(device) for device in devices]

    def result_ready(report: Dict[str, Any]) -> None:
        if on_result is not None:
            on_result(DeviceResult._from_report(report))

    reports, stopped, record_error = _core.run_fleet(
        image_path,
        texts,
        device_type=device_type,
        init=init,
        check_version=check_version,
        mode=mode,
        timeout=timeout,
        connect_timeout=connect_timeout,
        jobs=jobs,
        window=window,
        progress=progress,
        on_result=result_ready if on_result is not None else None,
        record=record,
    )
    results = [DeviceResult._from_report(report) for report in reports]
    if isinstance(stopped, KeyboardInterrupt):
        raise FleetInterrupted(results) from stopped
    if stopped is not None:
        raise stopped
    if record_error is not None:
        raise RecordError(record_error, results) from record_error
    return results


def identify_devices(
    devices: Sequence[Device],
    *,
    device_type: int = DEFAULT_DEVICE_TYPE,
    jobs: int = 8,
    timeout: float = 10.0,
    connect_timeout: float = 5.0,
) -> List[DeviceResult]:
    """Asks every device who it is (FPGA ID, serial, control firmware version, FPGA version, read
    as ``device_type`` says) and returns one result per device, in input order; nothing on the
    devices changes. Raises as :func:`update_fleet` does."""
    return update_fleet(
        "",
        devices,
        device_type=device_type,
        jobs=jobs,
        init=False,
        mode="identify",
        timeout=timeout,
        connect_timeout=connect_timeout,
    )
