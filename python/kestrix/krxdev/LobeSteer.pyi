"""Fast Beam Steering Manager module."""

import abc
import enum
from collections.abc import Callable
from typing import Any, TypeVar

from kestrix.krxdev.BeamPatternManager import BeamPatternManager as BeamPatternManager
from kestrix.KRXPublic import FBSMode as FBSMode
from kestrix.KRXPublic import RFMode as RFMode
from kestrix.KRXUtils import RetCode as RetCode
from kestrix.KRXUtils import RetType as RetType
from kestrix.KRXUtils import _RspType as RspType

__all__ = ["LobeSteer", "StartEndEnum", "_require_beam_pattern_setup"]

_F = TypeVar("_F", bound=Callable[..., RetType])

class StartEndEnum(enum.IntEnum):
    """Enum for start and end states."""

    OTHER = 0
    START = 1
    END = 2
    START_END = 3

def _require_beam_pattern_setup(func: _F) -> _F:
    """Decorator to setup beam pattern before execution and cleanup after.

    The wrapped operation switches beam pattern storage on ("1") and erases it (user_delay=2),
    runs, then switches storage off ("0") and applies it (user_delay=2). A failed switch-on or
    erase record is returned without running the operation; the switch-off and apply always run.
    """

def _command_line(command: str, argument: str = "") -> str:
    """One device command line without its terminator: "COMMAND", or "COMMAND ARGUMENT" when the
    argument is not empty. Raises ValueError, building nothing, when either holds CR, LF or NUL."""

# The core's rules, bound as plain functions for the Python layer (kestrix/krxdev/_lobesteer.py).
_START_END: list[tuple[str, int]]

def _run_with_beam_pattern_setup(
    func: Callable[..., RetType], args: tuple[Any, ...], kwargs: dict[str, Any], /
) -> RetType:
    """Calls func(*args, **kwargs) inside the beam pattern setup sequence of device args[0]."""

def _beam_pattern_manager(self: object, /) -> BeamPatternManager:
    """The device's manager, made by its _create_beam_pattern_mgr while none is held."""

def _read_fast_parallel_mode(self: object, /) -> RetType:
    """Asks the device whether fast parallel mode is on."""

def _write_fast_parallel_mode(self: object, enable: object, mode: FBSMode | int, /) -> RetType:
    """Switches fast parallel mode with the given FBSMode (or mode number)."""

def _fbs_command_table() -> dict[str, tuple[str, RspType]]:
    """A new dict: hook name to (command text, response type), in table order."""

def _not_implemented(
    operation: Callable[..., Any], arguments: dict[str, Any], /
) -> NotImplementedError:
    """Converts the arguments of an abstract operation's base version to their declared types
    and returns the NotImplementedError it raises."""

class LobeSteer(abc.ABC):
    """Abstract base class for managing fast beam operations.

    Device classes provide the six abstract operations and the hooks `_setBeamPatternEnable(flag)`,
    `_eraseBeamPattern(user_delay=...)`, `_applyBeamPatternToBFIC(user_delay=...)`,
    `_getExtCtrl()`, `_setExtCtrl(text)` and `_reboot()`, each returning a RetType.
    """

    _beam_pattern_mgr: BeamPatternManager | None
    external_control_enabled: bool

    @property
    def beam_pattern_mgr(self) -> BeamPatternManager:
        """The device's BeamPatternManager, created by _create_beam_pattern_mgr on first access."""
    @abc.abstractmethod
    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        """Create the device-specific BeamPatternManager instance."""
    def _fbs_cmd_dict(self) -> dict[str, tuple[str, RspType]]:
        """Return the command list for the fast beam manager."""
    def getFastParallelMode(self) -> RetType:
        """Get the fast parallel mode."""
    def setFastParallelMode(
        self, toEnable: bool, fbs_mode: FBSMode = FBSMode.FULL_GAIN_PHASE
    ) -> RetType:
        """Set the fast parallel mode.

        Args:
            toEnable: Whether to enable or disable the fast parallel mode.
            fbs_mode: The fast beam steering mode to set.
        """
    def eraseFastBeamConfig(self) -> RetType:
        """Erase the fast beam configuration."""
    @abc.abstractmethod
    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType:
        """Get the fast beam gain."""
    @abc.abstractmethod
    def getFastBeamPattern(self, beam_id: int) -> RetType:
        """Get the fast beam pattern."""
    @abc.abstractmethod
    def setFastBeamGain(
        self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType:
        """Set the fast beam gain."""
    @abc.abstractmethod
    def setFastBeamPatternThetaPhi(
        self, beam_id: int, rf_freq: float, theta: float, phi: float
    ) -> RetType:
        """Set the fast beam pattern."""
    @abc.abstractmethod
    def setFastBeamPatternAzEl(
        self, beam_id: int, rf_freq: float, azimuth: float, elevation: float
    ) -> RetType:
        """Set the fast beam pattern."""
    def syncFastBeamConfig(self) -> RetType:
        """Update the fast beam configuration."""
