"""What the kestrix.fpga modules share: the device options, the time-outs and the failure when the
kestrix package is missing. The work itself is the package's (kestrix.fleet); nothing here talks to
a device."""

from typing import Any, Dict, Optional

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

# Seconds a connection attempt may take at most, as kestrix-flash waits.
MAX_CONNECT_TIMEOUT = 5.0


def device_argument_spec(**more: Dict[str, Any]) -> Dict[str, Dict[str, Any]]:
    """The options of plugins/doc_fragments/device.py and ``more``, a new dict each call."""
    return {
        "device": {"type": "str", "required": True},
        "device_type": {"type": "int", "default": 32},
        "timeout": {"type": "float", "default": 10.0},
        **more,
    }


def require_kestrix(module: AnsibleModule, import_error: Optional[str]) -> None:
    """Fails the task, saying which Python lacks it, when the module could not import the kestrix
    package (``import_error``: the traceback of that import, or None when it worked)."""
    if import_error is not None:
        module.fail_json(msg=missing_required_lib("kestrix"), exception=import_error)


def connect_timeout(timeout: float) -> float:
    """How long connecting may take: the reply time-out, up to MAX_CONNECT_TIMEOUT."""
    return min(timeout, MAX_CONNECT_TIMEOUT)
