"""Native values of the kestrix package: connection, versions, update rules, image signing."""

import os
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Final, Literal, TypedDict

from kestrix.KRXUtils import RetType, _RspType

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Mode = Literal["update", "verify", "update-unless-identical", "identify"]

class TCPConnection:
    """A device connection over TCP (default port 5025).

    A text reply is one line; a raw reply is one frame (a definite-length block or a line). A reply
    that does not come within ``timeout`` seconds raises ``TimeoutError``, a lost link
    ``ConnectionError``, a malformed reply ``kestrix.errors.DeviceProtocolError``.
    """

    def __init__(
        self, address: str, port: int = 5025, *, connect_timeout: float = 5.0, timeout: float = 10.0
    ) -> None: ...
    def initConnection(self) -> bool: ...
    def sendCmd(self, line: bytes | str, rsp_type: _RspType) -> RetType: ...
    def sendRawBytes(self, data: bytes) -> None: ...
    def recvRawBytes(self, size: int = 1024) -> bytes: ...
    def closeConnection(self) -> None: ...
    @property
    def address(self) -> str: ...
    @property
    def port(self) -> int: ...
    @property
    def timeout(self) -> float: ...
    @property
    def connect_timeout(self) -> float: ...
    @property
    def is_open(self) -> bool: ...

class VER:
    """A version value made from dotted decimal text such as "0.1.0.6".

    Values compare component by component, a missing trailing component counting as 0; a text
    that is not a version raises ValueError, a value that is not text TypeError.
    """

    def __init__(self, text: str) -> None: ...
    def __lt__(self, other: VER, /) -> bool: ...
    def __le__(self, other: VER, /) -> bool: ...
    def __gt__(self, other: VER, /) -> bool: ...
    def __ge__(self, other: VER, /) -> bool: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

DEFAULT_PORT: Final[int]
DEFAULT_DEVICE_TYPE: Final[int]
DEFAULT_JOBS: Final[int]
MAX_JOBS: Final[int]
DEFAULT_WINDOW: Final[int]
MAX_WINDOW: Final[int]
DEFAULT_TIMEOUT: Final[float]
MAX_CONNECT_TIMEOUT: Final[float]
PROGRESS_INTERVAL: Final[float]
PAGE_SIZE: Final[int]
JOB_MODES: Final[tuple[str, ...]]

def reload_wait(device_type: int) -> int:
    """Seconds a device of DEVICE_TYPE is given after its FPGA reloads (0: none)."""

class FailureCategory:
    """What a caller can do about a failure: fix the INPUT, look at the DEVICE, or see why the
    UPDATE failed; INTERRUPTED on request."""

    NONE: ClassVar[FailureCategory]
    INPUT: ClassVar[FailureCategory]
    DEVICE: ClassVar[FailureCategory]
    UPDATE: ClassVar[FailureCategory]
    INTERRUPTED: ClassVar[FailureCategory]
    __members__: ClassVar[dict[str, FailureCategory]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Failure:
    """Why an update did not succeed (NONE: it did)."""

    NONE: ClassVar[Failure]
    IMAGE_MISSING: ClassVar[Failure]
    IMAGE_INVALID: ClassVar[Failure]
    IMAGE_REJECTED: ClassVar[Failure]
    IMAGE_DEVICE_TYPE: ClassVar[Failure]
    IMAGE_UNTRUSTED: ClassVar[Failure]
    DEVICE_TYPE_UNSUPPORTED: ClassVar[Failure]
    DUPLICATE_DEVICE: ClassVar[Failure]
    DOWNGRADE_REFUSED: ClassVar[Failure]
    UNREACHABLE: ClassVar[Failure]
    DEVICE_BUSY: ClassVar[Failure]
    TIMEOUT: ClassVar[Failure]
    CONNECTION_LOST: ClassVar[Failure]
    PROTOCOL: ClassVar[Failure]
    VERSION_TOO_LOW: ClassVar[Failure]
    BLOCK_REFUSED: ClassVar[Failure]
    VERIFY_FAILED: ClassVar[Failure]
    VERSION_MISMATCH: ClassVar[Failure]
    UPDATE_FAILED: ClassVar[Failure]
    HOST_RESOURCES: ClassVar[Failure]
    SKIPPED: ClassVar[Failure]
    INTERRUPTED: ClassVar[Failure]
    __members__: ClassVar[dict[str, Failure]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @property
    def label(self) -> str:
        """The stable name used in records: 'block-refused'."""
    @property
    def category(self) -> FailureCategory:
        """The FailureCategory the failure belongs to."""

class Outcome:
    """How a device's job ended."""

    UPDATED: ClassVar[Outcome]
    UNCHANGED: ClassVar[Outcome]
    RELOADED: ClassVar[Outcome]
    VERIFIED: ClassVar[Outcome]
    IDENTIFIED: ClassVar[Outcome]
    SKIPPED: ClassVar[Outcome]
    FAILED: ClassVar[Outcome]
    INTERRUPTED: ClassVar[Outcome]
    __members__: ClassVar[dict[str, Outcome]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @property
    def label(self) -> str:
        """The name records use: 'updated', 'unchanged', ..."""
    @property
    def succeeded(self) -> bool:
        """Whether the device holds (and, where known, runs) the image, or answered who it is."""

class DeviceListError(ValueError):
    problems: list[tuple[str, str, str, str]]

class LoadedImage:
    """An image read and checked once for a fleet: every device gets exactly these bytes."""

    @property
    def path(self) -> str | None: ...
    @property
    def size(self) -> int: ...
    @property
    def sha256(self) -> str: ...
    @property
    def fpga_version(self) -> str | None: ...
    @property
    def fault(self) -> tuple[Failure, str] | None:
        """(Failure, message) when the image cannot be used, else None."""
    @property
    def trust_status(self) -> str | None:
        """The signature's verdict ("verified", "no-signature", ...), or None when no image
        was read."""
    @property
    def signing_key_id(self) -> str | None:
        """The full id of the key the signature names, or None."""
    @property
    def signature_verified(self) -> bool:
        """Whether the signature verified under one of the trusted keys."""
    @property
    def trusted_key_ids(self) -> list[str]:
        """The ids of the keys the image was checked against (empty: no signature required)."""
    @property
    def device_type(self) -> int: ...
    @property
    def init(self) -> bool: ...
    @property
    def mode(self) -> _Mode: ...

def load_image(
    image_path: _Path | None,
    *,
    device_type: int = 32,
    init: bool = True,
    mode: _Mode = "update",
    trusted_keys: Sequence[_Path] | None = None,
) -> LoadedImage:
    """Reads and checks the image once for run_fleet (None for mode 'identify'); with
    trusted_keys (public key files), an image they do not sign is refused (its fault).
    OSError for a key file that cannot be read, ValueError for one that holds no Ed25519
    public key."""

def read_hosts_file(path: _Path) -> list[tuple[str, str]]:
    """The entries of a hosts file as (text, origin) pairs, origin naming the file and line;
    OSError when it cannot be read, is too large, or is a FIFO nobody writes to in time."""

class DeviceList:
    """Devices checked as a whole: every entry an address, every name resolved, each device
    once."""

    @property
    def addresses(self) -> list[str]: ...
    @property
    def origins(self) -> list[str]: ...
    def __len__(self) -> int: ...

def check_devices(entries: Sequence[tuple[str, str]], *, default_port: int = 5025) -> DeviceList:
    """Checks (text, origin) entries as a whole: DeviceListError names every entry that is
    not an address, does not resolve or reaches a device an earlier entry reaches."""

def run_fleet(
    image: LoadedImage,
    devices: DeviceList,
    *,
    progress: Callable[[str, str, int, int], object] | None = None,
    on_result: Callable[[dict[str, Any]], object] | None = None,
    record: _Path | None = None,
    **options: Any,
) -> tuple[list[dict[str, Any]], BaseException | None, OSError | None, BaseException | None]:
    """Runs one job per device of the checked list with the loaded image and returns
    (reports, stopped, record_error, callback_error): one dict per device in input order,
    the exception that stopped the fleet (KeyboardInterrupt) or None, the OSError a write
    to `record` met or None, and the first exception on_result raised or None. The other
    keyword arguments are the fleet's options (check_version, allow_downgrade, timeout,
    connect_timeout, window, jobs, canary, max_failures, change_id), checked by the core
    (ValueError). progress(device, stage, done, total) and on_result(report) are called
    with the GIL held. Use kestrix.fleet.update_fleet."""

def format_device_address(host: str, port: int) -> str:
    """The text form of a device's address that records show: "host:port", "[v6]:port"."""

def check_offline(
    image_path: _Path, *, device_type: int = 32, init: bool = True, mode: _Mode = "update"
) -> tuple[Failure, str] | None:
    """Why run_fleet with these settings would fail for every device, found without one:
    (Failure, message), or None when the image and the device type are fine."""

def read_history(
    path: _Path, *, all: bool = False, device: str | None = None, since: str | None = None
) -> tuple[list[tuple[int, dict[str, Any]]], int]:
    """The lines of the audit record at PATH as (line number, record), the latest per device
    unless ALL, only DEVICE's (address, host or serial) and those started SINCE a UTC time
    (2026-12-08 or 2026-12-08T10:30); with the count of lines that are not records."""

def record_problem(path: _Path) -> str | None:
    """Why an audit record could not be opened at PATH, found without creating or writing it;
    None when it could be."""

def devices_to_retry(path: _Path) -> list[tuple[str, str]]:
    """The devices whose latest line in the audit record did not succeed, as (address, origin)."""

def parse_device_address(text: str, default_port: int = 5025) -> tuple[str, int]:
    """(host, port) of "host", "host:port" or "[v6]:port"; ValueError for anything else."""

class _KeyPair(TypedDict):
    key_id: str
    short_key_id: str
    private_key: str
    public_key: str

class _SignedImage(TypedDict):
    signature_path: str
    key_id: str
    short_key_id: str
    image_size: int
    image_sha256: str
    fpga_version: str | None
    device_types: list[str] | None
    signed_at: str

class _TrustVerdict(TypedDict):
    status: str
    accepted: bool
    verified: bool
    key_id: str | None
    short_key_id: str | None
    message: str
    signature_path: str

def generate_key(path: _Path) -> _KeyPair:
    """Make an Ed25519 key pair: the private key to PATH (PKCS#8 PEM, mode 0600), the public
    key to PATH.pub. FileExistsError when either file exists; nothing is left behind on failure."""

def sign_image(image_path: _Path, key_path: _Path) -> _SignedImage:
    """Sign the image with the private key at KEY_PATH: IMAGE_PATH.sig appears once complete.
    ValueError for a key that others can read or that is not Ed25519 and for an image that fails
    the update's checks; OSError for files that cannot be read or written."""

def check_signature(image_path: _Path, trusted_keys: Sequence[_Path]) -> _TrustVerdict:
    """The trust verdict on an image as an update given TRUSTED_KEYS decides it. Status is one
    of "verified", "not-verified", "no-signature", "unreadable", "malformed", "untrusted-key",
    "bad-signature", "content-mismatch"; with no trusted key nothing is refused."""

def short_key_id(key_id: str) -> str:
    """A key id as people are shown it: its first 16 hex digits."""

def public_key_id(path: _Path) -> str:
    """The key id (SHA-256 of the raw public key, hex) of an Ed25519 public key file."""

def private_key_id(path: _Path) -> str:
    """The key id of an Ed25519 private key file, read as signing reads it."""
