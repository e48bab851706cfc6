"""A whole update through the Python face, on a Python connection object."""

import hashlib
import logging
import time

import pytest

import kestrix.KRXFlash as KRXFlash
from kestrix.KRXFlash import FpgaTool
from kestrix.KRXUtils import RetCode

from fpga_fakes import FakeController


@pytest.fixture(autouse=True)
def no_real_sleep(monkeypatch):
    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    return slept


@pytest.fixture
def device():
    return FakeController()


@pytest.fixture
def tool(device):
    return FpgaTool(connection=device)


def image(tmp_path, size, name="fpga.bin"):
    data = bytes((i * 7 + 3) & 0xFF for i in range(size))
    path = tmp_path / name
    path.write_bytes(data)
    return str(path), data


def test_update_succeeds_with_callback_display_and_logs(
    tool, device, tmp_path, capsys, caplog, no_real_sleep
):
    path, data = image(tmp_path, 20)
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        ret = tool.processFpgaUpdate(path, 32)
    assert ret.RetCode is RetCode.OK
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.3.0.0"}
    assert list(ret.RetData) == ["success", "error_message", "fw_version"]
    assert bytes(device.flash[:20]) == data
    assert calls == [
        ("write", 0, 0),
        ("write", 16, 20),
        ("write", 20, 20),
        ("verify", 0, 20),
        ("verify", 16, 20),
        ("verify", 20, 20),
    ]
    out = capsys.readouterr().out
    assert "\rProgress: 80.00% (16/20 bytes), block time: " in out
    assert out.count("\rProgress: 100.00% (20/20 bytes), block time: ") == 2
    digest = hashlib.sha256(data).hexdigest()
    messages = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert messages[0] == ("DEBUG", f"FPGA image header check: {path}, size=20")
    assert ("DEBUG", f"w hash: {digest}") in messages
    assert ("DEBUG", f"r hash: {digest}") in messages
    assert ("INFO", "Verify Success") in messages
    assert messages[-2:] == [
        ("INFO", "Updated FPGA version: 0.3.0.0"),
        ("INFO", "FPGA update process completed successfully."),
    ]
    assert device.words[-3:] == ["FPGA_REFRESH", "REINIT_RF_MODULE", "GET_FPGA_VER"]
    assert no_real_sleep == [3]


@pytest.mark.parametrize(
    "device_type, version, last",
    [(28, "1.2.0.0", "GET_FE_INFO"), (30, "", "FPGA_REFRESH")],
)
def test_version_read_back_by_device_type(
    tool, device, tmp_path, device_type, version, last, no_real_sleep
):
    path, _ = image(tmp_path, 33)
    ret = tool.processFpgaUpdate(image_path=path, device_type=device_type)
    assert ret.RetData["fw_version"] == version
    assert device.words[-1] == last
    assert device.words[0] == ("FPGA_ERASE" if device_type == 28 else "FPGA_RST_PAGE_PTR")
    assert no_real_sleep == []


@pytest.mark.parametrize(
    "path_arg, message",
    [(None, "FPGA image path is not provided."), ("", "FPGA image path is not provided.")],
)
def test_missing_path(tool, device, path_arg, message, caplog):
    ret = tool.processFpgaUpdate(path_arg)
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, message, None)
    assert device.words == []
    assert [r.getMessage() for r in caplog.records] == [message]


def test_missing_file_logs_two_lines(tool, tmp_path, caplog):
    path = str(tmp_path / "none.bin")
    ret = tool.processFpgaUpdate(path)
    assert ret.RetMsg == "FPGA update file check failed."
    assert [r.getMessage() for r in caplog.records] == [
        f"FPGA image path not found: {path}",
        "FPGA update file check failed.",
    ]


def test_verify_failure_is_an_error_result_after_the_finishing_commands(
    tool, device, tmp_path, caplog
):
    path, _ = image(tmp_path, 40)
    device.corrupt_at = 17
    ret = tool.processFpgaUpdate(path)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert device.words[-3:] == ["FPGA_DONE", "FPGA_REFRESH", "REINIT_RF_MODULE"]
    assert "Verify Failed" in [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]


def test_refused_blocks_are_retried_then_bounded(tool, device, tmp_path):
    path, data = image(tmp_path, 32)
    device.refuse_each = 9
    assert tool.processFpgaUpdate(path).RetCode is RetCode.OK
    assert device.words.count("FPGA_PROGRAM") == 20
    device.refuse_each = 10
    from kestrix.errors import BlockRefusedError

    with pytest.raises(BlockRefusedError, match="byte offset 0 .* 10 times"):
        tool.processFpgaUpdate(path)
    assert device.words[-1] == "FPGA_PROGRAM"


def test_callback_exception_stops_the_update_unchanged(tool, device, tmp_path):
    path, _ = image(tmp_path, 64)

    class Stop(Exception):
        pass

    stop = Stop()

    def callback(stage, done, total):
        if done == 32:
            raise stop

    tool.set_progress_callback(callback)
    with pytest.raises(Stop) as info:
        tool.processFpgaUpdate(path)
    assert info.value is stop
    assert device.words[-1] == "FPGA_PROGRAM" and device.words.count("FPGA_PROGRAM") == 2


def test_callback_truth_is_tested_at_each_report(tool, tmp_path):
    path, _ = image(tmp_path, 48)

    class Flaky:
        def __init__(self):
            self.asked = 0
            self.calls = []

        def __bool__(self):
            self.asked += 1
            return self.asked % 2 == 1

        def __call__(self, *args):
            self.calls.append(args)

    cb = Flaky()
    tool.set_progress_callback(callback=cb)
    assert tool.progress_callback is cb
    tool.processFpgaUpdate(path, 30)
    assert cb.asked == 8
    assert len(cb.calls) == 4


def test_non_callable_callback_fails_at_the_first_report(tool, device, tmp_path):
    path, _ = image(tmp_path, 16)
    tool.set_progress_callback(42)
    with pytest.raises(TypeError):
        tool.processFpgaUpdate(path)
    assert device.words == ["FPGA_ERASE", "FPGA_RST_PAGE_PTR"]
    tool.set_progress_callback(None)
    assert tool.processFpgaUpdate(path).RetCode is RetCode.OK


def test_dropped_link_mid_update_reaches_the_caller(tool, device, tmp_path):
    path, _ = image(tmp_path, 64)
    device.fail_at = 5
    with pytest.raises(ConnectionResetError, match="link dropped"):
        tool.processFpgaUpdate(path)
    assert len(device.words) == 5


@pytest.mark.parametrize(
    "kwargs",
    [
        {"image_path": 5},
        {"image_path": "x.bin", "device_type": "32"},
        {"image_path": "x.bin", "device_type": 32.0},
    ],
)
def test_process_argument_types(tool, kwargs):
    with pytest.raises(TypeError):
        tool.processFpgaUpdate(**kwargs)


def test_program_file_arguments(tool, device, tmp_path):
    path, data = image(tmp_path, 5)
    with pytest.raises(TypeError, match="image_path"):
        tool._fpgaProgramFile(None)
    with pytest.raises(TypeError, match="device_type"):
        tool._fpgaProgramFile(path, "28")
    assert tool._fpgaProgramFile(image_path=path, device_type=28.9) is True
    assert device.words[0] == "FPGA_ERASE"


# --- initialisation ---------------------------------------------------------------------------


def test_init_success_has_seven_keys_in_order(tool, device, caplog):
    with caplog.at_level(logging.INFO, logger="FPGA"):
        ret = tool.initFpga(32)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.OK, "FPGA initialized successfully")
    assert list(ret.RetData.items()) == [
        ("success", True),
        ("error_message", ""),
        ("device_count", 0),
        ("device_info", None),
        ("fpga_id", "0x1234"),
        ("fw_version", ""),
        ("fpga_version", "0.3.0.0"),
    ]
    assert device.words == ["FPGA_CTRL_INIT", "FPGA_CFG_MODE", "FPGA_GET_ID", "GET_FPGA_VER"]
    assert [r.getMessage() for r in caplog.records] == ["FPGA ID: 0x1234", "FPGA Version: 0.3.0.0"]


@pytest.mark.parametrize("device_type", [28, 30, 28.5])
def test_init_refuses_other_device_types(tool, device, device_type):
    ret = tool.initFpga(device_type=device_type)
    assert ret.RetCode is RetCode.WARNING
    assert ret.RetMsg == f"Device type {int(device_type)} is not supported for FPGA update."
    assert device.words == []


@pytest.mark.parametrize(
    "version, disable, code",
    [
        ("0.2.3.3", False, RetCode.WARNING),
        ("0.2.3.4", False, RetCode.OK),
        ("0.2.3.3", True, RetCode.OK),
        ("", False, RetCode.OK),
    ],
)
def test_init_version_gate(tool, device, version, disable, code):
    device.answers["GET_FPGA_VER"] = version
    ret = tool.initFpga(32, disable)
    assert ret.RetCode is code
    if code is RetCode.WARNING:
        assert ret.RetMsg == (
            f"FPGA version {version} is lower than minimum required version 0.2.3.4."
        )
        assert ret.RetData is None
    else:
        assert ret.RetData["fpga_version"] == version


def test_init_turns_device_errors_into_an_error_result(tool, device):
    device.fail_at = 2
    ret = tool.initFpga(32)
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (
        RetCode.ERROR,
        "FPGA initialization failed: link dropped",
        None,
    )


def test_init_versions_go_through_the_package_ver(tool, device, monkeypatch):
    seen = []

    class Ver(KRXFlash.VER):
        def __init__(self, text):
            seen.append(text)
            super().__init__(text)

    monkeypatch.setattr(KRXFlash, "VER", Ver)
    assert tool.initFpga(32).RetCode is RetCode.OK
    assert seen == ["0.3.0.0", "0.2.3.4"]
    device.answers["GET_FPGA_VER"] = "abc"
    ret = tool.initFpga(32)
    assert ret.RetMsg == "FPGA initialization failed: Invalid version: 'abc'"


def test_init_device_type_must_be_a_number(tool):
    with pytest.raises(TypeError, match="device_type"):
        tool.initFpga("32")


@pytest.mark.parametrize("reply, ok", [("0.1.0.6", True), ("0.1.0.5", False), ("0.2", True)])
def test_control_fw_version(tool, device, reply, ok, caplog):
    device.answers["GET_FW_VER"] = reply
    assert tool._checkControlFwVersion() is ok
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warnings == (
        []
        if ok
        else [f"RIS control FW version {reply} is lower than minimum required version 0.1.0.6"]
    )


def test_show_progress_off_keeps_the_callback_and_the_log(device, tmp_path, capsys, caplog):
    path, _ = image(tmp_path, 40)
    tool = FpgaTool(connection=device, show_progress=False)
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    with caplog.at_level(logging.INFO, logger="FPGA"):
        assert tool.processFpgaUpdate(path, 32).RetCode is RetCode.OK
    assert capsys.readouterr().out == ""
    assert calls[-1] == ("verify", 40, 40) and len(calls) == 8
    assert "Verify Success" in [r.getMessage() for r in caplog.records]
    tool.show_progress = True
    assert tool.show_progress is True
