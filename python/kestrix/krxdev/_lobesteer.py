"""Fast Beam Steering Manager module."""

# The Python half of the extension module kestrix.krxdev.LobeSteer, which runs this file in its
# own namespace when it loads (so all defined here belongs to that module and is not imported on
# its own). By then the module holds the sibling names FBSMode, RFMode, RetCode, RetType, RspType
# and BeamPatternManager, StartEndEnum's members (_START_END) and plain functions over the C++
# core that own every rule: the setup sequence, the lazy manager, fast parallel mode, the command
# table and argument conversions. The type checker finds those names in the module's stub.

import abc
import enum
import functools
import inspect
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple

if TYPE_CHECKING:
    from kestrix.krxdev.BeamPatternManager import BeamPatternManager
    from kestrix.krxdev.LobeSteer import (
        _START_END,
        _beam_pattern_manager,
        _fbs_command_table,
        _not_implemented,
        _read_fast_parallel_mode,
        _run_with_beam_pattern_setup,
        _write_fast_parallel_mode,
    )
    from kestrix.KRXPublic import FBSMode, RFMode
    from kestrix.KRXUtils import RetType
    from kestrix.KRXUtils import _RspType as RspType

if __name__ != "kestrix.krxdev.LobeSteer":
    raise ImportError(f"{__name__} is run by kestrix.krxdev.LobeSteer, not imported")

__all__ = ["StartEndEnum", "_require_beam_pattern_setup", "LobeSteer"]

# mypy reads the members of a functional enum only from a literal; these are the core's (the
# module's stub lists them).
StartEndEnum = enum.IntEnum(  # type: ignore[misc]
    "StartEndEnum", _START_END, module=__name__, qualname="StartEndEnum"
)
StartEndEnum.__doc__ = "Enum for start and end states."


def _require_beam_pattern_setup(func: Callable[..., RetType]) -> Callable[..., RetType]:
    """Decorator to setup beam pattern before execution and cleanup after.

    The wrapped operation switches beam pattern storage on and erases it, runs, then switches
    storage off and applies it. A failed switch-on or erase record is returned without running
    the operation; the switch-off and apply always run, and their results are ignored.

    Args:
        func: The operation to wrap; it returns a RetType.

    Returns:
        The wrapping operation, with func's name, documentation and signature.
    """
    if not callable(func):
        raise TypeError(
            f"_require_beam_pattern_setup() needs a callable, not '{type(func).__name__}'"
        )

    def wrapper(*args: Any, **kwargs: Any) -> RetType:
        return _run_with_beam_pattern_setup(func, args, kwargs)

    functools.update_wrapper(wrapper, func)
    # The signature is taken now, once: the one recorded on func, else its declaration's. A
    # callable without one leaves introspection to follow __wrapped__.
    signature = getattr(func, "__signature__", None)
    if signature is None:
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError):
            pass
    if signature is not None:
        wrapper.__signature__ = signature  # type: ignore[attr-defined]
    return wrapper


class LobeSteer(abc.ABC):
    """Abstract base class for managing fast beam operations."""

    _beam_pattern_mgr: Optional[BeamPatternManager] = None
    external_control_enabled: bool = False

    if TYPE_CHECKING:
        # A device class's hook, as the others the setup sequence calls; the base has none.
        def _reboot(self) -> RetType: ...

    @property
    def beam_pattern_mgr(self) -> BeamPatternManager:
        """The device's BeamPatternManager, created by _create_beam_pattern_mgr on first access."""
        return _beam_pattern_manager(self)

    # The base versions of the abstract operations hand their arguments (locals(), `self` first)
    # to _not_implemented, which converts them to the declared types and returns the error.
    @abc.abstractmethod
    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        """Create the device-specific BeamPatternManager instance."""
        raise _not_implemented(LobeSteer._create_beam_pattern_mgr, locals())

    def _fbs_cmd_dict(self) -> Dict[str, Tuple[str, RspType]]:
        """Return the command list for the fast beam manager."""
        return _fbs_command_table()

    def getFastParallelMode(self) -> RetType:
        """Get the fast parallel mode."""
        return _read_fast_parallel_mode(self)

    def setFastParallelMode(
        self, toEnable: bool, fbs_mode: FBSMode = FBSMode.FULL_GAIN_PHASE
    ) -> RetType:
        """Set the fast parallel mode.

        Args:
            toEnable: Whether to enable or disable the fast parallel mode.
            fbs_mode: The fast beam steering mode to set.
        """
        return _write_fast_parallel_mode(self, toEnable, fbs_mode)

    @_require_beam_pattern_setup
    def eraseFastBeamConfig(self) -> RetType:
        """Erase the fast beam configuration."""
        return RetType()  # the erasing is the setup sequence's

    @abc.abstractmethod
    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType:
        """Get the fast beam gain."""
        raise _not_implemented(LobeSteer.getFastBeamGain, locals())

    @abc.abstractmethod
    def getFastBeamPattern(self, beam_id: int) -> RetType:
        """Get the fast beam pattern."""
        raise _not_implemented(LobeSteer.getFastBeamPattern, locals())

    @abc.abstractmethod
    def setFastBeamGain(
        self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType:
        """Set the fast beam gain."""
        raise _not_implemented(LobeSteer.setFastBeamGain, locals())

    @abc.abstractmethod
    def setFastBeamPatternThetaPhi(
        self, beam_id: int, rf_freq: float, theta: float, phi: float
    ) -> RetType:
        """Set the fast beam pattern."""
        raise _not_implemented(LobeSteer.setFastBeamPatternThetaPhi, locals())

    @abc.abstractmethod
    def setFastBeamPatternAzEl(
        self, beam_id: int, rf_freq: float, azimuth: float, elevation: float
    ) -> RetType:
        """Set the fast beam pattern."""
        raise _not_implemented(LobeSteer.setFastBeamPatternAzEl, locals())

    @_require_beam_pattern_setup
    def syncFastBeamConfig(self) -> RetType:
        """Update the fast beam configuration."""
        return self._reboot()  # the device reboots inside the setup sequence
