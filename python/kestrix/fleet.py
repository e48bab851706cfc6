"""Update many devices at once: one job per device on a pool of threads, each with its own
connection, progress and result, and one audit record line per device.

An update is bound by round trips (two per 16-byte block), not by the host, so N devices updated
in parallel take barely longer than one. A device that refuses, stalls, drops its connection or
fails verification never affects the others. Ctrl-C stops every device within a fraction of a
second and raises :class:`FleetInterrupted`, which carries each device's result.

The list is checked whole before any device is touched (:class:`DeviceListError` names every
entry that is not an address, does not resolve or reaches a device another entry reaches), each
device is worked on once (a second entry that answers with a serial number already seen fails as
"duplicate-device"), and the image is read and checked once: every device gets the same bytes.

Given ``trusted_keys`` (Ed25519 public key files), an image whose signature (IMAGE.sig) none of
them verifies is refused before any device is touched: every device fails with
``Failure.IMAGE_UNTRUSTED``. An image older than the FPGA version a device runs is not written
into it (``Failure.DOWNGRADE_REFUSED``) unless ``allow_downgrade=True``.

    from kestrix.fleet import update_fleet

    results = update_fleet("fpga.tbin", ["10.0.0.7", "10.0.0.8:5025"], jobs=8)
    for r in results:
        print(r.address, r.outcome, r.error)
"""

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Literal, Optional, Sequence, Tuple, Union

from kestrix import _core
from kestrix._core import (
    DEFAULT_DEVICE_TYPE,
    DEFAULT_JOBS,
    DEFAULT_PORT,
    DEFAULT_TIMEOUT,
    DEFAULT_WINDOW,
    JOB_MODES,
    MAX_CONNECT_TIMEOUT,
    MAX_JOBS,
    MAX_WINDOW,
    PROGRESS_INTERVAL,
    DeviceList,
    DeviceListError,
    Failure,
    FailureCategory,
    LoadedImage,
    Outcome,
)

__all__ = [
    "DeviceList",
    "DeviceListError",
    "DeviceResult",
    "Failure",
    "FailureCategory",
    "FleetInterrupted",
    "LoadedImage",
    "Mode",
    "Outcome",
    "RecordError",
    "check_devices",
    "identify_devices",
    "load_image",
    "update_fleet",
]

_OUTCOMES = {outcome.label: outcome for outcome in Outcome.__members__.values()}

#: What a job does with each device; the names are the core's (``_core.JOB_MODES``).
Mode = Literal["update", "verify", "update-unless-identical", "identify"]
#: A device: "host", "host:port", "[v6]:port", or a (host, port) pair.
Device = Union[str, Tuple[str, int]]
#: An image: a path, or an image loaded once with :func:`load_image`.
Image = Union[str, bytes, "os.PathLike[str]", LoadedImage]
#: A public key file.
KeyPath = Union[str, bytes, "os.PathLike[str]"]
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
    image_abspath: str
    image_kind: str
    image_size: int
    image_sha256: str
    #: The FPGA version the image declares ("FPGA_VER"), or None.
    image_version: Optional[str]
    #: The full id of the key the image's signature names, or None.
    signing_key_id: Optional[str]
    #: Whether the signature verified under one of the trusted keys.
    signature_verified: bool
    #: The signature's verdict: "verified", "not-verified" (signed, no trusted key given),
    #: "no-signature", "unreadable", "malformed", "untrusted-key", "bad-signature",
    #: "content-mismatch"; None when no image was read.
    trust_status: Optional[str]
    bytes_written: int
    #: Whether an erase or a write began: the flash may no longer hold what it held.
    flash_touched: bool
    retries: int
    #: Seconds per phase ("erase", "write", "verify", "reload") and in "total".
    seconds: Dict[str, float]
    #: "updated", "unchanged", "reloaded", "verified", "identified", "skipped", "failed" or
    #: "interrupted".
    outcome: str
    failure: Failure
    error: str
    #: The byte offset a failure is about: the block refused, or the first byte read back wrong.
    failed_offset: Optional[int]
    started_at: str
    finished_at: str
    tool_version: str
    #: Who ran the job, on which host, and the change it belongs to (None when not given).
    run_by_user: str
    run_by_host: str
    change_id: Optional[str]
    #: The record as it is written, JSON-ready.
    record: Dict[str, Any] = field(repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return self.failure == Failure.NONE

    @property
    def outcome_kind(self) -> Outcome:
        """The outcome as an Outcome member."""
        return _OUTCOMES[self.outcome]

    @classmethod
    def _from_report(cls, report: Dict[str, Any]) -> "DeviceResult":
        record = dict(report)
        record["failure"] = report["failure"].label if report["failure"] != Failure.NONE else None
        fields = {name: report[name] for name in cls.__dataclass_fields__ if name != "record"}
        return cls(record=record, **fields)


class FleetInterrupted(KeyboardInterrupt):
    """Ctrl-C (or what a signal handler raised) stopped the fleet; ``results`` holds every
    device's result, each saying where it stood, and ``record_error`` the OSError a write to the
    record met, or None. The devices were left as they were: an interrupted flash must be updated
    again."""

    def __init__(self, results: List[DeviceResult], record_error: Optional[OSError] = None) -> None:
        super().__init__("fleet update interrupted")
        self.results = results
        self.record_error = record_error


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
            return _core.format_device_address(host, port)
    raise TypeError(f"a device is 'host[:port]' or a (host, port) pair, not {device!r}")


def load_image(
    image_path: Union[str, bytes, "os.PathLike[str]"],
    *,
    device_type: int = DEFAULT_DEVICE_TYPE,
    init: bool = True,
    mode: Mode = "update",
    trusted_keys: Optional[Sequence[KeyPath]] = None,
) -> LoadedImage:
    """Reads and checks an image once, for :func:`update_fleet` with the same ``device_type``,
    ``init``, ``mode`` and ``trusted_keys``. ``fault`` says why it cannot be used ((Failure,
    message), or None); every device then fails with it. The bytes are kept: a file replaced
    afterwards changes nothing.

    ``trusted_keys`` are Ed25519 public key files: given any, the image must carry a signature
    one of them verifies, made for exactly these bytes, or its fault is
    ``Failure.IMAGE_UNTRUSTED`` with the cause. ``trust_status``, ``signing_key_id`` and
    ``signature_verified`` say what was found. Raises OSError for a key file that cannot be read
    and ValueError for one that holds no Ed25519 public key."""
    return _core.load_image(
        image_path, device_type=device_type, init=init, mode=mode, trusted_keys=trusted_keys
    )


def _key_ids(trusted_keys: Sequence[KeyPath]) -> List[str]:
    if isinstance(trusted_keys, (str, bytes, os.PathLike)):
        raise TypeError("trusted_keys must be a list of paths, not a single path")
    return sorted(_core.public_key_id(key) for key in trusted_keys)


def check_devices(
    devices: Sequence[Device],
    *,
    port: int = DEFAULT_PORT,
    origins: Optional[Sequence[str]] = None,
) -> DeviceList:
    """Checks a list of devices as a whole, before any is touched: raises DeviceListError (a
    ValueError whose ``problems`` holds (kind, origin, text, reason) for each bad entry, kind
    "malformed", "unresolved" or "duplicate") when an entry is not an address, a name does not
    resolve, or two entries reach the same address and port. ``port`` is the port of entries
    that name none; ``origins`` say where each entry was named ("device N" by default)."""
    if isinstance(devices, (str, bytes)):
        raise TypeError("devices must be a sequence of devices, not a single text")
    texts = [_device_text(device) for device in devices]
    if origins is None:
        origins = [f"device {i}" for i in range(1, len(texts) + 1)]
    elif isinstance(origins, (str, bytes)) or len(origins) != len(texts):
        raise ValueError("origins must name one origin per device")
    return _core.check_devices(list(zip(texts, origins)), default_port=port)


def _callable_or_none(value: object, name: str) -> None:
    if value is not None and not callable(value):
        raise TypeError(f"{name} must be callable or None, not {type(value).__name__}")


def _image_for(
    image: Image,
    device_type: int,
    init: bool,
    mode: Mode,
    trusted_keys: Optional[Sequence[KeyPath]],
) -> LoadedImage:
    """The image of a fleet: loaded now, or as it was loaded for exactly these settings."""
    if not isinstance(image, LoadedImage):
        return load_image(
            image, device_type=device_type, init=init, mode=mode, trusted_keys=trusted_keys
        )
    loaded_for = (image.device_type, image.init, image.mode)
    if loaded_for != (device_type, init, mode):
        raise ValueError(
            f"the image was loaded for (device_type, init, mode) {loaded_for}, not "
            f"{(device_type, init, mode)}"
        )
    if trusted_keys is not None and _key_ids(trusted_keys) != sorted(image.trusted_key_ids):
        raise ValueError("the image was loaded with other trusted keys than trusted_keys")
    return image


def _results_or_raise(
    reports: List[Dict[str, Any]],
    stopped: Optional[BaseException],
    record_error: Optional[OSError],
    callback_error: Optional[BaseException],
) -> List[DeviceResult]:
    """The fleet's results, or the exception that ended it, which carries them."""
    results = [DeviceResult._from_report(report) for report in reports]
    if isinstance(stopped, KeyboardInterrupt):
        raise FleetInterrupted(results, record_error) from stopped
    if stopped is not None:
        raise stopped
    if callback_error is not None:
        callback_error.results = results  # type: ignore[attr-defined]
        raise callback_error
    if record_error is not None:
        raise RecordError(record_error, results) from record_error
    return results


def update_fleet(
    image_path: Image,
    devices: Union[Sequence[Device], DeviceList],
    *,
    device_type: int = DEFAULT_DEVICE_TYPE,
    jobs: int = DEFAULT_JOBS,
    init: bool = True,
    check_version: bool = True,
    mode: Mode = "update",
    timeout: float = DEFAULT_TIMEOUT,
    connect_timeout: Optional[float] = None,
    window: int = DEFAULT_WINDOW,
    canary: int = 0,
    max_failures: Optional[int] = None,
    change_id: Optional[str] = None,
    port: int = DEFAULT_PORT,
    progress: Optional[ProgressCallback] = None,
    on_result: Optional[Callable[[DeviceResult], object]] = None,
    record: Optional[str] = None,
    trusted_keys: Optional[Sequence[KeyPath]] = None,
    allow_downgrade: bool = False,
) -> List[DeviceResult]:
    _callable_or_none(progress, "progress")
    _callable_or_none(on_result, "on_result")
    image = _image_for(image_path, device_type, init, mode, trusted_keys)

    def result_ready(report: Dict[str, Any]) -> None:
        if on_result is not None:
            on_result(DeviceResult._from_report(report))

    checked = devices if isinstance(devices, DeviceList) else check_devices(devices, port=port)
    return _results_or_raise(
        *_core.run_fleet(
            image,
            checked,
            check_version=check_version,
            allow_downgrade=allow_downgrade,
            timeout=timeout,
            connect_timeout=connect_timeout,
            jobs=jobs,
            window=window,
            canary=canary,
            max_failures=max_failures,
            change_id=change_id or "",
            progress=progress,
            on_result=result_ready if on_result is not None else None,
            record=record,
        )
    )


update_fleet.__doc__ = f"""Updates every device with the image and returns one result per device, in
    input order.

    ``mode`` is one of {", ".join(repr(m) for m in JOB_MODES)}: "update"; "verify" (read back and
    compare, nothing written); "update-unless-identical" (verify first; devices that already hold
    and run the image are reported "unchanged", those that hold it but run another version than
    the image declares are made to reload it, "reloaded"); "identify" (see identify_devices).
    ``init`` initialises each controller first; ``check_version`` keeps its minimum FPGA version.
    ``jobs`` devices (1 to {MAX_JOBS}) are worked on at once. ``window`` commands (1 to
    {MAX_WINDOW}; {DEFAULT_WINDOW} by default) are kept in flight at once (see FpgaTool's
    ``window``); 1 is one at a time, for devices that need lock-step.
    ``timeout`` is the seconds to wait for each reply; connecting waits ``connect_timeout``, by
    default as long, up to {MAX_CONNECT_TIMEOUT:g} s. ``canary`` devices (the first ones) are
    updated alone first, and the rest only when all of them succeeded; once ``max_failures``
    devices failed no new one starts; devices not started are "skipped". ``progress`` is called
    with the GIL held, at most every {PROGRESS_INTERVAL:g} s per device within a phase (every
    phase change and every end at once); ``on_result`` as each device ends. Each result is
    appended to ``record`` as one JSON line (the file is created if missing, never truncated,
    and synced at the end), with ``change_id``. ``devices`` are checked with
    :func:`check_devices` (``port`` for those that name none) unless they were already. The GIL
    is released while the fleet runs.

    ``trusted_keys`` (public key files) require the image's signature, as :func:`load_image`
    says: a refused image fails every device with ``Failure.IMAGE_UNTRUSTED`` and touches none.
    An image given loaded must have been loaded with the same keys. A device that reports
    running a newer FPGA version than the image declares fails with
    ``Failure.DOWNGRADE_REFUSED`` before anything on it changes, unless ``allow_downgrade``; a
    version that cannot be read or compared is not refused, and "verify" refuses nothing.

    Raises TypeError for devices given as one text or callbacks that are not callable,
    DeviceListError (a ValueError) for entries that are not addresses, do not resolve or reach
    the same device, ValueError for a bad mode, an option out of its range, a record that is the
    image file or a trusted key file that holds no Ed25519 public key, OSError when the record
    file or a trusted key file cannot be opened (all before any device is touched), RecordError
    (an OSError that holds the results) when a write to it fails, and FleetInterrupted on
    Ctrl-C. An exception ``on_result`` raised is raised when the fleet is done, with the results
    as its ``results``.
    """


def identify_devices(
    devices: Sequence[Device],
    *,
    device_type: int = DEFAULT_DEVICE_TYPE,
    jobs: int = DEFAULT_JOBS,
    timeout: float = DEFAULT_TIMEOUT,
    connect_timeout: Optional[float] = None,
) -> List[DeviceResult]:
    """Asks every device who it is (FPGA ID, serial, control firmware version, FPGA version, read
    as ``device_type`` says) and returns one result per device, in input order; nothing on the
    devices changes. Raises as :func:`update_fleet` does."""
    return update_fleet(
        _core.load_image(None, device_type=device_type, init=False, mode="identify"),
        devices,
        device_type=device_type,
        jobs=jobs,
        init=False,
        mode="identify",
        timeout=timeout,
        connect_timeout=connect_timeout,
    )
