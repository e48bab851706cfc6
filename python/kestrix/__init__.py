"""kestrix: host-side control of network-attached beam-forming radio devices.

``kestrix.KRXFlash`` updates a device's FPGA; ``kestrix.krxdev.LobeSteer`` is the base of device
classes that switch beam patterns fast.
"""

from typing import Any


def __getattr__(name: str) -> Any:
    # The one version number is pyproject.toml's; the installed distribution carries it. Reading
    # the distribution's metadata costs tens of milliseconds, so only callers who ask pay for it.
    if name == "__version__":
        from importlib.metadata import version

        value = version("kestrix")
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module 'kestrix' has no attribute {name!r}")
