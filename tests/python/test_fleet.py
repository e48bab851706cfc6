"""kestrix.fleet over real TCP against simulated devices (kestrix-sim --count): results in input
order, faults kept to their device, throttled progress with the GIL held, the GIL released while
the fleet runs, audit records, and Ctrl-C."""

import errno
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from kestrix.fleet import (
    DeviceListError,
    DeviceResult,
    Failure,
    RecordError,
    check_devices,
    load_image,
    update_fleet,
)

REAL_SLEEP = time.sleep


# The device's reload wait is skipped: time.sleep records instead of sleeping.
pytestmark = pytest.mark.usefixtures("no_reinit_wait")


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(2000))
    return str(path)


def test_an_all_good_fleet_in_input_order_with_records(devices, image, tmp_path):
    addresses = devices(4)
    host, port = addresses[2].rsplit(":", 1)
    given = [addresses[0], addresses[1], (host, int(port)), addresses[3]]
    record = tmp_path / "audit.jsonl"
    record.write_text('{"earlier": true}\n')  # appended to, never truncated
    results = update_fleet(image, given, jobs=2, record=str(record))
    assert [r.address for r in results] == addresses
    assert all(isinstance(r, DeviceResult) and r.ok and r.outcome == "updated" for r in results)
    lines = record.read_text().splitlines()
    assert json.loads(lines[0]) == {"earlier": True} and len(lines) == 5
    records = {json.loads(line)["address"]: json.loads(line) for line in lines[1:]}
    for r in results:
        assert records[r.address] == r.record
        assert records[r.address]["outcome"] == "updated"
        assert records[r.address]["image_size"] == 2000


def test_a_record_that_cannot_be_written_keeps_the_results(devices, image):
    addresses = devices(2)
    with pytest.raises(RecordError) as raised:
        update_fleet(image, addresses, record="/dev/full")  # every write: ENOSPC
    error = raised.value
    assert isinstance(error, OSError)
    assert (error.errno, error.filename) == (errno.ENOSPC, "/dev/full")
    assert [r.address for r in error.results] == addresses
    assert all(r.ok and r.outcome == "updated" for r in error.results)


def test_faults_stay_with_their_device(devices, image):
    good, refusing, silent, closing = (
        devices(1)[0],
        devices(1, "--refuse-from", "0")[0],
        devices(1, "--stall-after", "9")[0],
        devices(1, "--close-after", "9")[0],
    )
    results = update_fleet(image, [refusing, good, silent, closing], timeout=0.5)
    assert [r.failure for r in results] == [
        Failure.BLOCK_REFUSED,
        Failure.NONE,
        Failure.TIMEOUT,
        Failure.CONNECTION_LOST,
    ]
    assert results[0].failed_offset == 0 and "refused" in results[0].error


def test_progress_is_throttled_and_comes_with_the_gil_while_other_threads_run(devices, tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(64 * 1024))
    addresses = devices(2, "--latency-us", "300")
    calls = []
    ticks = []
    running = threading.Event()

    def ticker():
        # Runs only while the fleet has the GIL released.
        while not running.is_set():
            ticks.append(time.monotonic())
            REAL_SLEEP(0.01)

    def progress(device, stage, done, total):
        calls.append((device, stage, done, total, time.monotonic()))

    thread = threading.Thread(target=ticker)
    thread.start()
    start = time.monotonic()
    try:
        results = update_fleet(str(path), addresses, progress=progress, init=False, device_type=28)
    finally:
        running.set()
        thread.join()
    seconds = time.monotonic() - start
    assert all(r.ok for r in results)
    assert len(ticks) > 10 * seconds  # the other thread kept running
    for device in addresses:
        mine = [c for c in calls if c[0] == device]
        stages = [c[1] for c in mine]
        assert stages[0] == "connect" and stages[-1] == "reload"
        assert ("write", 65536, 65536) in [c[1:4] for c in mine]  # the end of a phase always comes
        # At most about 20 a second within a phase, plus one per phase change.
        assert len(mine) <= 20 * seconds + 12, (len(mine), seconds)


def test_a_device_is_text_or_a_host_port_pair(image):
    for bad in [("host",), ("host", "5025"), 5025, ("host", True)]:
        with pytest.raises(TypeError, match="a device is"):
            update_fleet(image, [bad])  # type: ignore[list-item]
    with pytest.raises(ValueError, match="port must be a number"):
        update_fleet(image, ["host:0"])


@pytest.mark.parametrize(
    ("devices", "more", "error"),
    [
        ("127.0.0.1", {}, "devices must be a sequence of devices, not a single text"),
        (b"127.0.0.1", {}, "devices must be a sequence of devices, not a single text"),
        (["127.0.0.1:9"], {"progress": 5}, "progress must be callable or None, not int"),
        (["127.0.0.1:9"], {"on_result": "print"}, "on_result must be callable or None, not str"),
    ],
    ids=["str", "bytes", "progress", "on_result"],
)
def test_what_cannot_be_a_fleet_is_a_type_error_before_any_device(image, devices, more, error):
    with pytest.raises(TypeError, match=error):
        update_fleet(image, devices, **more)


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"jobs": 0}, (ValueError, "jobs must be from 1 to")),
        ({"jobs": 10**20}, (ValueError, "jobs is out of range")),
        ({"window": 0}, (ValueError, "window must be from 1 to")),
        ({"timeout": 0}, (ValueError, "reply time-out must be positive")),
        ({"max_failures": 0}, (ValueError, "max_failures must be at least 1")),
        ({"canary": -1}, (ValueError, "canary is out of range")),
        ({"jobs": "8"}, (TypeError, "jobs must be an integer")),
        ({"change_id": "a\nb"}, (ValueError, "a change id is one line")),
    ],
    ids=lambda value: str(value),
)
def test_options_out_of_range_touch_no_device(devices, image, options, error):
    [device] = devices(1)
    kind, message = error
    with pytest.raises(kind, match=message):
        update_fleet(image, [device], **options)
    from kestrix.KRXCommService import _TCPConn
    from kestrix.KRXUtils import _RspType

    host, port = device.rsplit(":", 1)
    conn = _TCPConn(host, int(port))
    assert conn.initConnection()
    stats = json.loads(conn.sendCmd(b"SIM_STATS?\r\n", _RspType.RSP_STRING).RetData)
    conn.closeConnection()
    assert stats["commands"] == 0, "a device was touched"


def test_the_core_refuses_an_option_it_does_not_know(image):
    from kestrix import _core

    loaded = load_image(image)
    with pytest.raises(TypeError, match="unexpected keyword argument 'windows'"):
        _core.run_fleet(loaded, check_devices(["127.0.0.1:9"]), windows=8)


def test_a_list_is_refused_with_every_problem_named(simulated_devices):
    [(host, port)] = simulated_devices(1)
    with pytest.raises(DeviceListError) as raised:
        check_devices([f"{host}:{port}", "45149", f"localhost:{port}", "no-such.invalid"])
    assert isinstance(raised.value, ValueError)
    assert [(kind, origin) for kind, origin, _, _ in raised.value.problems] == [
        ("malformed", "device 2"),
        ("duplicate", "device 3"),
        ("unresolved", "device 4"),
    ]


def test_an_on_result_that_raises_keeps_the_results(devices, image):
    def broken(result):
        raise LookupError("the caller's bookkeeping failed")

    addresses = devices(2)
    with pytest.raises(LookupError) as raised:
        update_fleet(image, addresses, on_result=broken)
    assert [(r.address, r.outcome) for r in raised.value.results] == [
        (a, "updated") for a in addresses
    ]


def test_a_loaded_image_serves_a_fleet_only_as_it_was_loaded(devices, image):
    loaded = load_image(image, device_type=28, init=False)
    with pytest.raises(ValueError, match="the image was loaded for"):
        update_fleet(loaded, devices(1))
    [result] = update_fleet(loaded, devices(1), device_type=28, init=False)
    assert result.ok and result.image_sha256 == loaded.sha256


CHILD = textwrap.dedent(
    """
    import json, sys
    from kestrix.fleet import FleetInterrupted, update_fleet
    devices = sys.argv[2:]
    print("ready", flush=True)
    try:
        update_fleet(sys.argv[1], devices, init=False, device_type=28, window=1)
    except FleetInterrupted as stop:
        print(json.dumps([[r.address, r.outcome, r.error] for r in stop.results]), flush=True)
    """
)


def test_ctrl_c_stops_every_device_within_a_second_and_says_where_each_stood(devices, tmp_path):
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(64 * 1024))
    addresses = devices(3, "--latency-us", "2000")  # several seconds per device
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path), *addresses],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        REAL_SLEEP(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        stopped_within = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    states = json.loads(out)
    assert [s[0] for s in states] == addresses
    for address, outcome, error in states:
        assert outcome == "interrupted", (address, error)
        assert "the flash is incomplete; run the update again" in error
    assert stopped_within < 5.0, err  # not the seconds the updates had left


def test_identify_asks_each_device_and_changes_nothing(devices):
    from kestrix.fleet import identify_devices

    addresses = devices(2, "--serial", "SN-5")
    results = identify_devices(addresses)
    assert [(r.outcome, r.device_id, r.serial) for r in results] == [
        ("identified", "0x0362D093", "SN-5-0"),
        ("identified", "0x0362D093", "SN-5-1"),
    ]
    assert all(r.bytes_written == 0 and r.fpga_version_before == "0.2.3.4" for r in results)
