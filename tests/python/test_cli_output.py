"""What kestrix-flash prints where: results on standard output and progress and logs on standard
error when piped, the exit status of each image fault, --quiet on every command, the fleet views
at 60 columns and the whole-update estimate."""

import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from rich.console import Console

from kestrix import KRXFlash, __version__
from kestrix.tools import flash_cli, progress_view
from kestrix.tools.fleet_summary import summary_table
from kestrix.tools.sim_cli import simulator_binary

CLI = str(Path(sys.executable).parent / "kestrix-flash")
# A line of progress: "write: 300/300 bytes (100%)", "erase", "reload (...)" or, for a fleet,
# "host:port: ..." before them.
PROGRESS = re.compile(r"(\S+:\d+: )?(erase|write:|verify:|reload|connect)")


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(4000))
    return str(path)


def run(*argv):
    return subprocess.run([CLI, *argv], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    ("argv", "results"),
    [
        (["update", "{image}", "--sim"], r"FPGA update succeeded: "),
        (["update", "{image}", "--sim", "2"], r"device\toutcome|127\.0\.0\.1:\d+\tupdated\t"),
        (["verify", "{image}", "--sim", "2"], r"device\toutcome|127\.0\.0\.1:\d+\tfailed\t"),
        (["update", "{image}", "--sim", "2", "-q"], r"FPGA update succeeded: "),
        (["info", "--sim", "2", "-q"], r"Device info: 127\.0\.0\.1:\d+: FPGA ID 0x0362D093, "),
    ],
    ids=["one", "fleet", "verify-fleet", "fleet-quiet", "info-quiet"],
)
def test_piped_standard_output_holds_only_the_results(image, argv, results):
    extra = [] if argv[0] == "info" else ["--device-type", "28", "--skip-init"]
    done = run(*(a.format(image=image) for a in argv), *extra)
    out = done.stdout.splitlines()
    assert out and all(re.match(results, line) for line in out), done.stdout
    if "-q" in argv:
        assert len(out) == int(argv[argv.index("--sim") + 1]) and done.stderr == ""
    else:
        assert any(PROGRESS.match(line) for line in done.stderr.splitlines()), done.stderr


def _garbage(tmp_path):
    """A tbin whose 11-byte header region starts with a byte no UTF-8 text starts with."""
    path = tmp_path / "garbage.tbin"
    path.write_bytes((11).to_bytes(4, "big") + bytes(76) + b"\x99 not text")
    return str(path)


def _packed(tmp_path, dev_type=32, tamper=False):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(os.urandom(200))
    out = tmp_path / "fpga.tbin"
    KRXFlash._pack_image(str(raw), str(out), dev_type=dev_type)
    if tamper:
        data = bytearray(out.read_bytes())
        data[-1] ^= 1
        out.write_bytes(bytes(data))
    return str(out)


@pytest.mark.parametrize(
    ("make", "argv", "status", "said"),
    [
        (_packed, [], 0, "result: PASS"),
        (lambda t: str(t / "missing.tbin"), [], 2, "FPGA image path not found"),
        (lambda t: _packed(t, tamper=True), [], 2, "FPGA tbin image hash mismatch"),
        (_packed, ["--device-type", "28"], 2, "made for device type 32, not for device type 28"),
        (_garbage, [], 2, "header is not UTF-8 text at byte 0: 0x99 cannot begin a character"),
    ],
    ids=["good", "missing", "damaged", "other-device-type", "not-text"],
)
def test_check_statuses_and_its_quiet_line(tmp_path, capsys, make, argv, status, said):
    path = make(tmp_path)
    assert flash_cli.main(["check", path, *argv]) == status
    assert said in capsys.readouterr().out
    assert flash_cli.main(["check", path, *argv, "-q"]) == status
    [line] = capsys.readouterr().out.splitlines()
    assert line.startswith("result: ") and said in line
    if status:  # an update refuses the image alike, before any device
        assert flash_cli.main(["update", path, "--address", "127.0.0.1", *argv, "-q"]) == status


@pytest.mark.parametrize(
    "argv",
    [
        ["pack", "a.bin", "a.tbin"],
        ["check", "a.bin"],
        ["keygen", "key"],
        ["sign", "a.bin", "--key", "key"],
        ["update", "a.bin", "--sim"],
        ["verify", "a.bin", "--sim"],
        ["info", "--sim"],
        ["history", "audit.jsonl"],
    ],
    ids=lambda argv: argv[0],
)
def test_every_command_takes_quiet(argv):
    for quiet in ("-q", "--quiet"):
        assert flash_cli.build_parser().parse_args([*argv, quiet]).quiet is True


def test_the_simulator_says_its_version():
    done = subprocess.run([str(simulator_binary()), "--version"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, f"kestrix-sim {__version__}\n")


def test_info_of_a_fleet_says_who_each_device_is():
    done = run("info", "--sim", "2")
    assert done.returncode == 0, done.stderr
    header, *rows = done.stdout.splitlines()
    assert header.split("\t") == [
        "device",
        "FPGA ID",
        "serial",
        "control firmware",
        "FPGA version",
        "error",
    ]
    cells = [row.split("\t")[1:] for row in rows]
    assert [[c for i, c in enumerate(row) if i != 1] for row in cells] == [
        ["0x0362D093", "0.1.0.6", "0.2.3.4", ""]
    ] * 2
    assert [row[1][-2:] for row in cells] == ["-0", "-1"]  # each device's own serial


def _result(address, outcome="updated", error=""):
    from kestrix.fleet import Failure

    class Result:
        mode = "update"
        fpga_version_before, fpga_version_after = "0.2.3.4", "0.3.0.0"
        seconds = {"total": 3.5}
        signature_verified, signing_key_id = False, None
        bytes_written = 65536
        ok = not error
        failure = Failure.NONE if not error else Failure.INTERRUPTED

    result = Result()
    result.address, result.outcome, result.error = address, outcome, error  # type: ignore
    return result


def _screen(renderable, width):
    console = Console(width=width, file=io.StringIO(), record=True)
    console.print(renderable)
    return console.export_text()


ADDRESSES = ["127.0.0.1:38477", "radio-17.site.example:5025"]


@pytest.mark.parametrize("width", [60, 80])
def test_an_address_is_never_cut_or_wrapped(width):
    stop = "FPGA update interrupted in the write phase: the flash is incomplete; run it again"
    results = [_result(ADDRESSES[0], "interrupted", stop), _result(ADDRESSES[1])]
    table = progress_view._FleetTable(Console(file=io.StringIO()), ADDRESSES, redirect_stderr=False)
    try:
        for result in results:
            table.finished(result)  # type: ignore[arg-type]
        live = _screen(table, width)
    finally:
        table.close()
    summary = _screen(summary_table(results, "FPGA update summary"), width)  # type: ignore
    for screen in (live, summary):
        lines = screen.splitlines()
        assert all(len(line.rstrip()) <= width for line in lines)
        for address in ADDRESSES:
            # Wherever an address starts, it is there whole.
            starts = [line for line in lines if address[:6] in line]
            assert starts and all(address in line for line in starts), screen
    # The cause once, under the table; the live row names the outcome alone.
    assert summary.replace("\n", " ").count("run it again") == 1
    assert "interrupted: interrupted" not in live


def test_the_whole_update_estimate_counts_what_is_left(monkeypatch):
    now = [100.0]
    monkeypatch.setattr(progress_view.time, "monotonic", lambda: now[0])
    whole = progress_view._WholeUpdate(progress_view.UpdatePlan("update", 1000, 3.0))
    whole.note("erase", 0, 0)
    assert whole.seconds_left() is None  # no byte has moved yet
    whole.note("write", 0, 1000)
    now[0] += 2.0
    whole.note("write", 500, 1000)  # 250 bytes/s: 500 to write, 1000 to verify, then 3 s
    assert whole.seconds_left() == pytest.approx(1500 / 250 + 3.0)
    now[0] += 2.0
    whole.note("write", 1000, 1000)
    whole.note("verify", 0, 1000)  # 1000 bytes in 4 s so far
    assert whole.seconds_left() == pytest.approx(1000 / 250 + 3.0)
    whole.note("reload", 0, 0)
    now[0] += 1.0
    assert whole.seconds_left() == pytest.approx(2.0)


def test_the_tools_keep_sixteen_in_flight_and_the_tool_one():
    import inspect
    import typing

    from kestrix import _core, fleet
    from kestrix.KRXFlash import FpgaTool

    from fpga_fakes import ScriptedConnection

    parser = flash_cli.build_parser()
    for command in ("update", "verify"):
        args = parser.parse_args([command, "x.bin", "--sim"])
        assert args.window == _core.DEFAULT_WINDOW == 16
    assert inspect.signature(fleet.update_fleet).parameters["window"].default == 16
    assert FpgaTool(connection=ScriptedConnection()).window == 1
    # The names the stubs and the signatures accept are the core's.
    assert typing.get_args(fleet.Mode) == _core.JOB_MODES
