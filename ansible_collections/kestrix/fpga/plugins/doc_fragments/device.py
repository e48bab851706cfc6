# The options every kestrix.fpga module shares: which device, of which type, how long to wait.


class ModuleDocFragment:
    DOCUMENTATION = r"""
options:
  device:
    description:
      - The device, as V(host), V(host:port) or V([ipv6-address]:port); without a port, the
        device's default port (5025).
      - The module opens a TCP connection to it from the host that runs the module (the managed
        host, or the host named by C(delegate_to)).
    type: str
    required: true
  device_type:
    description:
      - The device type. It says how the flash is erased, whether the controller can be
        initialised, how long the FPGA takes to reload and how its version is read.
      - The kestrix package knows types 28 and 32, and names the ones it supports when given
        another. Type 28 is updated with O(kestrix.fpga.fpga_update#module:init=false).
    type: int
    default: 32
  timeout:
    description:
      - Seconds to wait for each reply of the device. Connecting waits at most 5 seconds, or
        this long when it is shorter.
    type: float
    default: 10
requirements:
  - The kestrix Python package (with its native modules) on the host that runs the module.
"""
