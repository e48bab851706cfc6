"""What the bindings and the command line add to signed images: the exceptions Python sees, the
FpgaTool's trusted keys, and the exit statuses of keygen, sign, pack --sign-key and check
--trust-key. The decisions themselves are tested in the C++ suite."""

import json
import os
from pathlib import Path
from typing import List

import pytest

from kestrix import _core
from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode
from kestrix.tools import flash_cli

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


# --- the command line ---------------------------------------------------------------------------


def _argv(keys: Path, image: Path, words: List[str]) -> List[str]:
    return [w.replace("DIR", str(keys)).replace("IMAGE", str(image)) for w in words]


@pytest.mark.parametrize(
    "arrange, words, status",
    [
        (None, ["keygen", "DIR/new.key"], 0),
        (None, ["keygen", "DIR/release.key"], 2),
        ("pub-exists", ["keygen", "DIR/new.key"], 2),
        (None, ["sign", "IMAGE", "--key", "DIR/release.key"], 0),
        ("open-key", ["sign", "IMAGE", "--key", "DIR/release.key"], 2),
        (None, ["sign", "IMAGE", "--key", "DIR/release.key.pub"], 2),
        (None, ["sign", "DIR/none.bin", "--key", "DIR/release.key"], 2),
        (None, ["sign", "IMAGE", "--key", "DIR/none.key"], 2),
        (None, ["sign", "IMAGE"], 2),
        ("signed", ["check", "IMAGE"], 0),
        ("signed", ["check", "IMAGE", "--trust-key", "DIR/release.key.pub"], 0),
        ("signed", ["check", "IMAGE", "--trust-key", "DIR/other.key.pub"], 2),
        (
            "signed",
            [
                "check",
                "IMAGE",
                "--trust-key",
                "DIR/other.key.pub",
                "--trust-key",
                "DIR/release.key.pub",
            ],
            0,
        ),
        (None, ["check", "IMAGE", "--trust-key", "DIR/release.key.pub"], 2),
        ("signed", ["check", "IMAGE", "--trust-key", "DIR/none.pub"], 2),
        ("signed", ["check", "IMAGE", "--trust-key", "DIR/release.key"], 2),
        ("changed", ["check", "IMAGE", "--trust-key", "DIR/release.key.pub"], 2),
        ("changed", ["check", "IMAGE"], 0),
    ],
    ids=[
        "keygen",
        "keygen-key-exists",
        "keygen-pub-exists",
        "sign",
        "sign-open-key",
        "sign-public-key",
        "sign-missing-image",
        "sign-missing-key",
        "sign-without-key",
        "check-signed-untrusted-run",
        "check-trusted",
        "check-other-key",
        "check-one-of-two-keys",
        "check-unsigned",
        "check-missing-trust-key",
        "check-private-trust-key",
        "check-changed-image",
        "check-changed-image-untrusted-run",
    ],
)
def test_cli_exit_statuses(keys, image, capsys, arrange, words, status):
    if arrange == "pub-exists":
        (keys / "new.key.pub").write_text("keep")
    elif arrange == "open-key":
        os.chmod(keys / "release.key", 0o640)
    elif arrange in ("signed", "changed"):
        _core.sign_image(image, keys / "release.key")
        if arrange == "changed":
            image.write_bytes(b"\xff" + image.read_bytes()[1:])
    assert flash_cli.main(_argv(keys, image, words)) == status
    captured = capsys.readouterr()
    if status == 2 and words[0] != "check":
        assert captured.err.startswith(f"kestrix-flash {words[0]}: ") or "usage:" in captured.err
    if arrange == "pub-exists":
        assert (keys / "new.key.pub").read_text() == "keep" and not (keys / "new.key").exists()


def test_cli_check_shows_the_signature_and_refuses_with_its_cause(keys, image, capsys):
    assert flash_cli.main(["check", str(image)]) == 0
    assert f"signature: no signature: {image}.sig does not exist" in capsys.readouterr().out

    _core.sign_image(image, keys / "other.key")
    other = _core.public_key_id(keys / "other.key.pub")[:16]
    assert flash_cli.main(["check", str(image)]) == 0
    assert f"signature: signed by {other}, not verified" in capsys.readouterr().out

    argv = ["check", str(image), "--trust-key", str(keys / "release.key.pub"), "--json"]
    assert flash_cli.main(argv) == 2
    report = json.loads(capsys.readouterr().out)
    assert report["exit_status"] == 2 and report["passed"] is True
    assert report["signature"]["status"] == "untrusted-key"
    assert report["signature"]["message"] == (
        f"{image}.sig is signed by {other}, a key that is not trusted"
    )


def test_cli_pack_signs_the_packed_file_or_writes_nothing(keys, image, capsys):
    out = keys / "fpga.tbin"
    argv = ["pack", str(image), str(out), "--fpga-version", "0.3", "--sign-key"]
    os.chmod(keys / "other.key", 0o644)
    assert flash_cli.main([*argv, str(keys / "other.key")]) == 2
    assert "too open" in capsys.readouterr().err
    assert not out.exists()

    assert flash_cli.main([*argv, str(keys / "release.key"), "--json"]) == 0
    packed = json.loads(capsys.readouterr().out)
    assert packed["signature"]["signature_path"] == f"{out}.sig"
    assert packed["signature"]["fpga_version"] == "0.3"
    assert packed["signature"]["device_types"] == ["32"]
    verdict = _core.check_signature(out, [keys / "release.key.pub"])
    assert verdict["status"] == "verified"


def test_cli_keygen_then_sign_prints_the_ids(tmp_path, image, capsys):
    key = tmp_path / "k"
    assert flash_cli.main(["keygen", str(key)]) == 0
    printed = capsys.readouterr().out
    key_id = _core.public_key_id(str(key) + ".pub")
    assert f"key id: {key_id}" in printed and f"{key}.pub" in printed
    assert flash_cli.main(["sign", str(image), "--key", str(key)]) == 0
    printed = capsys.readouterr().out
    assert f"signed by {key_id[:16]} (key id {key_id})" in printed
    digest = _core.sign_image(image, key)["image_sha256"]
    assert f"image: 1024 bytes, sha256 {digest}" in printed
