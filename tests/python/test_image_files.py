"""Image files through the Python face: FpgaTool's two checks, the packer and inspector of
KRXFlash, and the kestrix-flash command line (called in-process and as the installed script)."""

import json
import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, List, Tuple

import pytest

import kestrix.KRXFlash as KRXFlash
from kestrix.KRXFlash import FpgaTool
from kestrix.tools import flash_cli

from fpga_fakes import ScriptedConnection

Records = List[Tuple[str, str]]


@pytest.fixture
def tool() -> FpgaTool:
    return FpgaTool(connection=ScriptedConnection())


def _records(caplog: Any) -> Records:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "FPGA"]


def _pack(tmp_path: Path, image: bytes, name: str = "image.tbin", **options: Any) -> Path:
    raw = tmp_path / "raw-input.bin"
    raw.write_bytes(image)
    out = tmp_path / name
    KRXFlash._pack_image(str(raw), str(out), **options)
    return out


# --- _checkUpdateFile ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, make, content, ok, prefix",
    [
        ("missing.bin", "none", b"", False, "FPGA image path not found: "),
        ("image.txt", "file", b"abc", False, "FPGA image file type error: "),
        ("x.bin.gz", "file", b"abc", False, "FPGA image file type error: "),
        (".bin", "file", b"abc", False, "FPGA image file type error: "),
        ("folder.bin", "dir", b"", False, "FPGA image not found: "),
        ("empty.bin", "file", b"", False, "FPGA image is empty: "),
        ("one.tbin", "file", b"x", False, "FPGA image is empty: "),
        ("two.bin", "file", b"\0\0", True, ""),
        ("IMAGE.BIN", "file", b"abc", True, ""),
        ("x.TBin", "file", b"abc", True, ""),
    ],
)
def test_update_file_check(tool, tmp_path, caplog, name, make, content, ok, prefix):
    path = tmp_path / name
    if make == "file":
        path.write_bytes(content)
    elif make == "dir":
        path.mkdir()
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._checkUpdateFile(str(path)) is ok
    assert _records(caplog) == ([] if ok else [("ERROR", prefix + str(path))])


def test_update_file_check_takes_the_path_by_name(tool, tmp_path, caplog):
    path = tmp_path / "a.bin"
    path.write_bytes(b"ab")
    assert tool._checkUpdateFile(image_path=str(path)) is True


# --- _checkFileHeader ---------------------------------------------------------------------------


def test_raw_image_passes_unread_and_logs_its_size(tool, tmp_path, caplog):
    path = tmp_path / "raw.BIN"
    path.write_bytes(b"\xff" * 1234)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._checkFileHeader(image_path=str(path)) is True
    assert _records(caplog) == [("DEBUG", f"FPGA image header check: {path}, size=1234")]


def test_debug_lines_stay_hidden_at_info(tool, tmp_path, caplog):
    path = _pack(tmp_path, b"image")
    with caplog.at_level(logging.INFO, logger="FPGA"):
        assert tool._checkFileHeader(str(path)) is True
    assert _records(caplog) == []


def test_vanished_raw_image_raises(tool, tmp_path):
    with pytest.raises(OSError, match="No such file or directory"):
        tool._checkFileHeader(str(tmp_path / "gone.bin"))


def test_packed_image_passes_with_its_log_lines(tool, tmp_path, caplog):
    path = _pack(tmp_path, os.urandom(300), dev_type=28)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._checkUpdateFile(str(path)) is True
        assert tool._checkFileHeader(str(path)) is True
    assert _records(caplog) == [
        ("DEBUG", 'FPGA tbin header: {"DEV_TYPE":28}'),
        ("DEBUG", "FPGA tbin hash verify success"),
    ]


def _tampered(tmp_path: Path, offset: int, flip: int = 0x40) -> Path:
    path = _pack(tmp_path, bytes(range(200)), name=f"t{offset}.tbin")
    data = bytearray(path.read_bytes())
    data[offset] ^= flip
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize(
    "offset, flip, message",
    [
        (12, 0x40, None),  # reserved: never read
        (20, 0x40, "FPGA tbin header hash mismatch"),
        (60, 0x40, "FPGA tbin image hash mismatch"),
        (80 + 14, 0x01, "FPGA tbin header hash mismatch"),  # "DEV_TYPE": 32 becomes 33
        (80 + 16 + 5, 0x40, "FPGA tbin image hash mismatch"),
        # image_length 200 shrinks to 192; growing it would only run past the end of the file,
        # which cuts the region back to the same bytes.
        (7, 0x08, "FPGA tbin image hash mismatch"),
        (7, 0x01, None),
        (11, 0x01, "FPGA tbin image hash mismatch"),  # image_start_addr
    ],
)
def test_tampered_regions(tool, tmp_path, caplog, offset, flip, message):
    path = _tampered(tmp_path, offset, flip)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        result = tool._checkFileHeader(str(path))
    errors = [m for level, m in _records(caplog) if level == "ERROR"]
    assert result is (message is None)
    assert errors == ([] if message is None else [message])


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"", "file too short for header_length"),
        (b"\0" * 11, "file too short for image_start_addr"),
        (b"\0" * 40, "header is not valid JSON"),
    ],
)
def test_short_tbin_is_a_parse_error(tool, tmp_path, caplog, content, reason):
    path = tmp_path / "short.tbin"
    path.write_bytes(content)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._checkFileHeader(str(path)) is False
    ((level, message),) = _records(caplog)
    assert level == "ERROR"
    assert message.startswith("FPGA tbin header parse error: " + reason)


def test_missing_device_type_warns_then_fails(tool, tmp_path, caplog):
    header = tmp_path / "header.json"
    header.write_bytes(b'{"name": "x"}')
    # The packer refuses such a header, so the file is put together by hand.
    body = b'{"name": "x"}'
    prefix = len(body).to_bytes(4, "big") + (0).to_bytes(4, "big") + (93).to_bytes(4, "big")
    path = tmp_path / "none.tbin"
    path.write_bytes(prefix + bytes(68) + body)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._checkFileHeader(str(path)) is False
    records = _records(caplog)
    assert records[:2] == [
        ("DEBUG", 'FPGA tbin header: {"name":"x"}'),
        ("WARNING", "FPGA tbin header missing dev_type/DEV_TYPE"),
    ]
    assert records[2][0] == "ERROR"
    assert records[2][1].startswith("FPGA tbin header parse error: ")
    with pytest.raises(ValueError, match="names no device type"):
        KRXFlash._pack_image(str(path), str(tmp_path / "o.tbin"), header_path=str(header))


# --- device type rules, against Python's own int() and list.sort() -----------------------------


def _reference_device_type(header: dict) -> str:
    devtype = header.get("DEV_TYPE") or header.get("dev_type")
    if isinstance(devtype, list):
        devtype.sort()
        return "".join(f"{int(x):03d}" for x in devtype)
    return f"{int(devtype):03d}"


_VALUES = [
    32,
    5,
    1234,
    -5,
    -123,
    0,
    True,
    False,
    32.9,
    -32.9,
    -0.5,
    1e20,
    1e300,
    -1.5e200,
    2**63,
    2**64 - 1,
    2**64,
    -(2**63),
    " 32 ",
    "+5",
    "-5",
    "-0",
    "0007",
    "1_000",
    "0_7",
    "1__0",
    "_1",
    "1_",
    "+ 5",
    "3 2",
    "1.5",
    "0x20",
    "",
    " ",
    "abc",
    "\u0663\u0662",
    "\uff13\uff12",
    "\U0001d7d1",
    "\u3000-5\u00a0",
    "\x85 7",
    "\x1c5",
    "\x7f5",
    "\u22125",
    "\u00a0",
    "5\x00",
    "\u0966\u0967\u0968",
    "12\u2003",
    None,
    {},
    {"a": 1},
    [],
    [32, 28],
    ["32", "28"],
    [100, 28],
    ["100", "28"],
    ["10", "9", " 8"],
    [True, 0.5, 1, -2],
    [2, 1.5],
    [2**53 + 1, float(2**53)],
    [2**64 - 1, -1, 1e19],
    [7],
    [1, "2"],
    [None, 1],
    [None],
    [[1], [2]],
    [{}, {}],
    ["b", "a"],
]


@pytest.mark.parametrize("value", _VALUES, ids=[repr(v)[:40] for v in _VALUES])
@pytest.mark.parametrize("key", ["DEV_TYPE", "dev_type"])
def test_device_type_matches_python(tmp_path, key, value):
    header_obj = {key: value}
    header = tmp_path / "header.json"
    header.write_text(json.dumps(header_obj), encoding="utf-8")
    try:
        expected = _reference_device_type(json.loads(header.read_text(encoding="utf-8")))
    except (TypeError, ValueError, OverflowError):
        expected = None
    raw = tmp_path / "in.bin"
    raw.write_bytes(b"img")
    out = tmp_path / "out.tbin"
    if expected is None:
        with pytest.raises(ValueError, match="tbin header cannot be used"):
            KRXFlash._pack_image(str(raw), str(out), header_path=str(header))
        assert not out.exists()
    else:
        info = KRXFlash._pack_image(str(raw), str(out), header_path=str(header))
        assert info["device_type"] == expected
        assert KRXFlash._inspect_image(str(out))["device_type"] == expected


def test_dev_type_takes_the_true_upper_case_key_first(tmp_path):
    for header_obj, expected in [
        ({"DEV_TYPE": 0, "dev_type": 32}, "032"),
        ({"DEV_TYPE": 32, "dev_type": 28}, "032"),
        ({"DEV_TYPE": [], "dev_type": [28]}, "028"),
    ]:
        header = tmp_path / "h.json"
        header.write_text(json.dumps(header_obj))
        out = _pack(tmp_path, b"x", header_path=str(header))
        assert KRXFlash._inspect_image(str(out))["device_type"] == expected


# --- packing and inspection ---------------------------------------------------------------------


def test_pack_and_inspect_with_padding_and_gap(tmp_path):
    header = tmp_path / "header.bin"
    header.write_bytes(b"\0\0" + b'{"DEV_TYPE": [32, 28], "ver": "1.0"}' + b"\0" * 6)
    image = os.urandom(5000)
    out = _pack(tmp_path, image, header_path=str(header), image_start=4096)
    data = out.read_bytes()
    header_length = int.from_bytes(data[0:4], "big")
    assert header_length == len(header.read_bytes())
    assert data[80 + header_length : 4096] == bytes(4096 - 80 - header_length)
    assert data[4096:] == image
    report = KRXFlash._inspect_image(str(out))
    assert report["passed"] is True
    assert report["failure"] is None
    assert report["kind"] == "tbin"
    assert report["file_size"] == 4096 + 5000
    assert report["image_start"] == 4096
    assert report["image_length"] == 5000
    assert report["header"] == {"DEV_TYPE": [32, 28], "ver": "1.0"}
    assert report["device_type"] == "028032"
    assert report["header_digest_ok"] is True and report["image_digest_ok"] is True


@pytest.mark.parametrize(
    "options, error",
    [
        ({"image_start": 10}, "lies inside the prefix and header region"),
        ({"image_start": 2**32}, "does not fit the 4-byte field"),
        ({"image_start": -1}, "must not be negative"),
    ],
)
def test_pack_refuses_bad_layouts(tmp_path, options, error):
    (tmp_path / "in.bin").write_bytes(b"abc")
    (tmp_path / "out.tbin").write_bytes(b"keep me")
    with pytest.raises(ValueError, match=error):
        KRXFlash._pack_image(str(tmp_path / "in.bin"), str(tmp_path / "out.tbin"), **options)
    assert (tmp_path / "out.tbin").read_bytes() == b"keep me"


def test_pack_reports_missing_files_as_os_errors(tmp_path):
    with pytest.raises(OSError, match="No such file or directory"):
        KRXFlash._pack_image(str(tmp_path / "nope.bin"), str(tmp_path / "o.tbin"))
    (tmp_path / "in.bin").write_bytes(b"abc")
    with pytest.raises(OSError):
        KRXFlash._pack_image(
            str(tmp_path / "in.bin"), str(tmp_path / "o.tbin"), header_path=str(tmp_path / "h")
        )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bin"]


# --- the command line ---------------------------------------------------------------------------


def test_cli_pack_then_check(tmp_path, capsys):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(bytes(range(256)) * 4)
    out = tmp_path / "fw.tbin"
    assert flash_cli.main(["pack", str(raw), str(out), "--dev-type", "28"]) == 0
    assert capsys.readouterr().out.strip() == (
        f"{out}: tbin, 1120 bytes, header 16 bytes, image 1024 bytes at offset 96, device type 028"
    )
    assert flash_cli.main(["check", str(out)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"file: {out}",
        "kind: tbin",
        "size: 1120 bytes",
        "header length: 16 bytes",
        "image length: 1024 bytes at offset 96",
        "device type: 028",
        "image version: (none declared)",
        "header digest: ok",
        "image digest: ok",
        f"signature: no signature: {out}.sig does not exist (no trusted key given: none is "
        "required)",
        "result: PASS",
    ]
    versioned = tmp_path / "fw-v.tbin"
    assert flash_cli.main(["pack", str(raw), str(versioned), "--fpga-version", "0.3"]) == 0
    assert capsys.readouterr().out.strip().endswith("device type 032, FPGA version 0.3")
    assert flash_cli.main(["check", str(versioned), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["fpga_version"] == "0.3"
    assert flash_cli.main(["pack", str(raw), str(versioned), "--fpga-version", "v3"]) == 2
    assert "FPGA version must be dotted decimal numbers" in capsys.readouterr().err


def test_cli_check_names_the_failed_digest(tmp_path, capsys):
    out = _tampered(tmp_path, 80 + 16 + 3)
    assert flash_cli.main(["check", "--verbose", str(out)]) == 2
    lines = capsys.readouterr().out.splitlines()
    assert "header digest: ok" in lines
    assert "image digest: MISMATCH" in lines
    assert lines[-1] == "result: FAIL: FPGA tbin image hash mismatch"
    assert "[ERROR] FPGA tbin image hash mismatch" in lines


def test_cli_check_of_raw_and_missing_images(tmp_path, capsys):
    raw = tmp_path / "a.bin"
    raw.write_bytes(b"ab")
    assert flash_cli.main(["check", str(raw)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"file: {raw}",
        "kind: bin",
        "size: 2 bytes",
        f"signature: no signature: {raw}.sig does not exist (no trusted key given: none is "
        "required)",
        "result: PASS",
    ]
    missing = tmp_path / "b.tbin"
    assert flash_cli.main(["check", str(missing)]) == 2
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"result: FAIL: FPGA image path not found: {missing}"
    )


def test_cli_pack_with_header_and_start(tmp_path, capsys):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"\x01" * 10)
    header = tmp_path / "h.json"
    header.write_bytes(b'{"dev_type": "32"}\0\0')
    out = tmp_path / "fw.tbin"
    argv = ["pack", str(raw), str(out), "--header", str(header), "--image-start", "0x200"]
    assert flash_cli.main(argv) == 0
    assert "image 10 bytes at offset 512, device type 032" in capsys.readouterr().out
    assert out.read_bytes()[512:] == b"\x01" * 10
    assert flash_cli.main(["check", str(out)]) == 0


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["frobnicate"],
        ["pack"],
        ["pack", "a.bin"],
        ["pack", "a.bin", "b.tbin", "--image-start", "-1"],
        ["pack", "a.bin", "b.tbin", "--dev-type", "x"],
        ["pack", "a.bin", "b.tbin", "--dev-type", str(2**63)],
        ["check"],
    ],
)
def test_cli_usage_errors(argv, capsys):
    assert flash_cli.main(argv) == 2
    assert "usage: kestrix-flash" in capsys.readouterr().err


def test_cli_help_is_not_an_error(capsys):
    assert flash_cli.main(["--help"]) == 0
    out = capsys.readouterr().out
    assert "pack" in out and "check" in out


@pytest.mark.parametrize(
    "make_argv, message",
    [
        (lambda d: [d / "fw.bin", d / "o.tbin", "--image-start", "8"], "image start 8 lies inside"),
        (lambda d: [d / "none.bin", d / "o.tbin"], "No such file or directory"),
        # Writing the container over its own image would destroy it, links included.
        (lambda d: [d / "fw.bin", d / "fw.bin"], "is the image file itself"),
        (lambda d: [d / "fw.bin", d / "link.tbin"], "is the image file itself"),
        (lambda d: [d / "fw.bin", d / "fw.bin.out"], "must end in .tbin"),
    ],
    ids=["bad-layout", "missing-image", "same-file", "linked-file", "not-tbin"],
)
def test_cli_pack_input_errors_are_status_two_and_keep_the_image(
    tmp_path, capsys, make_argv, message
):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"abc")
    os.link(raw, tmp_path / "link.tbin")
    argv = [str(a) for a in make_argv(tmp_path)]
    assert flash_cli.main(["pack", *argv]) == 2
    assert message in capsys.readouterr().err
    assert raw.read_bytes() == b"abc"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.bin", "link.tbin"]


def test_cli_check_of_a_file_name_that_is_not_utf8(tmp_path, capsys):
    name = os.fsdecode(b"fw\xff.bin")  # how Python hands such a name out of sys.argv
    (tmp_path / name).write_bytes(b"raw image")
    assert flash_cli.main(["check", str(tmp_path / name)]) == 0
    out = capsys.readouterr().out
    assert "fw\\xff.bin" in out and out.splitlines()[-1] == "result: PASS"


def _installed_script() -> str:
    beside = Path(sys.executable).parent / "kestrix-flash"
    found = str(beside) if beside.exists() else shutil.which("kestrix-flash")
    if found is None:
        pytest.fail("the kestrix-flash console script is not installed")
    return found


def test_installed_console_script(tmp_path):
    script = _installed_script()
    raw = tmp_path / "fw.bin"
    raw.write_bytes(os.urandom(777))
    out = tmp_path / "fw.tbin"
    run = subprocess.run([script, "pack", str(raw), str(out)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    run = subprocess.run([script, "check", str(out)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "result: PASS"
    data = bytearray(out.read_bytes())
    data[60] ^= 1  # inside the stored image digest
    out.write_bytes(bytes(data))
    run = subprocess.run([script, "check", str(out)], capture_output=True, text=True)
    assert run.returncode == 2  # a damaged image is an input error, as for update
    assert "header digest: ok" in run.stdout and "image digest: MISMATCH" in run.stdout
    run = subprocess.run([script, "pack"], capture_output=True, text=True)
    assert run.returncode == 2
