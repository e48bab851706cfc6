"""kestrix.fpga.fpga_update with trust_keys, in check mode and for real: an image the keys do not
sign fails its task and leaves the device alone, a signed one is flashed and its result says the
key and that it verified. Skipped where ansible-playbook is missing, like the collection's other
tests."""

import pytest

from kestrix import _core

from test_ansible_collection import BIN, flash_digest, playbook, update_task, write_image

pytestmark = pytest.mark.skipif(
    not (BIN / "ansible-playbook").is_file(),
    reason=f"ansible-playbook is not installed in {BIN} (scripts/bootstrap.sh --ansible)",
)


def test_trust_keys_refuse_an_unsigned_image_and_flash_a_signed_one(simulated_devices, tmp_path):
    [device] = simulated_devices(1)
    hosts = {"site1": device}
    made = _core.generate_key(tmp_path / "release.key")
    unsigned, _ = write_image(tmp_path / "unsigned.bin")
    signed, digest = write_image(tmp_path / "signed.bin")
    _core.sign_image(signed, made["private_key"])
    erased = flash_digest(device, 2000)
    keys = [made["public_key"]]
    tasks = [
        {**update_task(unsigned, trust_keys=keys), "ignore_errors": True},
        update_task(signed, trust_keys=keys, allow_downgrade=True),
    ]

    for options, outcome in ((["--check"], "failed"), ([], "updated")):
        run = playbook(tmp_path, hosts, tasks, *options)
        assert run.returncode == 0, run
        refused, accepted = (task["site1"] for task in run.tasks)
        assert refused["event"] == "failed" and refused["changed"] is False
        assert (refused["failure"], refused["trust_status"]) == ("image-untrusted", "no-signature")
        assert refused["msg"] == f"no signature: {unsigned}.sig does not exist"
        assert accepted["event"] == "ok" and accepted["changed"] is True
        assert accepted["outcome"] == outcome  # in check mode: would be written
        assert (accepted["signing_key_id"], accepted["signature_verified"]) == (
            made["key_id"],
            True,
        )
        assert accepted["trust_status"] == "verified"
        if options:
            assert flash_digest(device, 2000) == erased
    assert flash_digest(device, 2000) == digest
