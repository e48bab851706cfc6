"""What the kestrix.fpga modules share: the device options and the failure when the kestrix
package is missing. The work itself, and every default and limit, are the package's
(kestrix.fleet, kestrix._core); nothing here talks to a device."""

from typing import Any, Dict, Optional

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from kestrix import _core
except ImportError:  # the task fails with the missing library before any option is used
    _DEFAULTS: Dict[str, Any] = {}
else:
    _DEFAULTS = {
        "device_type": _core.DEFAULT_DEVICE_TYPE,
        "timeout": _core.DEFAULT_TIMEOUT,
        "window": _core.DEFAULT_WINDOW,
    }


def default(name: str) -> Dict[str, Any]:
    """The default entry of option `name` in the module's arguments: the package's own, when it
    has one."""
    return {"default": _DEFAULTS[name]} if name in _DEFAULTS else {}


def device_argument_spec(**more: Dict[str, Any]) -> Dict[str, Dict[str, Any]]:
    """The options of plugins/doc_fragments/device.py and ``more``, a new dict each call."""
    return {
        "device": {"type": "str", "required": True},
        "device_type": {"type": "int", **default("device_type")},
        "timeout": {"type": "float", **default("timeout")},
        **more,
    }


def require_kestrix(module: AnsibleModule, import_error: Optional[str]) -> None:
    """Fails the task, saying which Python lacks it, when the module could not import the kestrix
    package (``import_error``: the traceback of that import, or None when it worked)."""
    if import_error is not None:
        module.fail_json(msg=missing_required_lib("kestrix"), exception=import_error)
