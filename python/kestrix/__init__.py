"""kestrix: host-side control of network-attached beam-forming radio devices.

``kestrix.KRXFlash`` updates a device's FPGA; ``kestrix.krxdev.LobeSteer`` is the base of device
classes that switch beam patterns fast.
"""

from importlib.metadata import version as _distribution_version

# The one version number is pyproject.toml's; the installed distribution carries it.
__version__ = _distribution_version("kestrix")
