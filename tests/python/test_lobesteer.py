"""kestrix.krxdev.LobeSteer as device classes use it: the abstract base class, the setup decorator
and its sequence, the lazy beam pattern manager, the command list, fast parallel mode and the
fast beam operations, driven through a recording fake device class."""

import abc
import enum
import functools
import gc
import importlib
import importlib.machinery
import inspect
import subprocess
import sys
import textwrap
import weakref
from typing import Any

import pytest

import kestrix.krxdev.BeamPatternManager as BPM
import kestrix.krxdev.LobeSteer as module
from kestrix import KRXPublic, KRXUtils
from kestrix.krxdev.LobeSteer import (
    LobeSteer,
    StartEndEnum,
    _command_line,
    _require_beam_pattern_setup,
)
from kestrix.KRXPublic import FBSMode, RFMode
from kestrix.KRXUtils import RetCode, RetType, _RspType

# ---- the fake device class ------------------------------------------------------------------
#
# Every hook records (hook name, positional args, keyword args) in `calls` and answers from
# `script`, keyed by a short label: a record to return, or an exception instance to raise. A label
# without a script entry answers a fresh success record.

Call = tuple[str, tuple[Any, ...], dict[str, Any]]

ON: Call = ("_setBeamPatternEnable", ("1",), {})
OFF: Call = ("_setBeamPatternEnable", ("0",), {})
ERASE: Call = ("_eraseBeamPattern", (), {"user_delay": 2})
APPLY: Call = ("_applyBeamPatternToBFIC", (), {"user_delay": 2})
REBOOT: Call = ("_reboot", (), {})


class Recorder(LobeSteer):
    """Implements the six abstract operations and every hook, recording all of them."""

    def __init__(self, script: "dict[str, Any] | None" = None) -> None:
        self.calls: list[Call] = []
        self.script: dict[str, Any] = dict(script or {})
        self.factory_calls = 0

    def _answer(self, label: str, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        self.calls.append((name, args, kwargs))
        outcome = self.script.get(label)
        if isinstance(outcome, BaseException):
            raise outcome
        return RetType() if outcome is None else outcome

    # Hooks.
    def _setBeamPatternEnable(self, *args: Any, **kwargs: Any) -> Any:
        label = "on" if args == ("1",) else "off"
        return self._answer(label, "_setBeamPatternEnable", args, kwargs)

    def _eraseBeamPattern(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("erase", "_eraseBeamPattern", args, kwargs)

    def _applyBeamPatternToBFIC(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("apply", "_applyBeamPatternToBFIC", args, kwargs)

    def _getExtCtrl(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("get_ext", "_getExtCtrl", args, kwargs)

    def _setExtCtrl(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("set_ext", "_setExtCtrl", args, kwargs)

    def _reboot(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("reboot", "_reboot", args, kwargs)

    # The abstract operations.
    def _create_beam_pattern_mgr(self) -> Any:
        self.factory_calls += 1
        outcome = self.script.get("factory", "made")
        if isinstance(outcome, BaseException):
            raise outcome
        if outcome == "made":
            return object()
        if isinstance(outcome, list):  # one outcome per call
            item = outcome.pop(0)
            if isinstance(item, BaseException):
                raise item
            return item
        return outcome

    def getFastBeamGain(self, rf_mode: Any, beam_id: int) -> RetType:
        return self._answer("gain", "getFastBeamGain", (rf_mode, beam_id), {})

    def getFastBeamPattern(self, beam_id: int) -> RetType:
        return self._answer("pattern", "getFastBeamPattern", (beam_id,), {})

    def setFastBeamGain(
        self, rf_mode: Any, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType:
        return self._answer(
            "set_gain", "setFastBeamGain", (rf_mode, beam_id, enable, com_gain, ele_gain), {}
        )

    def setFastBeamPatternThetaPhi(
        self, beam_id: int, rf_freq: float, theta: float, phi: float
    ) -> RetType:
        return self._answer(
            "theta_phi", "setFastBeamPatternThetaPhi", (beam_id, rf_freq, theta, phi), {}
        )

    def setFastBeamPatternAzEl(
        self, beam_id: int, rf_freq: float, azimuth: float, elevation: float
    ) -> RetType:
        return self._answer(
            "az_el", "setFastBeamPatternAzEl", (beam_id, rf_freq, azimuth, elevation), {}
        )

    # Device operations of this class that store patterns.
    @_require_beam_pattern_setup
    def storeBeams(
        self, first: int, second: str = "b", *rest: int, flag: bool = False, **extra: Any
    ) -> RetType:
        """Store some beams."""
        return self._answer("body", "storeBeams", (first, second) + rest, dict(flag=flag, **extra))

    @_require_beam_pattern_setup
    def storeThenErase(self) -> RetType:
        """A wrapped operation that runs another one."""
        self.calls.append(("storeThenErase", (), {}))
        return self.eraseFastBeamConfig()


def failure(message: str = "refused", data: Any = None) -> RetType:
    return RetType(RetCode.ERROR, message, data)


class HookError(Exception):
    pass


FAIL_ON = failure("storage refused")
FAIL_ERASE = failure("erase refused")
WARN_ON = RetType(RetCode.WARNING, "storage warns")


# ---- the module -----------------------------------------------------------------------------


def test_module_exports_and_documentation() -> None:
    assert module.__doc__ == "Fast Beam Steering Manager module."
    assert module.__all__ == ["StartEndEnum", "_require_beam_pattern_setup", "LobeSteer"]
    assert LobeSteer.__doc__ == "Abstract base class for managing fast beam operations."
    assert LobeSteer.__module__ == "kestrix.krxdev.LobeSteer"
    assert LobeSteer.__qualname__ == "LobeSteer"
    assert _require_beam_pattern_setup.__doc__.startswith(
        "Decorator to setup beam pattern before execution and cleanup after."
    )


def test_module_is_the_extension_module() -> None:
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    for name in ["LobeSteer", "StartEndEnum", "_require_beam_pattern_setup"]:
        assert getattr(module, name).__module__ == "kestrix.krxdev.LobeSteer"
    for function in [LobeSteer.setFastParallelMode, LobeSteer.getFastBeamGain]:
        assert function.__module__ == "kestrix.krxdev.LobeSteer"
        assert function.__globals__ is vars(module)


def test_python_half_is_not_a_module_of_its_own() -> None:
    with pytest.raises(ImportError, match="run by kestrix.krxdev.LobeSteer"):
        importlib.import_module("kestrix.krxdev._lobesteer")


@pytest.mark.parametrize(
    "name, source",
    [
        ("FBSMode", KRXPublic.FBSMode),
        ("RFMode", KRXPublic.RFMode),
        ("RetCode", KRXUtils.RetCode),
        ("RetType", KRXUtils.RetType),
        ("RspType", KRXUtils._RspType),
        ("BeamPatternManager", BPM.BeamPatternManager),
    ],
)
def test_sibling_names_are_bound_at_load(name: str, source: Any) -> None:
    assert getattr(module, name) is source


@pytest.mark.parametrize(
    "patch",
    [
        # A sibling module without one of the names taken from it.
        "import kestrix.KRXPublic as p; del p.RFMode",
        "import kestrix.KRXUtils as u; del u._RspType",
        "import kestrix.krxdev.BeamPatternManager as b; del b.BeamPatternManager",
        # A sibling module that cannot be imported at all.
        "sys.modules['kestrix.krxdev.BeamPatternManager'] = None",
    ],
)
def test_missing_sibling_fails_the_import(patch: str) -> None:
    code = textwrap.dedent(
        f"""
        import sys
        {patch}
        try:
            import kestrix.krxdev.LobeSteer
        except ImportError as e:
            print("ImportError", e)
        else:
            print("imported")
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True
    ).stdout
    assert out.startswith("ImportError"), out


def test_start_end_enum() -> None:
    assert issubclass(StartEndEnum, enum.IntEnum)
    assert StartEndEnum.__doc__ == "Enum for start and end states."
    assert [(m.name, int(m)) for m in StartEndEnum] == [
        ("OTHER", 0),
        ("START", 1),
        ("END", 2),
        ("START_END", 3),
    ]
    assert StartEndEnum(2) is StartEndEnum.END
    assert StartEndEnum.__module__ == "kestrix.krxdev.LobeSteer"


# ---- the abstract base class ----------------------------------------------------------------

ABSTRACT = {
    "_create_beam_pattern_mgr",
    "getFastBeamGain",
    "getFastBeamPattern",
    "setFastBeamGain",
    "setFastBeamPatternThetaPhi",
    "setFastBeamPatternAzEl",
}


def test_is_a_genuine_abstract_base_class() -> None:
    assert issubclass(LobeSteer, abc.ABC)
    assert LobeSteer.__bases__ == (abc.ABC,)
    assert isinstance(LobeSteer, abc.ABCMeta)
    assert LobeSteer.__abstractmethods__ == frozenset(ABSTRACT)
    assert "__init__" not in vars(LobeSteer)
    with pytest.raises(TypeError, match="abstract"):
        LobeSteer()


def test_operations_in_declaration_order() -> None:
    names = [n for n in vars(LobeSteer) if not n.startswith("__") and n != "_abc_impl"]
    assert names == [
        "_beam_pattern_mgr",
        "external_control_enabled",
        "beam_pattern_mgr",
        "_create_beam_pattern_mgr",
        "_fbs_cmd_dict",
        "getFastParallelMode",
        "setFastParallelMode",
        "eraseFastBeamConfig",
        "getFastBeamGain",
        "getFastBeamPattern",
        "setFastBeamGain",
        "setFastBeamPatternThetaPhi",
        "setFastBeamPatternAzEl",
        "syncFastBeamConfig",
    ]


@pytest.mark.parametrize("missing", sorted(ABSTRACT))
def test_subclass_missing_an_abstract_operation_cannot_be_made(missing: str) -> None:
    namespace = {name: (lambda self, *a, **k: None) for name in ABSTRACT - {missing}}
    Partial = type("Partial", (LobeSteer,), namespace)
    assert Partial.__abstractmethods__ == frozenset({missing})
    with pytest.raises(TypeError, match=missing):
        Partial()


def test_subclass_without_hooks_is_made_and_fails_only_when_a_hook_is_needed() -> None:
    Bare = type("Bare", (LobeSteer,), {name: (lambda self, *a, **k: None) for name in ABSTRACT})
    device = Bare()
    with pytest.raises(AttributeError, match="_setBeamPatternEnable"):
        device.eraseFastBeamConfig()
    with pytest.raises(AttributeError, match="_getExtCtrl"):
        device.getFastParallelMode()
    assert device.external_control_enabled is False


def test_fields_are_class_level_defaults() -> None:
    assert vars(LobeSteer)["_beam_pattern_mgr"] is None
    assert vars(LobeSteer)["external_control_enabled"] is False
    device = Recorder()
    assert "_beam_pattern_mgr" not in vars(device)
    assert "external_control_enabled" not in vars(device)
    assert device._beam_pattern_mgr is None
    assert device.external_control_enabled is False
    assert device.factory_calls == 0


def test_methods_bind_like_python_functions() -> None:
    device = Recorder()
    bound = device.getFastParallelMode
    assert inspect.ismethod(bound)
    assert bound.__self__ is device
    assert bound.__func__ is LobeSteer.getFastParallelMode
    assert bound.__name__ == "getFastParallelMode"
    assert LobeSteer.getFastParallelMode.__qualname__ == "LobeSteer.getFastParallelMode"
    assert LobeSteer.getFastParallelMode.__module__ == "kestrix.krxdev.LobeSteer"
    # Called through the class, the device object is the first argument.
    device.script["get_ext"] = RetType(data="1")
    assert LobeSteer.getFastParallelMode(device).RetData is True


SIGNATURES = [
    (
        "_create_beam_pattern_mgr",
        "(self) -> kestrix.krxdev.BeamPatternManager.BeamPatternManager",
        "Create the device-specific BeamPatternManager instance.",
    ),
    ("getFastParallelMode", "(self) -> kestrix.KRXUtils.RetType", "Get the fast parallel mode."),
    (
        "setFastParallelMode",
        (
            "(self, toEnable: bool,"
            " fbs_mode: kestrix.KRXPublic.FBSMode = <FBSMode.FULL_GAIN_PHASE: 3>)"
            " -> kestrix.KRXUtils.RetType"
        ),
        "Set the fast parallel mode.",
    ),
    (
        "eraseFastBeamConfig",
        "(self) -> kestrix.KRXUtils.RetType",
        "Erase the fast beam configuration.",
    ),
    (
        "getFastBeamGain",
        "(self, rf_mode: kestrix.KRXPublic.RFMode, beam_id: int) -> kestrix.KRXUtils.RetType",
        "Get the fast beam gain.",
    ),
    (
        "getFastBeamPattern",
        "(self, beam_id: int) -> kestrix.KRXUtils.RetType",
        "Get the fast beam pattern.",
    ),
    (
        "setFastBeamGain",
        (
            "(self, rf_mode: kestrix.KRXPublic.RFMode, beam_id: int, enable: bool,"
            " com_gain: int = 0, ele_gain: int = 0) -> kestrix.KRXUtils.RetType"
        ),
        "Set the fast beam gain.",
    ),
    (
        "setFastBeamPatternThetaPhi",
        (
            "(self, beam_id: int, rf_freq: float, theta: float, phi: float)"
            " -> kestrix.KRXUtils.RetType"
        ),
        "Set the fast beam pattern.",
    ),
    (
        "setFastBeamPatternAzEl",
        (
            "(self, beam_id: int, rf_freq: float, azimuth: float, elevation: float)"
            " -> kestrix.KRXUtils.RetType"
        ),
        "Set the fast beam pattern.",
    ),
    (
        "syncFastBeamConfig",
        "(self) -> kestrix.KRXUtils.RetType",
        "Update the fast beam configuration.",
    ),
]


@pytest.mark.parametrize("name, signature, doc", SIGNATURES)
def test_signatures_and_documentation(name: str, signature: str, doc: str) -> None:
    function = vars(LobeSteer)[name]
    assert str(inspect.signature(function)) == signature
    assert inspect.getdoc(function).splitlines()[0] == doc
    assert function.__name__ == name
    assert function.__qualname__ == "LobeSteer." + name
    assert function.__annotations__["return"] in (RetType, BPM.BeamPatternManager)


def test_set_fast_parallel_mode_documents_its_arguments() -> None:
    doc = LobeSteer.setFastParallelMode.__doc__
    assert "Whether to enable or disable the fast parallel mode." in doc
    assert "The fast beam steering mode to set." in doc


def test_bound_signature_drops_self() -> None:
    device = Recorder()
    assert list(inspect.signature(device.setFastParallelMode).parameters) == [
        "toEnable",
        "fbs_mode",
    ]
    assert str(inspect.signature(device.eraseFastBeamConfig)) == "() -> kestrix.KRXUtils.RetType"


# ---- the lazy beam pattern manager ----------------------------------------------------------


def test_manager_is_created_on_first_access_only() -> None:
    device = Recorder()
    first = device.beam_pattern_mgr
    assert device.factory_calls == 1
    assert device.beam_pattern_mgr is first
    assert device._beam_pattern_mgr is first
    assert device.factory_calls == 1


def test_manager_retried_after_a_failing_factory() -> None:
    made = object()
    device = Recorder({"factory": [HookError("no memory"), made]})
    with pytest.raises(HookError, match="no memory"):
        _ = device.beam_pattern_mgr
    assert device._beam_pattern_mgr is None
    assert device.beam_pattern_mgr is made
    assert device.beam_pattern_mgr is made
    assert device.factory_calls == 2


def test_factory_returning_nothing_is_asked_again() -> None:
    device = Recorder({"factory": None})
    assert device.beam_pattern_mgr is None
    assert device.beam_pattern_mgr is None
    assert device.factory_calls == 2


def test_each_device_gets_its_own_manager() -> None:
    a, b = Recorder(), Recorder()
    assert a.beam_pattern_mgr is not b.beam_pattern_mgr
    assert (a.factory_calls, b.factory_calls) == (1, 1)
    assert LobeSteer._beam_pattern_mgr is None


def test_manager_property_is_read_only() -> None:
    device = Recorder()
    assert isinstance(vars(LobeSteer)["beam_pattern_mgr"], property)
    with pytest.raises(AttributeError):
        device.beam_pattern_mgr = object()
    assert device.factory_calls == 0


def test_base_factory_is_not_implemented() -> None:
    class NoFactory(Recorder):
        def _create_beam_pattern_mgr(self) -> Any:
            return LobeSteer._create_beam_pattern_mgr(self)

    device = NoFactory()
    for _ in range(2):
        with pytest.raises(NotImplementedError):
            _ = device.beam_pattern_mgr
        assert device._beam_pattern_mgr is None


def test_real_manager_through_the_device_class() -> None:
    class WithManager(Recorder):
        def _create_beam_pattern_mgr(self) -> BPM.BeamPatternManager:
            return BPM.BeamPatternManager()

    device = WithManager()
    device.beam_pattern_mgr.beam(RFMode.TX, 3)
    assert (RFMode.TX, 3) in device.beam_pattern_mgr


# ---- the command list -----------------------------------------------------------------------

TABLE = [
    ("_getExtCtrl", "ExtCtrl_EN?"),
    ("_setExtCtrl", "ExtCtrl_EN"),
    ("_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"),
    ("_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"),
    ("_eraseBeamPattern", "BEAM_PATTERN_ERASE"),
    ("_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"),
    ("_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"),
    ("_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"),
]


def test_command_list_in_table_order() -> None:
    table = Recorder()._fbs_cmd_dict()
    assert type(table) is dict
    assert [(k, v[0]) for k, v in table.items()] == TABLE
    for _command, rsp_type in table.values():
        assert rsp_type is _RspType.RSP_STRING


def test_command_list_is_new_on_every_call() -> None:
    device = Recorder()
    first = device._fbs_cmd_dict()
    first["_getExtCtrl"] = ("changed", None)
    del first["_reboot" if "_reboot" in first else "_setExtCtrl"]
    second = device._fbs_cmd_dict()
    assert second is not first
    assert [(k, v[0]) for k, v in second.items()] == TABLE
    assert LobeSteer._fbs_cmd_dict(device) == second
    assert device.calls == []


# ---- the setup sequence ---------------------------------------------------------------------

STORE = ("storeBeams", (1, "b"), {"flag": False})


@pytest.mark.parametrize(
    "script, expected_calls, result_label",
    [
        pytest.param({}, [ON, ERASE, STORE, OFF, APPLY], "body", id="all-succeed"),
        pytest.param({"on": FAIL_ON}, [ON, OFF, APPLY], "on", id="enable-fails"),
        pytest.param({"on": WARN_ON}, [ON, OFF, APPLY], "on", id="enable-warns"),
        pytest.param({"erase": FAIL_ERASE}, [ON, ERASE, OFF, APPLY], "erase", id="erase-fails"),
        pytest.param(
            {"body": failure("body")}, [ON, ERASE, STORE, OFF, APPLY], "body", id="body-fails"
        ),
        pytest.param(
            {"off": failure("off"), "apply": failure("apply")},
            [ON, ERASE, STORE, OFF, APPLY],
            "body",
            id="cleanup-records-ignored",
        ),
    ],
)
def test_sequence_returns_the_record_it_ended_with(
    script: dict[str, Any], expected_calls: list[Any], result_label: str
) -> None:
    script = dict(script)
    script.setdefault("body", RetType(data={"stored": 1}))
    device = Recorder(script)
    result = device.storeBeams(1)
    assert result is script[result_label]
    assert device.calls == expected_calls


@pytest.mark.parametrize(
    "raising, expected_calls",
    [
        pytest.param("on", [ON, OFF, APPLY], id="enable"),
        pytest.param("erase", [ON, ERASE, OFF, APPLY], id="erase"),
        pytest.param("body", [ON, ERASE, STORE, OFF, APPLY], id="body"),
        pytest.param("off", [ON, ERASE, STORE, OFF], id="disable-skips-apply"),
        pytest.param("apply", [ON, ERASE, STORE, OFF, APPLY], id="apply"),
    ],
)
def test_a_raised_failure_reaches_the_caller_unchanged(
    raising: str, expected_calls: list[Any]
) -> None:
    error = HookError(raising)
    device = Recorder({raising: error})
    with pytest.raises(HookError) as caught:
        device.storeBeams(1)
    assert caught.value is error
    assert device.calls == expected_calls


@pytest.mark.parametrize(
    "first, cleanup, expected_calls",
    [
        pytest.param("body", "off", [ON, ERASE, STORE, OFF], id="disable-replaces-body"),
        pytest.param("body", "apply", [ON, ERASE, STORE, OFF, APPLY], id="apply-replaces-body"),
        pytest.param("on", "off", [ON, OFF], id="disable-replaces-enable"),
        pytest.param("erase", "apply", [ON, ERASE, OFF, APPLY], id="apply-replaces-erase"),
    ],
)
def test_a_failure_raised_by_the_cleanup_replaces_the_earlier_one(
    first: str, cleanup: str, expected_calls: list[Any]
) -> None:
    earlier = HookError(first)
    replacing = ValueError(cleanup)
    device = Recorder({first: earlier, cleanup: replacing})
    with pytest.raises(ValueError) as caught:
        device.storeBeams(1)
    assert caught.value is replacing
    # As a `finally` block in Python would, the replaced failure stays visible as the context.
    assert caught.value.__context__ is earlier
    assert device.calls == expected_calls


def test_a_failure_raised_by_the_cleanup_replaces_the_result() -> None:
    replacing = HookError("apply")
    device = Recorder({"apply": replacing})
    with pytest.raises(HookError) as caught:
        device.syncFastBeamConfig()
    assert caught.value is replacing
    assert caught.value.__context__ is None
    assert device.calls == [ON, ERASE, REBOOT, OFF, APPLY]


def test_base_exceptions_pass_through_too() -> None:
    device = Recorder({"body": KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        device.storeBeams(1)
    assert device.calls[-2:] == [OFF, APPLY]


def test_success_is_identity_with_ret_code_ok() -> None:
    class LookAlike(enum.Enum):
        OK = 0

    lookalike = RetType(LookAlike.OK, "not ours")
    device = Recorder({"on": lookalike})
    assert device.storeBeams(1) is lookalike
    assert device.calls == [ON, OFF, APPLY]


def test_a_record_without_ret_code_fails_after_the_cleanup() -> None:
    device = Recorder({"erase": object()})
    with pytest.raises(AttributeError, match="RetCode"):
        device.storeBeams(1)
    assert device.calls == [ON, ERASE, OFF, APPLY]


def test_no_nesting_guard() -> None:
    device = Recorder()
    result = device.storeThenErase()
    assert result.RetCode is RetCode.OK and result.RetData is None
    assert device.calls == [
        ON,
        ERASE,
        ("storeThenErase", (), {}),
        ON,
        ERASE,
        OFF,
        APPLY,
        OFF,
        APPLY,
    ]


@pytest.mark.parametrize(
    "args, kwargs, stored",
    [
        ((5,), {}, ((5, "b"), {"flag": False})),
        ((5, "x", 7, 8), {}, ((5, "x", 7, 8), {"flag": False})),
        ((), {"first": 5, "second": "y"}, ((5, "y"), {"flag": False})),
        ((5,), {"flag": True, "extra": [1]}, ((5, "b"), {"flag": True, "extra": [1]})),
    ],
)
def test_arguments_reach_the_wrapped_operation_unchanged(
    args: tuple[Any, ...], kwargs: dict[str, Any], stored: Any
) -> None:
    device = Recorder()
    device.storeBeams(*args, **kwargs)
    assert device.calls[2] == ("storeBeams",) + stored


def test_objects_pass_by_identity() -> None:
    seen: list[Any] = []

    class Keeper(Recorder):
        @_require_beam_pattern_setup
        def keep(self, item: Any, *, other: Any = None) -> Any:
            seen.extend([self, item, other])
            return item

    device, item, other = Keeper(), object(), object()
    assert device.keep(item, other=other) is item
    assert seen[0] is device and seen[1] is item and seen[2] is other


def test_wrapped_operation_argument_errors_are_the_functions_own() -> None:
    device = Recorder()
    with pytest.raises(TypeError):
        device.storeBeams()
    # The sequence ran around the failed call, as around any failure raised inside it.
    assert device.calls == [ON, ERASE, OFF, APPLY]


# ---- the decorator's introspection ----------------------------------------------------------


def plain(self: Any, beam: int, *, label: str = "x") -> RetType:
    """Plain docs."""
    return RetType(data=(beam, label))


plain.custom = "kept"  # type: ignore[attr-defined]


def test_wrapper_presents_the_wrapped_function() -> None:
    wrapped = _require_beam_pattern_setup(plain)
    assert wrapped.__name__ == "plain"
    assert wrapped.__qualname__ == "plain"
    assert wrapped.__doc__ == "Plain docs."
    assert wrapped.__module__ == plain.__module__
    assert wrapped.__annotations__ == plain.__annotations__
    assert wrapped.__wrapped__ is plain
    assert wrapped.custom == "kept"
    assert inspect.signature(wrapped) == inspect.signature(plain)
    assert inspect.unwrap(wrapped) is plain
    assert callable(wrapped)


def test_wrapper_in_a_class_matches_the_method() -> None:
    method = vars(Recorder)["storeBeams"]
    func = method.__wrapped__
    assert method.__qualname__ == "Recorder.storeBeams" == func.__qualname__
    assert method.__doc__ == "Store some beams."
    assert str(inspect.signature(method)) == str(inspect.signature(func))
    device = Recorder()
    assert str(inspect.signature(device.storeBeams)) == (
        "(first: int, second: str = 'b', *rest: int, flag: bool = False, **extra: Any)"
        " -> kestrix.KRXUtils.RetType"
    )


def test_wrapper_takes_a_recorded_signature_once() -> None:
    def func(self: Any, *args: Any) -> RetType:
        return RetType()

    recorded = inspect.Signature([inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)])
    func.__signature__ = recorded  # type: ignore[attr-defined]
    wrapped = _require_beam_pattern_setup(func)
    assert inspect.signature(wrapped) is recorded
    func.__signature__ = inspect.Signature()  # type: ignore[attr-defined]
    assert inspect.signature(wrapped) is recorded

    def late(self: Any, a: int) -> RetType:
        return RetType()

    wrapped_late = _require_beam_pattern_setup(late)
    late.__signature__ = recorded  # type: ignore[attr-defined]
    assert list(inspect.signature(wrapped_late).parameters) == ["self", "a"]


def test_wrapper_of_a_wrapper_and_of_functools_partial() -> None:
    twice = _require_beam_pattern_setup(_require_beam_pattern_setup(plain))
    assert twice.__name__ == "plain"
    assert inspect.signature(twice) == inspect.signature(plain)
    device = Recorder()
    assert twice(device, 4).RetData == (4, "x")
    assert device.calls == [ON, ERASE, ON, ERASE, OFF, APPLY, OFF, APPLY]

    partial = _require_beam_pattern_setup(functools.partial(plain, label="p"))
    device = Recorder()
    assert partial(device, 2).RetData == (2, "p")


def test_abstract_functions_stay_abstract_when_wrapped() -> None:
    class Base(abc.ABC):
        @_require_beam_pattern_setup
        @abc.abstractmethod
        def store(self) -> RetType:
            """Store."""

    assert Base.__abstractmethods__ == frozenset({"store"})


def test_decorator_refuses_what_it_cannot_call() -> None:
    with pytest.raises(TypeError, match="callable"):
        _require_beam_pattern_setup(42)
    with pytest.raises(TypeError):
        _require_beam_pattern_setup()
    assert str(inspect.signature(_require_beam_pattern_setup)).startswith("(func: ")


def test_wrapper_called_without_a_device_object() -> None:
    wrapped = _require_beam_pattern_setup(plain)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
        wrapped()


def test_classes_with_wrapped_methods_can_be_collected() -> None:
    def make() -> Any:
        class Temporary(Recorder):
            @_require_beam_pattern_setup
            def store(self) -> RetType:
                return super().eraseFastBeamConfig()  # refers back to the class

        Temporary().store()
        return weakref.ref(Temporary)

    ref = make()
    gc.collect()
    assert ref() is None


# ---- erase and sync -------------------------------------------------------------------------


def test_erase_fast_beam_config_success_has_no_payload() -> None:
    device = Recorder({"erase": RetType(data="erased")})
    result = device.eraseFastBeamConfig()
    assert type(result) is RetType
    assert result.RetCode is RetCode.OK and result.RetData is None
    assert device.calls == [ON, ERASE, OFF, APPLY]


def test_erase_fast_beam_config_enable_failure() -> None:
    device = Recorder({"on": FAIL_ON})
    assert device.eraseFastBeamConfig() is FAIL_ON
    assert device.calls == [ON, OFF, APPLY]


@pytest.mark.parametrize(
    "reboot",
    [RetType(data={"uptime": 0}), failure("reboot refused", data=[1])],
    ids=["success", "failure"],
)
def test_sync_fast_beam_config_returns_the_reboot_record(reboot: RetType) -> None:
    device = Recorder({"reboot": reboot})
    assert device.syncFastBeamConfig() is reboot
    assert device.calls == [ON, ERASE, REBOOT, OFF, APPLY]


@pytest.mark.parametrize("label", ["on", "erase"])
def test_sync_does_not_reboot_after_a_failed_setup(label: str) -> None:
    record = failure(label)
    device = Recorder({label: record})
    assert device.syncFastBeamConfig() is record
    assert REBOOT not in device.calls
    assert device.calls[-2:] == [OFF, APPLY]


def test_wrapped_concrete_operations_take_no_arguments() -> None:
    device = Recorder()
    with pytest.raises(TypeError):
        device.syncFastBeamConfig(1)
    with pytest.raises(TypeError):
        device.eraseFastBeamConfig(unknown=1)
    assert REBOOT not in device.calls


# ---- fast parallel mode ---------------------------------------------------------------------


class Plain(enum.Enum):
    MODE = 2


@pytest.mark.parametrize(
    "args, kwargs, sent, state",
    [
        ((True,), {}, "1,3", True),
        ((False,), {}, "0,3", False),
        ((False, FBSMode.PHASE_ONLY), {}, "0,1", False),
        ((), {"toEnable": True, "fbs_mode": FBSMode.GAIN_ONLY}, "1,2", True),
        ((1,), {"fbs_mode": 3}, "1,3", True),
        ((None,), {}, "0,3", False),
        (([],), {}, "0,3", False),
        (("yes", 7), {}, "1,7", True),
        ((True, Plain.MODE), {}, "1,2", True),
    ],
)
def test_set_fast_parallel_mode_sends_flag_and_mode(
    args: tuple[Any, ...], kwargs: dict[str, Any], sent: str, state: bool
) -> None:
    hook_record = RetType(data="hook data")
    device = Recorder({"set_ext": hook_record})
    device.external_control_enabled = not state
    result = device.setFastParallelMode(*args, **kwargs)
    assert device.calls == [("_setExtCtrl", (sent,), {})]
    assert result is not hook_record
    assert type(result) is RetType
    assert result.RetCode is RetCode.OK and result.RetData is None
    assert device.external_control_enabled is state


def test_set_fast_parallel_mode_failure_keeps_the_state() -> None:
    device = Recorder()
    assert device.setFastParallelMode(True).RetCode is RetCode.OK
    assert device.external_control_enabled is True
    refused = failure("ext refused")
    device.script["set_ext"] = refused
    assert device.setFastParallelMode(False) is refused
    assert device.external_control_enabled is True
    device.script["set_ext"] = HookError("link down")
    with pytest.raises(HookError):
        device.setFastParallelMode(False)
    assert device.external_control_enabled is True


@pytest.mark.parametrize("mode", [1.5, "3", None, object()])
def test_set_fast_parallel_mode_refuses_a_mode_without_integer_value(mode: Any) -> None:
    device = Recorder()
    with pytest.raises(TypeError, match="fbs_mode"):
        device.setFastParallelMode(True, mode)
    assert device.calls == []
    assert device.external_control_enabled is False


def test_set_fast_parallel_mode_truth_failure_sends_nothing() -> None:
    class Undecided:
        def __bool__(self) -> bool:
            raise HookError("no truth")

    device = Recorder()
    with pytest.raises(HookError):
        device.setFastParallelMode(Undecided())
    assert device.calls == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 1 required positional argument: 'toEnable'"),
        ((True, 3, 4), {}, "takes from 2 to 3 positional arguments but 4 were given"),
        ((True,), {"toEnable": False}, "got multiple values for argument 'toEnable'"),
        ((True,), {"mode": 3}, "got an unexpected keyword argument 'mode'"),
    ],
)
def test_set_fast_parallel_mode_argument_errors(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    device = Recorder()
    with pytest.raises(TypeError, match=message):
        device.setFastParallelMode(*args, **kwargs)
    assert device.calls == []


def test_set_fast_parallel_mode_default_was_fixed_with_the_class(monkeypatch: Any) -> None:
    class Other(enum.IntEnum):
        FULL_GAIN_PHASE = 9

    monkeypatch.setattr(KRXPublic, "FBSMode", Other)
    monkeypatch.setattr(module, "FBSMode", Other)
    device = Recorder()
    device.setFastParallelMode(True)
    assert device.calls == [("_setExtCtrl", ("1,3",), {})]
    default = inspect.signature(LobeSteer.setFastParallelMode).parameters["fbs_mode"].default
    assert default is FBSMode.FULL_GAIN_PHASE


@pytest.mark.parametrize(
    "data, flag",
    [
        ("0", False),
        ("1", True),
        (" 1 ", True),
        ("1\r\n", True),
        ("-3", True),
        ("+0", False),
        ("000", False),
        ("99999999999999999999999999", True),
        (0, False),
        (7, True),
        (2**80, True),
        (True, True),
        (False, False),
        (b"1", True),
        (bytearray(b" 0 "), False),
    ],
)
def test_get_fast_parallel_mode_reads_the_state(data: Any, flag: bool) -> None:
    device = Recorder({"get_ext": RetType(data=data)})
    device.external_control_enabled = not flag
    result = device.getFastParallelMode()
    assert type(result) is RetType
    assert result.RetCode is RetCode.OK
    assert result.RetData is flag
    assert device.calls == [("_getExtCtrl", (), {})]
    assert device.external_control_enabled is (not flag)


def test_get_fast_parallel_mode_failure_record_unchanged() -> None:
    refused = failure("query refused", data="1")
    device = Recorder({"get_ext": refused})
    assert device.getFastParallelMode() is refused


@pytest.mark.parametrize(
    "data, error",
    [
        ("", ValueError),
        ("1,3", ValueError),
        ("1.0", ValueError),
        ("on", ValueError),
        (None, TypeError),
        (1.0, TypeError),
        ([1], TypeError),
    ],
)
def test_get_fast_parallel_mode_unreadable_state(data: Any, error: type) -> None:
    device = Recorder({"get_ext": RetType(data=data)})
    with pytest.raises(error):
        device.getFastParallelMode()


def test_get_fast_parallel_mode_takes_no_arguments() -> None:
    device = Recorder()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        device.getFastParallelMode(True)
    assert device.calls == []


def test_fast_parallel_mode_leaves_beam_pattern_storage_alone() -> None:
    device = Recorder({"get_ext": RetType(data="1")})
    device.setFastParallelMode(True)
    device.getFastParallelMode()
    assert [c[0] for c in device.calls] == ["_setExtCtrl", "_getExtCtrl"]


# ---- the abstract operations' base versions -------------------------------------------------


class CallsBase(Recorder):
    """Hands every abstract operation to LobeSteer's own version."""

    def getFastBeamGain(self, *args: Any, **kwargs: Any) -> RetType:
        return LobeSteer.getFastBeamGain(self, *args, **kwargs)

    def getFastBeamPattern(self, *args: Any, **kwargs: Any) -> RetType:
        return LobeSteer.getFastBeamPattern(self, *args, **kwargs)

    def setFastBeamGain(self, *args: Any, **kwargs: Any) -> RetType:
        return LobeSteer.setFastBeamGain(self, *args, **kwargs)

    def setFastBeamPatternThetaPhi(self, *args: Any, **kwargs: Any) -> RetType:
        return LobeSteer.setFastBeamPatternThetaPhi(self, *args, **kwargs)

    def setFastBeamPatternAzEl(self, *args: Any, **kwargs: Any) -> RetType:
        return LobeSteer.setFastBeamPatternAzEl(self, *args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("getFastBeamGain", (RFMode.TX, 1), {}),
        ("getFastBeamGain", (), {"rf_mode": RFMode.RX, "beam_id": 2.9}),
        ("getFastBeamPattern", (True,), {}),
        ("setFastBeamGain", (RFMode.TX, 1, None), {}),
        ("setFastBeamGain", (RFMode.TX, 1, 1, 3.5), {"ele_gain": 2}),
        ("setFastBeamPatternThetaPhi", (1, 28e9, 10, 20), {}),
        ("setFastBeamPatternThetaPhi", (), {"phi": 1, "theta": 2, "rf_freq": 3, "beam_id": 4}),
        ("setFastBeamPatternAzEl", (1, 28e9), {"azimuth": 1.5, "elevation": -2}),
    ],
)
def test_base_versions_convert_then_are_not_implemented(
    name: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    with pytest.raises(NotImplementedError, match=name):
        getattr(CallsBase(), name)(*args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("getFastBeamGain", (RFMode.TX, "1"), {}, "'beam_id' must be a number, not 'str'"),
        ("getFastBeamPattern", (None,), {}, "'beam_id' must be a number, not 'NoneType'"),
        ("setFastBeamGain", (RFMode.TX, 1, True, b"0"), {}, "'com_gain' must be a number"),
        ("setFastBeamGain", (RFMode.TX, 1, True), {"ele_gain": "0"}, "'ele_gain' must be a"),
        ("setFastBeamPatternThetaPhi", (1, "28e9", 1, 2), {}, "'rf_freq' must be a number"),
        ("setFastBeamPatternAzEl", (1, 2, 3), {"elevation": []}, "'elevation' must be a num"),
        ("getFastBeamGain", (RFMode.TX,), {}, "missing 1 required positional argument: 'beam_id'"),
        ("setFastBeamGain", (RFMode.TX,), {}, "arguments: 'beam_id' and 'enable'"),
        ("setFastBeamPatternAzEl", (), {}, "'beam_id', 'rf_freq', 'azimuth', and 'elevation'"),
        ("getFastBeamPattern", (1,), {"rf_mode": RFMode.TX}, "unexpected keyword argument"),
        ("setFastBeamGain", (RFMode.TX, 1, True, 0, 0, 0), {}, "takes from 4 to 6 positional"),
    ],
)
def test_base_versions_refuse_bad_arguments_first(
    name: str, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError, match=message):
        getattr(CallsBase(), name)(*args, **kwargs)


def test_set_fast_beam_gain_defaults_are_zero() -> None:
    parameters = inspect.signature(LobeSteer.setFastBeamGain).parameters
    assert parameters["com_gain"].default == 0 and parameters["ele_gain"].default == 0
    device = Recorder()
    device.setFastBeamGain(RFMode.RX, 4, True)
    assert device.calls == [("setFastBeamGain", (RFMode.RX, 4, True, 0, 0), {})]


def test_device_implementations_receive_arguments_by_position_and_name() -> None:
    device = Recorder()
    device.getFastBeamGain(RFMode.TX, beam_id=3)
    device.getFastBeamPattern(beam_id=5)
    device.setFastBeamPatternThetaPhi(1, rf_freq=28e9, phi=2.0, theta=1.0)
    device.setFastBeamPatternAzEl(2, 28e9, 10.0, elevation=-5.0)
    assert device.calls == [
        ("getFastBeamGain", (RFMode.TX, 3), {}),
        ("getFastBeamPattern", (5,), {}),
        ("setFastBeamPatternThetaPhi", (1, 28e9, 1.0, 2.0), {}),
        ("setFastBeamPatternAzEl", (2, 28e9, 10.0, -5.0), {}),
    ]


# ---- command lines --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "command, argument, line",
    [
        ("BEAM_PATTERN_ERASE", "", "BEAM_PATTERN_ERASE"),
        ("BEAM_PATTERN_STORE_EN", "1", "BEAM_PATTERN_STORE_EN 1"),
        ("ExtCtrl_EN", "1,3", "ExtCtrl_EN 1,3"),
        ("BEAM_PATTERN_STORE_FBS_BEAM", "0,28e9,1.5", "BEAM_PATTERN_STORE_FBS_BEAM 0,28e9,1.5"),
        ("X", " tab\tkept ", "X  tab\tkept "),
        ("X", "\u00fc", "X \u00fc"),
    ],
)
def test_command_line_is_the_command_then_its_argument(
    command: str, argument: str, line: str
) -> None:
    assert _command_line(command, argument) == line
    assert _command_line(command=command, argument=argument) == line


def test_command_line_argument_is_optional() -> None:
    assert _command_line("REBOOT") == "REBOOT"


@pytest.mark.parametrize(
    "command, argument",
    [
        ("BEAM_PATTERN_STORE_EN", "1\r\nBEAM_PATTERN_ERASE"),
        ("BEAM_PATTERN_STORE_EN", "1\nREBOOT"),
        ("BEAM_PATTERN_STORE_EN", "1\rREBOOT"),
        ("BEAM_PATTERN_STORE_EN", "1\x00REBOOT"),
        ("ExtCtrl_EN", "1,3\r\n"),
        ("REBOOT\r\nBEAM_PATTERN_ERASE", ""),
        ("REBOOT\x00", "1"),
    ],
)
def test_command_line_refuses_a_line_break_or_nul(command: str, argument: str) -> None:
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        _command_line(command, argument)
