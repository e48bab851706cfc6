"""kestrix.fpga.fpga_info: who a device is, as facts; nothing on it changes."""

DOCUMENTATION = r"""
---
module: fpga_info
short_description: Read a kestrix device's FPGA ID, serial number and versions
version_added: 0.1.0
description:
  - Asks the device for its FPGA ID, serial number, control firmware version and FPGA version
    (read as O(device_type) says), and returns them as facts under C(kestrix_fpga) and as return
    values.
  - Nothing on the device changes; the task never reports changed, in check mode or not.
  - The work is done by the kestrix Python package (C(kestrix.fleet.identify_devices)), the same
    as C(kestrix-flash info) does.
options: {}
extends_documentation_fragment:
  - kestrix.fpga.device
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.facts
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
  platform:
    platforms: posix
notes:
  - The facts describe one device; a task that loops over several devices leaves the last one's
    in C(kestrix_fpga), so register the results instead.
seealso:
  - module: kestrix.fpga.fpga_update
author:
  - kestrix developers
"""

EXAMPLES = r"""
- name: Read each site's radio
  kestrix.fpga.fpga_info:
    device: "{{ kestrix_device }}"

- name: Show what the radio runs
  ansible.builtin.debug:
    msg: "{{ kestrix_fpga.serial }} runs FPGA {{ kestrix_fpga.fpga_version }}"

- name: A type 28 device, reached through its site host
  kestrix.fpga.fpga_info:
    device: 10.20.0.7
    device_type: 28
  delegate_to: "{{ site_gateway }}"
  register: radio
"""

RETURN = r"""
ansible_facts:
  description: The facts the module sets.
  returned: success
  type: complex
  contains:
    kestrix_fpga:
      description: The return values below, in one dict.
      returned: success
      type: dict
      sample:
        address: "10.20.0.7:5025"
        host: "10.20.0.7"
        port: 5025
        device_type: 32
        device_id: "0x0362D093"
        serial: "SN-000123"
        control_fw_version: "1.2.0"
        fpga_version: "0.2.3.4"
address:
  description: The device, as V(host:port).
  returned: always
  type: str
  sample: "10.20.0.7:5025"
host:
  description: The device's host name or address.
  returned: always
  type: str
  sample: "10.20.0.7"
port:
  description: The device's TCP port.
  returned: always
  type: int
  sample: 5025
device_type:
  description: The device type the FPGA version was read as.
  returned: always
  type: int
  sample: 32
device_id:
  description: The FPGA ID.
  returned: always
  type: str
  sample: "0x0362D093"
serial:
  description: The serial number.
  returned: always
  type: str
  sample: "SN-000123"
control_fw_version:
  description: The control firmware version.
  returned: always
  type: str
  sample: "1.2.0"
fpga_version:
  description: The FPGA version, as the device type reads it (empty when it could not be read).
  returned: always
  type: str
  sample: "0.2.3.4"
failure:
  description: The failure's kind, such as V(unreachable) or V(timeout).
  returned: failure
  type: str
  sample: "unreachable"
"""

import traceback
from typing import Any, Dict, Optional

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kestrix.fpga.plugins.module_utils.kestrix_device import (
    device_argument_spec,
    require_kestrix,
)

KESTRIX_IMPORT_ERROR: Optional[str]
try:
    from kestrix.fleet import DeviceResult, FleetInterrupted, identify_devices
except ImportError:
    KESTRIX_IMPORT_ERROR = traceback.format_exc()
else:
    KESTRIX_IMPORT_ERROR = None

#: The options, as DOCUMENTATION describes them.
ARGUMENT_SPEC = device_argument_spec()


def device_facts(result: "DeviceResult") -> Dict[str, Any]:
    """The device's ids and versions, as the facts and return values name them."""
    return {
        "address": result.address,
        "host": result.host,
        "port": result.port,
        "device_type": result.device_type,
        "device_id": result.device_id,
        "serial": result.serial,
        "control_fw_version": result.control_fw_version,
        "fpga_version": result.fpga_version_before,
    }


def main() -> None:
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    require_kestrix(module, KESTRIX_IMPORT_ERROR)
    params = module.params
    try:
        [result] = identify_devices(
            [params["device"]],
            device_type=params["device_type"],
            jobs=1,
            timeout=params["timeout"],
        )
    except FleetInterrupted as stop:
        [result] = stop.results
    except ValueError as error:
        # A device address or time-out the library refuses: no device was asked.
        module.fail_json(msg=str(error))
    facts = device_facts(result)
    if not result.ok or result.outcome != "identified":
        module.fail_json(
            msg=result.error or f"{result.address}: not identified",
            failure=result.record["failure"],
            **facts,
        )
    module.exit_json(changed=False, ansible_facts={"kestrix_fpga": facts}, **facts)


if __name__ == "__main__":
    main()
