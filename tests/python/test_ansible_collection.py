"""The kestrix.fpga Ansible collection (ansible_collections/kestrix/fpga), run the way operators run
it: ansible-playbook with a generated inventory and playbook, connection: local, one inventory host
per simulated device, the modules running on this environment's Python.

These tests need ansible-playbook beside this environment's Python (scripts/bootstrap.sh --ansible
installs it into .venv); where it is missing, as in .venv39, they are skipped.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import tarfile
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import pytest

from kestrix import KRXFlash
from kestrix.KRXCommService import _TCPConn
from kestrix.KRXUtils import _RspType

REPO = Path(__file__).resolve().parents[2]
COLLECTION = REPO / "ansible_collections" / "kestrix" / "fpga"
BIN = Path(os.path.normpath(sys.executable)).parent  # the venv's bin, symlinks kept
# Seconds one ansible command may take here (a run takes a few).
ANSIBLE_TIMEOUT = 300

pytestmark = pytest.mark.skipif(
    not (BIN / "ansible-playbook").is_file(),
    reason=f"ansible-playbook is not installed in {BIN} (scripts/bootstrap.sh --ansible)",
)

Device = Tuple[str, int]


def flash_digest(device: Device, length: int) -> str:
    """The SHA-256 of the first `length` bytes of the simulated device's flash."""
    conn = _TCPConn(*device)
    assert conn.initConnection()
    try:
        query = f"SIM_FLASH_SHA256? {length}\r\n".encode()
        return conn.sendCmd(query, _RspType.RSP_STRING).RetData
    finally:
        conn.closeConnection()


def write_image(path: Path, size: int = 2000) -> Tuple[str, str]:
    """A random raw image at `path`: its path and SHA-256."""
    data = os.urandom(size)
    path.write_bytes(data)
    return str(path), hashlib.sha256(data).hexdigest()


# A callback plugin beside the default output: it writes every task's result per host, with the
# event it came in as "event" ("ok", "failed", "unreachable"), and the counts of the play recap, to
# the file $KESTRIX_TEST_RESULTS names.
RESULTS_CALLBACK = """
import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "notification"
    CALLBACK_NAME = "kestrix_test_results"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.tasks = []

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.tasks.append({})

    def record(self, result, event):
        values = json.loads(self._dump_results(result.result))
        if "diff" in result.result:  # which the screen's dump leaves out
            values["diff"] = result.result["diff"]
        self.tasks[-1][result.host.get_name()] = {**values, "event": event}

    def v2_runner_on_ok(self, result):
        self.record(result, "ok")

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, "failed")

    def v2_runner_on_unreachable(self, result):
        self.record(result, "unreachable")

    def v2_playbook_on_stats(self, stats):
        counts = {host: stats.summarize(host) for host in stats.processed}
        with open(os.environ["KESTRIX_TEST_RESULTS"], "w") as file:
            json.dump({"tasks": self.tasks, "stats": counts}, file)
"""


class Run(NamedTuple):
    """A finished ansible-playbook run: its exit status and output, each task's result per host,
    and the recap's counts per host."""

    returncode: int
    stdout: str
    stderr: str
    tasks: List[Dict[str, Any]]
    stats: Dict[str, Dict[str, int]]

    def __str__(self) -> str:
        return f"exit status {self.returncode}\n{self.stdout}\n{self.stderr}"


def ansible_env(tmp_path: Path) -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("ANSIBLE_")}
    env.update(
        ANSIBLE_COLLECTIONS_PATH=str(REPO),
        ANSIBLE_HOME=str(tmp_path / "ansible-home"),
        ANSIBLE_LOCAL_TEMP=str(tmp_path / "ansible-local"),
        ANSIBLE_REMOTE_TMP=str(tmp_path / "ansible-remote"),
        ANSIBLE_NOCOLOR="1",
        ANSIBLE_RETRY_FILES_ENABLED="0",
        LC_ALL="C.UTF-8",
    )
    return env


def ansible(
    tmp_path: Path, tool: str, *args: str, **env: str
) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [str(BIN / tool), *args],
        cwd=tmp_path,
        env={**ansible_env(tmp_path), **env},
        capture_output=True,
        text=True,
        timeout=ANSIBLE_TIMEOUT,
    )


def playbook(
    tmp_path: Path,
    hosts: Dict[str, Device],
    tasks: List[Dict[str, Any]],
    *options: str,
    python: Optional[str] = None,
) -> Run:
    """Runs `tasks` on every host of an inventory in which each host's `kestrix_device` is its
    simulated device (JSON is YAML, so both files are written as JSON)."""
    inventory = {
        "all": {
            "hosts": {name: {"kestrix_device": f"{h}:{p}"} for name, (h, p) in hosts.items()},
            "vars": {
                "ansible_connection": "local",
                "ansible_python_interpreter": python or sys.executable,
            },
        }
    }
    (tmp_path / "inventory.json").write_text(json.dumps(inventory))
    play = [{"name": "kestrix", "hosts": "all", "gather_facts": False, "tasks": tasks}]
    (tmp_path / "playbook.yml").write_text(json.dumps(play))
    plugins = tmp_path / "callback_plugins"
    plugins.mkdir(exist_ok=True)
    (plugins / "kestrix_test_results.py").write_text(RESULTS_CALLBACK)
    results = tmp_path / "results.json"
    results.unlink(missing_ok=True)
    done = ansible(
        tmp_path,
        "ansible-playbook",
        "-i",
        "inventory.json",
        "playbook.yml",
        *options,
        ANSIBLE_CALLBACK_PLUGINS=str(plugins),
        ANSIBLE_CALLBACKS_ENABLED="kestrix_test_results",
        KESTRIX_TEST_RESULTS=str(results),
    )
    assert results.is_file(), done.stdout + done.stderr
    written = json.loads(results.read_text())
    return Run(done.returncode, done.stdout, done.stderr, written["tasks"], written["stats"])


def update_task(image: str, **more: Any) -> Dict[str, Any]:
    args = {"image": image, "device": "{{ kestrix_device }}", "device_type": 28, "init": False}
    return {"kestrix.fpga.fpga_update": {**args, **more}}


def three_hosts(simulated_devices) -> Dict[str, Device]:
    return dict(zip(["site1", "site2", "site3"], simulated_devices(3)))


def test_update_then_nothing_to_do_then_check_mode_writes_nothing(simulated_devices, tmp_path):
    hosts = three_hosts(simulated_devices)
    image, digest = write_image(tmp_path / "fpga_a.bin")
    other, _ = write_image(tmp_path / "fpga_b.bin")
    record = str(tmp_path / "{{ inventory_hostname }}.jsonl")

    first = playbook(tmp_path, hosts, [update_task(image, record=record, window=8)])
    assert first.returncode == 0, first
    [results], stats = first.tasks, first.stats
    for name, device in hosts.items():
        result = results[name]
        assert result["changed"] is True and result["event"] == "ok"
        assert result["outcome"] == "updated" and result["failure"] is None
        assert result["mode"] == "update-unless-identical"
        assert (result["image_sha256"], result["bytes_written"]) == (digest, 2000)
        assert result["address"] == "{}:{}".format(*device)
        assert flash_digest(device, 2000) == digest
        assert stats[name]["changed"] == 1 and stats[name]["failures"] == 0

    second = playbook(tmp_path, hosts, [update_task(image, record=record)])
    assert second.returncode == 0, second
    [results], stats = second.tasks, second.stats
    for name in hosts:
        assert results[name]["changed"] is False
        assert (results[name]["outcome"], results[name]["bytes_written"]) == ("unchanged", 0)
        assert stats[name]["changed"] == 0 and stats[name]["ok"] == 1

    # Another image would change every device; the image they hold would not.
    check = playbook(
        tmp_path,
        hosts,
        [update_task(other, record=record), update_task(image, record=record)],
        "--check",
    )
    assert check.returncode == 0, check
    [would, would_not], stats = check.tasks, check.stats
    for name, device in hosts.items():
        assert would[name]["changed"] is True and would[name]["event"] == "ok"
        assert (would[name]["mode"], would[name]["failure"]) == ("verify", "verify-failed")
        assert would[name]["bytes_written"] == 0
        assert would_not[name]["changed"] is False
        assert would_not[name]["outcome"] == "verified"
        assert flash_digest(device, 2000) == digest
        assert stats[name]["failures"] == 0

    # One audit line per device and real run; check mode appended none.
    for name in hosts:
        lines = (tmp_path / f"{name}.jsonl").read_text().splitlines()
        assert [json.loads(line)["outcome"] for line in lines] == ["updated", "unchanged"]


def test_a_device_that_holds_the_image_but_runs_another_version_is_reloaded(
    simulated_devices, tmp_path
):
    # The image declares its version; the device's flash holds it, but its FPGA never loaded it
    # (an earlier update lost its link during the reload).
    data = os.urandom(2000)
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(data)
    image = str(tmp_path / "fpga.tbin")
    KRXFlash._pack_image(str(raw), image, dev_type=28, fpga_version="0.5")
    [device] = simulated_devices(1, "--fpga-version", "0.4", "--version-after-update", "0.5")
    tool = KRXFlash.FpgaTool(address=device[0], port=device[1], show_progress=False)
    tool._fpgaErase("14")
    tool._fpgaRstPagePtr("CFG")
    for at in range(0, len(data), 16):
        assert tool._fpgaProgram(data[at : at + 16])
    tool.disconnect()

    check = playbook(tmp_path, {"site1": device}, [update_task(image)], "--check")
    [results] = check.tasks
    assert (results["site1"]["changed"], results["site1"]["failure"]) == (True, "version-mismatch")
    run = playbook(tmp_path, {"site1": device}, [update_task(image)])
    assert run.returncode == 0, run
    [results] = run.tasks
    result = results["site1"]
    assert (result["changed"], result["outcome"], result["bytes_written"]) == (True, "reloaded", 0)
    assert (result["fpga_version_before"], result["fpga_version_after"]) == ("0.4", "0.5")
    again = playbook(tmp_path, {"site1": device}, [update_task(image)])
    [results] = again.tasks
    assert (results["site1"]["changed"], results["site1"]["outcome"]) == (False, "unchanged")


RECAP = re.compile(r"^(\S+)\s+:\s+ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)")


def test_a_device_that_refuses_every_block_fails_only_its_own_host(simulated_devices, tmp_path):
    [good1, good2] = simulated_devices(2)
    [refusing] = simulated_devices(1, "--refuse-from", "0")
    hosts = {"site1": good1, "site2": refusing, "site3": good2}
    image, digest = write_image(tmp_path / "fpga.bin")

    run = playbook(tmp_path, hosts, [update_task(image)])
    assert run.returncode == 2, run  # ansible-playbook: a host failed
    # The play recap as printed: ok, changed, unreachable, failed.
    recap = run.stdout[run.stdout.index("PLAY RECAP") :].splitlines()
    counts = {m[1]: tuple(map(int, m.groups()[1:])) for m in map(RECAP.match, recap) if m}
    assert counts == {"site1": (1, 1, 0, 0), "site2": (0, 0, 0, 1), "site3": (1, 1, 0, 0)}

    [results] = run.tasks
    assert results["site1"]["changed"] and results["site3"]["changed"]
    failed = results["site2"]
    assert failed["event"] == "failed"
    assert "refused by the controller" in failed["msg"] and failed["msg"] == failed["error"]
    assert (failed["failure"], failed["failed_offset"], failed["outcome"]) == (
        "block-refused",
        0,
        "failed",
    )
    assert failed["changed"] is True  # erased before the refused block
    for device in (good1, good2):
        assert flash_digest(device, 2000) == digest


def test_an_update_that_does_not_verify_fails(simulated_devices, tmp_path):
    [device] = simulated_devices(1, "--corrupt-read", "100")
    image, _ = write_image(tmp_path / "fpga.bin")
    run = playbook(tmp_path, {"site1": device}, [update_task(image)])
    assert run.returncode == 2, run
    [results] = run.tasks
    result = results["site1"]
    assert (result["event"], result["changed"]) == ("failed", True)
    assert (result["outcome"], result["failure"], result["failed_offset"]) == (
        "failed",
        "verify-failed",
        100,
    )
    assert result["bytes_written"] == 2000 and "byte offset 100" in result["msg"]
    assert run.stats["site1"]["failures"] == 1


def test_an_audit_record_that_cannot_be_written_fails_the_task_after_the_update(
    simulated_devices, tmp_path
):
    [device] = simulated_devices(1)
    image, digest = write_image(tmp_path / "fpga.bin")
    run = playbook(tmp_path, {"site1": device}, [update_task(image, record="/dev/full")])
    assert run.returncode == 2, run
    [results] = run.tasks
    result = results["site1"]
    assert (result["event"], result["changed"], result["outcome"]) == ("failed", True, "updated")
    assert "the audit record could not be written ([Errno 28]" in result["msg"]
    assert flash_digest(device, 2000) == digest


@pytest.mark.parametrize(
    ("record", "problem"),
    [
        ("{tmp}/no-folder/audit.jsonl", "no-folder' does not exist (the record is created"),
        ("{tmp}", "Is a directory"),
    ],
    ids=["missing-folder", "a-folder"],
)
def test_check_mode_fails_for_a_record_the_update_could_not_open(
    simulated_devices, tmp_path, record, problem
):
    [device] = simulated_devices(1)
    image, _ = write_image(tmp_path / "fpga.bin")
    path = record.format(tmp=tmp_path)
    run = playbook(tmp_path, {"site1": device}, [update_task(image, record=path)], "--check")
    assert run.returncode == 2, run
    result = run.tasks[0]["site1"]
    assert result["event"] == "failed" and problem in result["msg"], result
    assert result["msg"].endswith("nothing was done")
    assert not (tmp_path / "no-folder").exists()
    # Not contacted: a check that reached it would have asked who it is.
    assert sim_commands(device) == 0


def sim_commands(device: Device) -> int:
    conn = _TCPConn(*device)
    assert conn.initConnection()
    try:
        return json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData)["commands"]
    finally:
        conn.closeConnection()


def test_diff_mode_shows_the_version_and_the_image_before_and_after(simulated_devices, tmp_path):
    [device] = simulated_devices(1, "--version-after-update", "0.3.0.0")
    raw, _ = write_image(tmp_path / "fpga.bin", 1000)
    image = str(tmp_path / "fpga.tbin")
    KRXFlash._pack_image(raw, image, dev_type=28, fpga_version="0.3.0.0")
    task = [update_task(image)]
    digest = hashlib.sha256(Path(raw).read_bytes()).hexdigest()
    before = "fpga_version: 0.2.3.4\nflash: (another image)\n"
    after = f"fpga_version: 0.3.0.0\nflash: {digest}\n"
    runs = [playbook(tmp_path, {"site1": device}, task, *flags) for flags in _DIFF_RUNS]
    diffs = [run.tasks[0]["site1"]["diff"] for run in runs]
    assert all(run.returncode == 0 for run in runs), runs
    assert [(d["before"], d["after"]) for d in diffs] == [
        (before, after),  # check mode: what the update would leave
        (before, after),
        (after, after),  # unchanged
    ]
    assert diffs[0]["before_header"] == f"{device[0]}:{device[1]} before"
    assert "diff" not in playbook(tmp_path, {"site1": device}, task).tasks[0]["site1"]


_DIFF_RUNS = [("--check", "--diff"), ("--diff",), ("--diff",)]


def test_device_type_32_initialises_and_waits_for_the_reload(simulated_devices, tmp_path):
    [device] = simulated_devices(1, "--version-after-update", "0.3.0.0")
    raw, digest = write_image(tmp_path / "fpga.bin", 1000)
    image = str(tmp_path / "fpga.tbin")
    KRXFlash._pack_image(raw, image, dev_type=32)
    task = {"kestrix.fpga.fpga_update": {"image": image, "device": "{{ kestrix_device }}"}}
    run = playbook(tmp_path, {"site1": device}, [task])
    assert run.returncode == 0, run
    [results] = run.tasks
    result = results["site1"]
    assert (result["changed"], result["outcome"], result["device_type"]) == (True, "updated", 32)
    assert (result["fpga_version_before"], result["fpga_version_after"]) == ("0.2.3.4", "0.3.0.0")
    assert result["image_kind"] == "tbin" and result["seconds"]["reload"] >= 3.0
    assert flash_digest(device, 1000) == digest


def test_fpga_info_sets_facts_and_changes_nothing_in_check_mode_too(simulated_devices, tmp_path):
    hosts = dict(zip(["site1", "site2"], simulated_devices(2, "--serial", "SN-7")))
    tasks = [
        {"kestrix.fpga.fpga_info": {"device": "{{ kestrix_device }}"}, "register": "info"},
        {
            "ansible.builtin.assert": {
                "that": [
                    "kestrix_fpga == info.ansible_facts.kestrix_fpga",
                    "kestrix_fpga.address == kestrix_device",
                    "kestrix_fpga.serial.startswith('SN-7-')",
                ]
            }
        },
    ]
    run = playbook(tmp_path, hosts, tasks, "--check")
    assert run.returncode == 0, run
    [info, asserted], stats = run.tasks, run.stats
    for index, (name, (host, port)) in enumerate(hosts.items()):
        facts = info[name]["ansible_facts"]["kestrix_fpga"]
        assert facts == {
            "address": f"{host}:{port}",
            "host": host,
            "port": port,
            "device_type": 32,
            "device_id": "0x0362D093",
            "serial": f"SN-7-{index}",
            "control_fw_version": facts["control_fw_version"],
            "fpga_version": "0.2.3.4",
        }
        assert facts["control_fw_version"]
        assert {k: info[name][k] for k in facts} == facts
        assert info[name]["changed"] is False and asserted[name]["event"] == "ok"
        assert stats[name] == {**stats[name], "ok": 2, "changed": 0, "failures": 0}


def test_an_unreachable_device_a_bad_address_and_a_missing_image_fail_with_their_cause(
    simulated_devices, tmp_path
):
    [device] = simulated_devices(1)
    image, _ = write_image(tmp_path / "fpga.bin")
    tasks = [
        {"kestrix.fpga.fpga_info": {"device": "127.0.0.1:1", "timeout": 2}},  # nothing listens
        {"kestrix.fpga.fpga_update": {"image": image, "device": "127.0.0.1:0"}},
        update_task(str(tmp_path / "no-such.bin")),
    ]
    for task in tasks:
        task["ignore_errors"] = True
    run = playbook(tmp_path, {"site1": device}, tasks)
    assert run.returncode == 0, run
    [unreachable, bad_address, missing], stats = run.tasks, run.stats
    unreachable, bad_address, missing = (r["site1"] for r in (unreachable, bad_address, missing))
    assert unreachable["event"] == "failed" and unreachable["failure"] == "unreachable"
    assert "127.0.0.1" in unreachable["msg"] and unreachable["address"] == "127.0.0.1:1"
    assert bad_address["event"] == "failed" and "port" in bad_address["msg"]
    assert missing["event"] == "failed" and missing["failure"] == "image-missing"
    assert "no-such.bin" in missing["msg"] and missing["changed"] is False
    assert stats["site1"]["ignored"] == 3


def test_a_python_without_kestrix_fails_with_a_clear_message(tmp_path):
    bare = tmp_path / "bare"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(bare)], check=True)
    tasks = [
        {"kestrix.fpga.fpga_info": {"device": "{{ kestrix_device }}"}},
        update_task(str(tmp_path / "fpga.bin")),
    ]
    for task in tasks:
        task["ignore_errors"] = True
    python = str(bare / "bin" / "python")
    run = playbook(tmp_path, {"site1": ("127.0.0.1", 1)}, tasks, python=python)
    assert run.returncode == 0, run
    for result in run.tasks:
        assert result["site1"]["event"] == "failed"
        message = result["site1"]["msg"]
        assert "Failed to import the required Python library (kestrix)" in message
        assert python in message


# Prints the options each module accepts as JSON; argv[1] is the folder of ansible_collections.
ACCEPTED_OPTIONS = """
import json, sys
sys.path.insert(0, sys.argv[1])
from ansible_collections.kestrix.fpga.plugins.modules import fpga_info, fpga_update
print(json.dumps({"fpga_info": fpga_info.ARGUMENT_SPEC, "fpga_update": fpga_update.ARGUMENT_SPEC}))
"""


def test_the_documentation_matches_the_options_and_the_collection_builds(tmp_path):
    docs = ansible(
        tmp_path, "ansible-doc", "--json", "kestrix.fpga.fpga_update", "kestrix.fpga.fpga_info"
    )
    assert docs.returncode == 0, docs.stdout + docs.stderr
    parsed = json.loads(docs.stdout)
    accepted_options = json.loads(
        subprocess.run(
            [sys.executable, "-c", ACCEPTED_OPTIONS, str(REPO)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    )
    assert sorted(accepted_options["fpga_update"]) == [
        "allow_downgrade",
        "device",
        "device_type",
        "image",
        "init",
        "record",
        "timeout",
        "trust_keys",
        "window",
    ]
    assert sorted(accepted_options["fpga_info"]) == ["device", "device_type", "timeout"]
    for name, options in accepted_options.items():
        doc = parsed[f"kestrix.fpga.{name}"]
        assert doc["examples"] and doc["return"], name
        documented = {
            option: (d["type"], d.get("default"), d.get("required", False))
            for option, d in doc["doc"]["options"].items()
        }
        accepted = {
            option: (s["type"], s.get("default"), s.get("required", False))
            for option, s in options.items()
        }
        assert documented == accepted, name
    assert accepted_options["fpga_update"]["device_type"]["default"] == 32

    # The collection carries the repository's licence, the same text.
    assert (COLLECTION / "LICENSE").read_bytes() == (REPO / "LICENSE").read_bytes()
    built = ansible(
        tmp_path,
        "ansible-galaxy",
        "collection",
        "build",
        str(COLLECTION),
        "--output-path",
        str(tmp_path),
    )
    assert built.returncode == 0, built
    [tarball] = tmp_path.glob("kestrix-fpga-*.tar.gz")
    with tarfile.open(tarball) as archive:
        names = set(archive.getnames())
    assert {
        "MANIFEST.json",
        "LICENSE",
        "README.md",
        "meta/runtime.yml",
        "plugins/modules/fpga_update.py",
        "plugins/modules/fpga_info.py",
        "plugins/module_utils/kestrix_device.py",
        "plugins/doc_fragments/device.py",
    } <= names
