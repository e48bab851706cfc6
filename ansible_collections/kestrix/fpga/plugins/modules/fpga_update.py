"""kestrix.fpga.fpga_update: flash an FPGA image into one device unless it already holds it."""

DOCUMENTATION = r"""
---
module: fpga_update
short_description: Flash an FPGA image into a kestrix device unless the device already holds it
version_added: 0.1.0
description:
  - Initialises the FPGA controller (unless O(init=false)), then reads back the image's length
    from the device's FPGA configuration flash and compares it with the image (and the bytes
    after it with erased flash). When they match and the FPGA runs the version the image
    declares (its C(FPGA_VER); without one the running version is not checked), nothing is
    written and the task reports RV(outcome=unchanged), not changed.
  - When the flash holds the image but the FPGA runs another version than the image declares
    (an earlier update whose reload was cut short, say), the module makes the FPGA load its
    configuration from the flash and reports RV(outcome=reloaded), changed.
  - Otherwise erases the flash, writes the image, reads it back, compares SHA-256 digests and
    makes the FPGA reload, and reports RV(outcome=updated), changed.
  - An update that did not verify fails the task, and so does any other failure (the image, the
    device type, an unreachable or silent device, a refused block); RV(msg) gives the cause and
    the return values say where the update stood. A failure after the erase began reports
    changed, since the flash no longer holds what it held.
  - In check mode the module only initialises (as O(init) says) and reads back and compares. The
    task reports changed when the device does not hold the image, and fails when the comparison
    itself cannot be done. Nothing is erased or written, and no O(record) line is appended; a
    O(record) that could not be opened fails the check as it would fail the update, before the
    device is contacted.
  - In diff mode the task shows the FPGA version the device runs and the SHA-256 digest of the
    image its flash holds, before and after (in check mode, after the update it would run).
  - Given O(trust_keys), the image must carry a signature (C(IMAGE.sig), made by
    C(kestrix-flash sign)) that one of those public keys verifies, made for exactly this image;
    otherwise the task fails with RV(failure=image-untrusted) and the cause, and the device is
    not contacted. Check mode applies the same policy.
  - An image that declares an older FPGA version than the device runs fails the task with
    RV(failure=downgrade-refused) before anything on the device changes, unless
    O(allow_downgrade=true). Check mode only compares, so it does not refuse an older image.
  - The work is done by the kestrix Python package (C(kestrix.fleet.update_fleet)), the same as
    C(kestrix-flash update --skip-identical) does.
options:
  image:
    description:
      - The image, a raw V(.bin) file or a V(.tbin) container, on the host that runs the module.
      - A V(.tbin) container's header must allow O(device_type).
    type: path
    required: true
  init:
    description:
      - Initialise the FPGA controller before anything else, which also checks the device's
        minimum FPGA version.
      - Device type 28's controller cannot be initialised; give V(false) for it.
      - Check mode initialises too, so that it reads the flash as the update does and fails for
        a device below the minimum version as the update would.
    type: bool
    default: true
  record:
    description:
      - A file on the host that runs the module to append one JSON line to, the audit record of
        this update (the return values below, as C(kestrix-flash update --record) writes them).
      - The file is created if missing and never truncated; its folder must exist (the module
        creates the file, not its folder). A record that cannot be opened fails the task before
        the device is contacted, in check mode too. Check mode appends nothing.
    type: path
  trust_keys:
    description:
      - Ed25519 public key files (C(KEY.pub) from C(kestrix-flash keygen), or
        C(openssl pkey -pubout)) on the host that runs the module. When any is given, only an
        image signed by one of them is flashed or checked.
      - A key file that cannot be read, or that holds no Ed25519 public key, fails the task
        before the device is contacted.
      - Only public keys belong here; the private key never goes near the hosts that run
        updates.
    type: list
    elements: path
  allow_downgrade:
    description:
      - Flash an image that declares an older FPGA version than the one the device runs.
      - A device whose running version cannot be read, or an image that declares none, is
        never refused.
    type: bool
    default: false
  window:
    description:
      - How many program and read commands are kept in flight at once. More than 1 overlaps the
        network's delays, which makes an update over a long link many times faster; V(1) sends
        one command at a time, for a device that needs lock-step.
      - A block the device refuses inside a window makes the update erase and write the image
        again one block at a time; success still means the flash reads back as the image.
    type: int
    default: 16
extends_documentation_fragment:
  - kestrix.fpga.device
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
notes:
  - One task updates one device; loop over several, or give each inventory host its device.
  - Devices that only a site host reaches are updated from it with C(delegate_to); the kestrix
    package must be installed there, for the interpreter that runs the module.
  - Device type 32 waits 3 seconds after the FPGA reloads.
seealso:
  - module: kestrix.fpga.fpga_info
author:
  - kestrix developers
"""

EXAMPLES = r"""
- name: Flash each site's radio with the release, keeping an audit record
  kestrix.fpga.fpga_update:
    image: /srv/fpga/fpga_v0.3.tbin
    device: "{{ kestrix_device }}"
    record: /var/log/kestrix/fpga-updates.jsonl

- name: A radio that only its site host reaches, updated from that host
  kestrix.fpga.fpga_update:
    image: /srv/fpga/fpga_v0.3.tbin
    device: 10.20.0.7:5025
  delegate_to: "{{ site_gateway }}"

- name: Device type 28, whose controller is not initialised
  kestrix.fpga.fpga_update:
    image: /srv/fpga/fe_v1.4.bin
    device: "{{ kestrix_device }}"
    device_type: 28
    init: false

- name: Flash only a release signed by the release key; roll back on purpose
  kestrix.fpga.fpga_update:
    image: /srv/fpga/fpga_v0.2.tbin       # with /srv/fpga/fpga_v0.2.tbin.sig beside it
    device: "{{ kestrix_device }}"
    trust_keys:
      - /etc/kestrix/release.key.pub
    allow_downgrade: true

- name: Which radios do not hold the release yet? Nothing is written
  kestrix.fpga.fpga_update:
    image: /srv/fpga/fpga_v0.3.tbin
    device: "{{ kestrix_device }}"
  check_mode: true
  register: release_check
"""

RETURN = r"""
started_at:
  description: When the job started, UTC, ISO 8601.
  returned: always
  type: str
  sample: "2025-03-14T09:26:53.589Z"
finished_at:
  description: When the job ended, UTC, ISO 8601.
  returned: always
  type: str
  sample: "2025-03-14T09:27:01.101Z"
tool_version:
  description: The version of the kestrix package that did the work.
  returned: always
  type: str
  sample: "0.1.0"
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
  description: The device type the job used.
  returned: always
  type: int
  sample: 32
mode:
  description: >-
    How the library ran: V(update-unless-identical), or V(verify) in check mode.
  returned: always
  type: str
  sample: "update-unless-identical"
device_id:
  description: The FPGA ID the device reported (empty when it was not reached).
  returned: always
  type: str
  sample: "0x0362D093"
serial:
  description: The device's serial number (empty when it was not reached).
  returned: always
  type: str
  sample: "SN-000123"
control_fw_version:
  description: The control firmware version the device reported.
  returned: always
  type: str
  sample: "1.2.0"
fpga_version_before:
  description: The FPGA version before the update.
  returned: always
  type: str
  sample: "0.2.3.4"
fpga_version_after:
  description: >-
    The FPGA version after a completed update, or after the check that found the device
    already holding the image (empty otherwise).
  returned: always
  type: str
  sample: "0.3.0.0"
image_path:
  description: The image's path; bytes of the name that are not UTF-8 are written as C(\xNN).
  returned: always
  type: str
  sample: "/srv/fpga/fpga_v0.3.tbin"
image_kind:
  description: The image's kind, V(bin) or V(tbin), from its name.
  returned: always
  type: str
  sample: "tbin"
image_size:
  description: The size of the image's data in bytes (0 when it was not read).
  returned: always
  type: int
  sample: 1048576
image_sha256:
  description: The SHA-256 digest of the image's data, hexadecimal (empty when it was not read).
  returned: always
  type: str
  sample: "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"
image_version:
  description: The FPGA version the image declares (its C(FPGA_VER)), or null.
  returned: always
  type: str
  sample: "0.3.0.0"
signing_key_id:
  description: >-
    The full id (SHA-256 of the public key, hexadecimal) of the key the image's signature names,
    or null when the image has no readable signature.
  returned: always
  type: str
  sample: "1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b1c2d3e4f5a6b7c8d9e0f1a2b"
signature_verified:
  description: Whether the image's signature verified under one of O(trust_keys).
  returned: always
  type: bool
  sample: true
trust_status:
  description: >-
    What the signature check found: V(verified), V(not-verified) (signed, no O(trust_keys)
    given), V(no-signature), V(unreadable), V(malformed), V(untrusted-key), V(bad-signature) or
    V(content-mismatch); null when the image could not be read.
  returned: always
  type: str
  sample: "verified"
bytes_written:
  description: Bytes written into the flash (0 when the device already held the image).
  returned: always
  type: int
  sample: 1048576
flash_touched:
  description: Whether an erase or a write began, so that the flash may no longer hold what it
    held before the task.
  returned: always
  type: bool
  sample: true
retries:
  description: Blocks the device refused and that were sent again.
  returned: always
  type: int
  sample: 0
seconds:
  description: Seconds per phase (V(erase), V(write), V(verify), V(reload)) and in V(total).
  returned: always
  type: dict
  sample: {"erase": 0.4, "write": 5.1, "verify": 2.2, "reload": 3.0, "total": 10.9}
outcome:
  description: >-
    V(updated), V(reloaded) or V(unchanged); in check mode V(verified) when the device holds
    and runs the image; V(failed) or V(interrupted) otherwise (in check mode, a device that does
    not hold the image is V(failed) with RV(failure=verify-failed), one that holds it but runs
    another version with RV(failure=version-mismatch), and the task reports changed).
  returned: always
  type: str
  sample: "updated"
failure:
  description: >-
    The failure's kind, such as V(block-refused), V(unreachable), V(image-untrusted) or
    V(downgrade-refused); null on success.
  returned: always
  type: str
  sample: "block-refused"
error:
  description: What went wrong, for a person; empty on success.
  returned: always
  type: str
  sample: ""
failed_offset:
  description: The byte offset a failure is about (the block refused, or the first byte read
    back wrong); null otherwise.
  returned: always
  type: int
  sample: 4096
diff:
  description: >-
    In diff mode, the FPGA version and the image digest the flash holds, before and after, as
    C(before) and C(after) texts (with C(before_header) and C(after_header) naming the device).
  returned: in diff mode
  type: dict
  sample:
    before_header: "10.20.0.7:5025 before"
    after_header: "10.20.0.7:5025 after"
    before: |
      fpga_version: 0.2.3.4
      flash: (another image)
    after: |
      fpga_version: 0.3.0.0
      flash: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
"""

import traceback
from typing import Optional, Tuple

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kestrix.fpga.plugins.module_utils.fpga_diff import update_diff
from ansible_collections.kestrix.fpga.plugins.module_utils.kestrix_device import (
    default,
    device_argument_spec,
    require_kestrix,
)

KESTRIX_IMPORT_ERROR: Optional[str]
try:
    from kestrix._core import record_problem
    from kestrix.fleet import (
        DeviceResult,
        Failure,
        FleetInterrupted,
        Outcome,
        RecordError,
        update_fleet,
    )
except ImportError:
    KESTRIX_IMPORT_ERROR = traceback.format_exc()
else:
    KESTRIX_IMPORT_ERROR = None

#: The options, as DOCUMENTATION describes them.
ARGUMENT_SPEC = device_argument_spec(
    image={"type": "path", "required": True},
    init={"type": "bool", "default": True},
    record={"type": "path"},
    trust_keys={"type": "list", "elements": "path"},
    allow_downgrade={"type": "bool", "default": False},
    window={"type": "int", **default("window")},
)


def verdict(result: "DeviceResult", check_mode: bool) -> Tuple[bool, Optional[str]]:
    """Whether the device changed (in check mode: would change), and why the task fails (None:
    it does not). Only a verified update, or a device that already holds the image, succeeds."""
    if check_mode:
        if result.ok and result.outcome_kind is Outcome.VERIFIED:
            return False, None
        # Either would be changed: the image written, or the FPGA made to load it.
        if result.failure in (Failure.VERIFY_FAILED, Failure.VERSION_MISMATCH):
            return True, None
        return False, _cause(result)
    if result.ok and result.outcome_kind is Outcome.UNCHANGED:
        return False, None
    if result.ok and result.outcome_kind in (Outcome.UPDATED, Outcome.RELOADED):
        return True, None
    # Once the erase began, the flash no longer holds what it held.
    return result.flash_touched, _cause(result)


def _cause(result: "DeviceResult") -> str:
    if result.error:
        return result.error
    return f"{result.address}: the update ended '{result.outcome}', not verified"


def _record_refused(module: AnsibleModule, record: Optional[str], error: object) -> None:
    """Fails the task for a record that cannot be opened, in the package's words when it has
    them (a missing folder, a FIFO nobody reads)."""
    problem = record_problem(record) if record is not None else None
    module.fail_json(
        msg=f"the audit record could not be opened ({problem or error}); nothing was done"
    )


def _finish(module: AnsibleModule, result: "DeviceResult", check_mode: bool) -> None:
    changed, failure = verdict(result, check_mode)
    extra = {"diff": update_diff(result, check_mode, changed)} if module._diff else {}
    if failure is not None:
        module.fail_json(msg=failure, changed=changed, **extra, **result.record)
    module.exit_json(changed=changed, **extra, **result.record)


def main() -> None:
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    require_kestrix(module, KESTRIX_IMPORT_ERROR)
    params = module.params
    check_mode = bool(module.check_mode)
    # Check mode appends nothing, but a record the update could not open fails it all the same.
    if check_mode and params["record"] is not None and record_problem(params["record"]):
        _record_refused(module, params["record"], None)
    try:
        [result] = update_fleet(
            params["image"],
            [params["device"]],
            device_type=params["device_type"],
            jobs=1,
            init=params["init"],
            mode="verify" if check_mode else "update-unless-identical",
            timeout=params["timeout"],
            window=params["window"],
            record=None if check_mode else params["record"],
            trusted_keys=params["trust_keys"],
            allow_downgrade=params["allow_downgrade"],
        )
    except FleetInterrupted as stop:
        [result] = stop.results
    except ValueError as error:
        # A device address, time-out or trusted key the library refuses: no device was touched.
        module.fail_json(msg=str(error))
    except RecordError as error:
        # The job ran to its end; only its audit line is missing.
        [result] = error.results
        changed, failure = verdict(result, check_mode)
        outcome = failure or f"the device was {result.outcome}"
        module.fail_json(
            msg=f"{outcome}, but the audit record could not be written ({error})",
            changed=changed,
            **result.record,
        )
    except OSError as error:
        # A trusted key or the record file could not be opened: no device was touched.
        if error.filename is not None and error.filename in (params["trust_keys"] or []):
            module.fail_json(msg=f"a trusted key could not be read ({error}); nothing was done")
        _record_refused(module, params["record"], error)
    _finish(module, result, check_mode)


if __name__ == "__main__":
    main()
