"""kestrix: host-side control of network-attached beam-forming radio devices.

``kestrix.KRXFlash`` updates a device's FPGA; ``kestrix.krxdev.LobeSteer`` is the base of device
classes that switch beam patterns fast.
"""

__version__ = "0.1.0"
