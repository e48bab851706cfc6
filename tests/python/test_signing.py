"""What the bindings add to signed images: the exceptions Python sees and the FpgaTool's trusted
keys. The decisions themselves are tested in the C++ suite."""

import os
from pathlib import Path

import pytest

from kestrix import _core
from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode

from fpga_fakes import FakeController


@pytest.fixture
def keys(tmp_path: Path) -> Path:
    """A trusted key pair (release.key, release.key.pub) and another (other.key, other.key.pub)."""
    for name in ("release.key", "other.key"):
        _core.generate_key(tmp_path / name)
    return tmp_path


@pytest.fixture
def image(tmp_path: Path) -> Path:
    path = tmp_path / "fpga.bin"
    path.write_bytes(bytes(range(256)) * 4)
    return path


def test_key_pair_files_and_ids(keys):
    made = _core.generate_key(keys / "new.key")
    assert made["private_key"] == str(keys / "new.key")
    assert made["public_key"] == str(keys / "new.key.pub")
    assert made["short_key_id"] == made["key_id"][:16] and len(made["key_id"]) == 64
    assert (keys / "new.key").stat().st_mode & 0o777 == 0o600
    assert _core.private_key_id(keys / "new.key") == made["key_id"]
    assert _core.public_key_id(keys / "new.key.pub") == made["key_id"]


def test_signing_returns_the_signed_fields(keys, image):
    signed = _core.sign_image(image, keys / "release.key")
    assert signed["signature_path"] == str(image) + ".sig"
    assert signed["key_id"] == _core.public_key_id(keys / "release.key.pub")
    assert signed["image_size"] == 1024 and signed["device_types"] is None
    assert Path(signed["signature_path"]).read_text().startswith("kestrix-image-signature: 1\n")
    verdict = _core.check_signature(image, [keys / "release.key.pub"])
    assert (verdict["status"], verdict["accepted"], verdict["verified"]) == ("verified", True, True)
    assert verdict["message"] == f"signed by {signed['short_key_id']}, verified"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d, i: _core.generate_key(d / "release.key"), FileExistsError, "File exists"),
        (lambda d, i: _core.generate_key(d / "none" / "k"), FileNotFoundError, "No such file"),
        (lambda d, i: _core.sign_image(i, d / "release.key.pub"), ValueError, "holds a public key"),
        (
            lambda d, i: _core.sign_image(d / "none.bin", d / "release.key"),
            FileNotFoundError,
            "none.bin",
        ),
        (lambda d, i: _core.sign_image(i, d / "none.key"), FileNotFoundError, "none.key"),
        (
            lambda d, i: _core.sign_image(d / "fpga.txt", d / "release.key"),
            ValueError,
            "FPGA image file type error",
        ),
        (
            lambda d, i: _core.check_signature(i, [d / "release.key"]),
            ValueError,
            "holds a private key: give its public key",
        ),
        (lambda d, i: _core.check_signature(i, [d / "none.pub"]), FileNotFoundError, "none.pub"),
        (lambda d, i: _core.check_signature(i, str(d / "release.key.pub")), TypeError, "a list"),
    ],
    ids=[
        "keygen-exists",
        "keygen-no-folder",
        "sign-with-a-public-key",
        "sign-missing-image",
        "sign-missing-key",
        "sign-bad-image",
        "trust-a-private-key",
        "trust-missing-key",
        "trust-a-single-path",
    ],
)
def test_binding_exceptions(keys, image, call, error, message):
    (keys / "fpga.txt").write_bytes(b"abc")
    with pytest.raises(error, match=message):
        call(keys, image)


def test_a_key_that_others_can_read_is_refused(keys, image):
    os.chmod(keys / "release.key", 0o644)
    with pytest.raises(ValueError, match=r"permissions 0644 for '.*release.key' are too open"):
        _core.sign_image(image, keys / "release.key")
    assert not Path(str(image) + ".sig").exists()


def test_without_trusted_keys_the_verdict_only_describes(keys, image):
    assert _core.check_signature(image, [])["status"] == "no-signature"
    _core.sign_image(image, keys / "other.key")
    verdict = _core.check_signature(image, [])
    assert verdict["accepted"] and not verdict["verified"]
    assert verdict["message"].endswith(", not verified: no trusted key given")
    refused = _core.check_signature(image, [keys / "release.key.pub"])
    assert (refused["status"], refused["accepted"]) == ("untrusted-key", False)
    assert refused["short_key_id"] == verdict["short_key_id"]


# --- FpgaTool(trusted_keys=...) -----------------------------------------------------------------


@pytest.mark.parametrize(
    "key, error",
    [("none.pub", FileNotFoundError), ("release.key", ValueError), ("fpga.bin", ValueError)],
)
def test_tool_reads_its_trusted_keys_before_it_connects(keys, image, key, error):
    # Port 1 on the loopback refuses connections: only the key can stop this constructor first.
    with pytest.raises(error, match=key.replace(".", r"\.")):
        FpgaTool(address="127.0.0.1", port=1, trusted_keys=[keys / key])


@pytest.mark.parametrize("signer, ok", [("release.key", True), ("other.key", False)])
def test_tool_programs_only_what_a_trusted_key_signed(keys, image, signer, ok):
    _core.sign_image(image, keys / signer)
    device = FakeController()
    tool = FpgaTool(device, show_progress=False, trusted_keys=[str(keys / "release.key.pub")])
    ret = tool.processFpgaUpdate(str(image), device_type=32)
    if ok:
        assert ret.RetData["success"] is True
        assert bytes(device.flash[:1024]) == image.read_bytes()
    else:
        assert ret.RetCode == RetCode.ERROR
        assert "a key that is not trusted" in ret.RetMsg
        assert device.words == []
