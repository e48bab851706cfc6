"""kestrix-flash update and verify with --trust-key and --allow-downgrade, against simulated
devices: the exit status and the line of each refusal, the device left untouched, a signed
update's line, the fleet summary's count and the history's key and verified columns."""

import json
from pathlib import Path
from typing import Callable, List

import pytest

from kestrix import _core
from kestrix.tools import flash_cli

from signed_images import key_id, make_keys, packed, sim_stats

# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


@pytest.fixture
def keys(tmp_path: Path) -> Path:
    return make_keys(tmp_path)


def short(keys: Path, name: str) -> str:
    return _core.short_key_id(key_id(keys, name))


def unsigned(keys: Path) -> Path:
    return packed(keys)


def signed_by(name: str) -> Callable[[Path], Path]:
    def arrange(keys: Path) -> Path:
        image = packed(keys)
        _core.sign_image(image, keys / f"{name}.key")
        return image

    return arrange


def repacked_as_040(keys: Path) -> Path:
    """Signed as 0.3.0.0, then packed again declaring 0.4.0.0 around the same bytes."""
    signed_by("release")(keys)
    return packed(keys, "0.4.0.0")


TRUSTED = ["--trust-key", "{keys}/release.key.pub"]


@pytest.mark.parametrize(
    "arrange, command, options, sim_flags, line, untouched",
    [
        (
            unsigned,
            "update",
            TRUSTED,
            [],
            "FPGA update FAILED: no signature: {image}.sig does not exist",
            True,
        ),
        (
            signed_by("other"),
            "update",
            [*TRUSTED, "--skip-identical"],
            [],
            "FPGA update FAILED: {image}.sig is signed by {other}, a key that is not trusted",
            True,
        ),
        (
            repacked_as_040,
            "verify",
            TRUSTED,
            [],
            "FPGA verify FAILED: {image}.sig was signed for other content: fpga-version differs "
            "(signed 0.3.0.0, the image has 0.4.0.0)",
            True,
        ),
        (
            signed_by("release"),
            "update",
            ["--trust-key", "{keys}/missing.pub"],
            [],
            "kestrix-flash update: error: [Errno 2] No such file or directory: "
            "'{keys}/missing.pub'",
            True,
        ),
        (
            signed_by("release"),
            "update",
            ["--trust-key", "{keys}/release.key"],
            [],
            "kestrix-flash update: error: '{keys}/release.key' holds a private key: give its "
            "public key",
            True,
        ),
        (
            unsigned,
            "update",
            [],
            ["--fpga-version", "0.5.0.0"],
            "FPGA update FAILED: {device}: image version 0.3.0.0 is older than the running "
            "version 0.5.0.0; --allow-downgrade to install it",
            False,
        ),
    ],
    ids=["unsigned", "other-key", "repacked", "missing-key", "private-key", "downgrade"],
)
def test_each_refusal_exits_2_with_its_cause_and_the_device_unchanged(
    keys, devices, capsys, arrange, command, options, sim_flags, line, untouched
):
    image = arrange(keys)
    [device] = devices(1, *sim_flags)
    values = {"keys": keys, "image": image, "device": device, "other": short(keys, "other")}
    argv = [command, str(image), "--address", device, *(o.format(**values) for o in options)]
    assert flash_cli.main(argv) == 2
    assert line.format(**values) in capsys.readouterr().err.splitlines()
    counters = sim_stats(device)
    assert counters["erase"] == counters["program"] == 0
    # A refused image reaches no device; a refused downgrade only asked who the device is.
    assert counters["commands"] == (0 if untouched else 4)


def test_a_signed_downgrade_allowed_says_the_key_and_is_recorded(keys, devices, capsys, tmp_path):
    image = signed_by("release")(keys)
    [device] = devices(1, "--fpga-version", "0.5.0.0", "--version-after-update", "0.3.0.0")
    record = tmp_path / "audit.jsonl"
    argv = ["update", str(image), "--address", device, *(o.format(keys=keys) for o in TRUSTED)]
    assert flash_cli.main([*argv, "--allow-downgrade", "-q", "--record", str(record)]) == 0
    [out] = capsys.readouterr().out.splitlines()
    assert out.startswith(f"FPGA update succeeded: {device} now runs FPGA version 0.3.0.0")
    assert out.endswith(f"; image signed by {short(keys, 'release')}, verified")
    [line] = [json.loads(text) for text in record.read_text().splitlines()]
    assert (line["signing_key_id"], line["signature_verified"], line["trust_status"]) == (
        key_id(keys, "release"),
        True,
        "verified",
    )

    assert flash_cli.main(["history", str(record)]) == 0
    header, row = capsys.readouterr().out.splitlines()
    cells = dict(zip(header.split("\t"), row.split("\t")))
    assert (cells["key"], cells["verified"]) == (short(keys, "release"), "yes")


def summary_of(capsys, argv: List[str]) -> List[str]:
    assert flash_cli.main(argv) == 0
    return capsys.readouterr().out.splitlines()


def test_the_fleet_summary_counts_the_devices_given_a_verified_image(keys, devices, capsys):
    image = signed_by("release")(keys)
    fleet = devices(2, "--version-after-update", "0.3.0.0")
    argv = ["update", str(image), *(f"--address={d}" for d in fleet), "-q"]
    trusted = [o.format(keys=keys) for o in TRUSTED]

    lines = [json.loads(x) for x in summary_of(capsys, [*argv, *trusted, "--json"])]
    assert lines[-1]["summary"] == {
        "devices": 2,
        "exit_status": 0,
        "updated": 2,
        "signature_verified": 2,
    }
    assert all(line["signature_verified"] for line in lines[:-1])
    text = summary_of(capsys, [*argv[:-1], *trusted])  # the summary: not --quiet
    signer = short(keys, "release")
    assert text[-1] == f"signature: 2 of 2 devices got the image signed by {signer}, verified"
    # --quiet: a line per device, each saying so.
    quiet = summary_of(capsys, [*argv, *trusted])
    assert len(quiet) == 2 and all(line.endswith(f"signed by {signer}, verified") for line in quiet)
    # Without trusted keys nothing was verified, and the summary says nothing of signatures.
    lines = [json.loads(x) for x in summary_of(capsys, [*argv, "--json"])]
    assert "signature_verified" not in lines[-1]["summary"]
    assert [line["trust_status"] for line in lines[:-1]] == ["not-verified"] * 2
    assert not summary_of(capsys, argv)[-1].startswith("signature:")
