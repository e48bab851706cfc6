"""What kestrix.fleet adds to signed images: trusted_keys, the errors Python sees for key files
before any device is touched, the loaded image's verdict, and the record fields of each result.
The decisions themselves (and downgrades) are tested in the C++ suite; allow_downgrade through
kestrix-flash in test_flash_cli_trust."""

import json
from pathlib import Path

import pytest

from kestrix import _core
from kestrix.fleet import Failure, load_image, update_fleet

from signed_images import key_id, make_keys, packed, sim_stats

# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


@pytest.fixture
def keys(tmp_path: Path) -> Path:
    return make_keys(tmp_path)


@pytest.mark.parametrize(
    "trusted, error, message",
    [
        (lambda k: [k / "missing.pub"], FileNotFoundError, "missing.pub"),
        (lambda k: [k / "release.key"], ValueError, "release.key"),
        (lambda k: [k / "release.key.pub", k / "fpga.bin"], ValueError, "fpga.bin"),
        (lambda k: str(k / "release.key.pub"), TypeError, "not a single path"),
    ],
    ids=["missing", "private-key", "not-a-key", "one-text"],
)
def test_key_files_that_cannot_be_used_raise_before_any_device(
    keys, devices, trusted, error, message
):
    image = packed(keys)
    [device] = devices(1)
    with pytest.raises(error, match=message):
        load_image(image, trusted_keys=trusted(keys))
    with pytest.raises(error, match=message):
        update_fleet(image, [device], trusted_keys=trusted(keys))
    assert sim_stats(device)["commands"] == 0


def test_a_loaded_image_must_have_been_loaded_with_the_same_keys(keys, devices):
    image = load_image(packed(keys), trusted_keys=[keys / "release.key.pub"])
    [device] = devices(1)
    with pytest.raises(ValueError, match="other trusted keys"):
        update_fleet(image, [device], trusted_keys=[keys / "other.key.pub"])
    with pytest.raises(TypeError, match="not a single path"):
        update_fleet(image, [device], trusted_keys=str(keys / "release.key.pub"))
    assert sim_stats(device)["commands"] == 0
    assert image.trusted_key_ids == [key_id(keys, "release")]


@pytest.mark.parametrize(
    "signer, trusted, status, verified, refused",
    [
        (None, [], "no-signature", False, False),
        ("release", [], "not-verified", False, False),
        ("release", ["release", "other"], "verified", True, False),
        ("other", ["release"], "untrusted-key", False, True),
        (None, ["release"], "no-signature", False, True),
    ],
)
def test_the_loaded_image_says_what_its_signature_is(
    keys, signer, trusted, status, verified, refused
):
    image = packed(keys)
    if signer is not None:
        _core.sign_image(image, keys / f"{signer}.key")
    loaded = load_image(image, trusted_keys=[keys / f"{name}.key.pub" for name in trusted])
    assert (loaded.trust_status, loaded.signature_verified) == (status, verified)
    assert loaded.signing_key_id == (None if signer is None else key_id(keys, signer))
    assert loaded.fpga_version == "0.3.0.0" and loaded.size == 2048
    if refused:
        assert loaded.fault is not None and loaded.fault[0] == Failure.IMAGE_UNTRUSTED
    else:
        assert loaded.fault is None


def test_a_signed_image_is_flashed_and_each_record_says_verified(keys, devices, tmp_path):
    image = packed(keys)
    _core.sign_image(image, keys / "release.key")
    fleet = devices(2, "--version-after-update", "0.3.0.0")
    record = tmp_path / "audit.jsonl"
    results = update_fleet(
        image, fleet, trusted_keys=[keys / "release.key.pub"], record=str(record)
    )
    assert [r.outcome for r in results] == ["updated", "updated"]
    lines = [json.loads(line) for line in record.read_text().splitlines()]
    written = {line["address"]: line for line in lines}
    for result in results:
        fields = (result.signing_key_id, result.signature_verified, result.trust_status)
        assert fields == (key_id(keys, "release"), True, "verified")
        line = written[result.address]
        assert (line["signing_key_id"], line["signature_verified"], line["trust_status"]) == fields
        assert line == result.record
