// Initialisation, the version gates and the update workflow.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;
using flash::FpgaTool;

struct Rig {
  std::shared_ptr<FakeController> device = std::make_shared<FakeController>();
  std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
  FpgaTool tool{device, host};
};

TEST(InitFpga, SuccessReadsIdAndVersionAndReturnsSevenKeys) {
  Rig rig;
  rig.device->answers["FPGA_GET_ID"] = "0xBEEF";
  rig.device->answers["GET_FPGA_VER"] = "0.2.3.4";  // equal to the minimum passes
  const RetType ret = rig.tool.initFpga(32);
  EXPECT_EQ(ret.code, RetCode::OK);
  EXPECT_EQ(ret.message, "FPGA initialized successfully");
  EXPECT_EQ(ret.data.dump(),
            R"({"success":true,"error_message":"","device_count":0,"device_info":null,)"
            R"("fpga_id":"0xBEEF","fw_version":"","fpga_version":"0.2.3.4"})");
  EXPECT_EQ(rig.device->words(), "FPGA_CTRL_INIT FPGA_CFG_MODE FPGA_GET_ID GET_FPGA_VER");
  EXPECT_EQ(rig.host->messages(LogLevel::INFO),
            (std::vector<std::string>{"FPGA ID: 0xBEEF", "FPGA Version: 0.2.3.4"}));
}

TEST(InitFpga, UnsupportedDeviceTypeSendsNothing) {
  for (std::int64_t type : {28, 0, -1, 33}) {
    Rig rig;
    const RetType ret = rig.tool.initFpga(type);
    const std::string message =
        "Device type " + std::to_string(type) + " is not supported for FPGA update.";
    EXPECT_EQ(ret.code, RetCode::WARNING);
    EXPECT_EQ(ret.message, message);
    EXPECT_TRUE(ret.data.is_null());
    EXPECT_TRUE(rig.device->commands.empty());
    EXPECT_TRUE(rig.host->logged(LogLevel::WARNING, message));
  }
}

TEST(InitFpga, VersionGate) {
  struct Case {
    std::string version;
    bool disable_check;
    RetCode code;
  };
  for (const Case& c : {Case{"0.2.3.3", false, RetCode::WARNING},
                        Case{"0.2.3", false, RetCode::WARNING}, Case{"0.2.3.4", false, RetCode::OK},
                        Case{"0.10.0.0", false, RetCode::OK}, Case{"0.2.3.3", true, RetCode::OK},
                        Case{"", false, RetCode::OK}, Case{"not a version", true, RetCode::OK}}) {
    Rig rig;
    rig.device->answers["GET_FPGA_VER"] = c.version;
    const RetType ret = rig.tool.initFpga(32, c.disable_check);
    EXPECT_EQ(ret.code, c.code) << c.version;
    if (c.code == RetCode::WARNING) {
      EXPECT_EQ(ret.message,
                "FPGA version " + c.version + " is lower than minimum required version 0.2.3.4.");
      EXPECT_EQ(rig.device->commands.size(), 4u);
    } else {
      EXPECT_EQ(ret.data["fpga_version"], c.version);
    }
  }
}

TEST(InitFpga, DeviceErrorsBecomeAnErrorResult) {
  for (long at : {0, 1, 2, 3}) {
    Rig rig;
    rig.device->throw_at_command = at;
    const RetType ret = rig.tool.initFpga(32);
    EXPECT_EQ(ret.code, RetCode::ERROR);
    EXPECT_EQ(ret.message, "FPGA initialization failed: link dropped");
    EXPECT_TRUE(ret.data.is_null());
    EXPECT_TRUE(rig.host->logged(LogLevel::ERROR, "FPGA initialization failed: link dropped"));
  }
  Rig rig;
  rig.device->answers["GET_FPGA_VER"] = "v1";
  const RetType ret = rig.tool.initFpga(32);
  EXPECT_EQ(ret.code, RetCode::ERROR);
  EXPECT_EQ(ret.message, "FPGA initialization failed: Invalid version: 'v1'");
}

TEST(ControlFwVersion, StrictlyLowerFailsWithOneWarning) {
  for (const auto& [reply, ok] : {std::pair{"0.1.0.6", true}, {"0.1.0.5", false}, {"1.0", true}}) {
    Rig rig;
    rig.device->answers["GET_FW_VER"] = reply;
    EXPECT_EQ(rig.tool._checkControlFwVersion(), ok) << reply;
    EXPECT_EQ(rig.device->words(), "GET_FW_VER");
    EXPECT_EQ(rig.host->messages(LogLevel::WARNING).size(), ok ? 0u : 1u);
    if (!ok) {
      EXPECT_EQ(rig.host->messages(LogLevel::WARNING)[0],
                "RIS control FW version 0.1.0.5 is lower than minimum required version 0.1.0.6");
    }
  }
  Rig rig;
  rig.device->answers["GET_FW_VER"] = "";
  EXPECT_THROW(rig.tool._checkControlFwVersion(), std::invalid_argument);
}

class UpdateWorkflow : public ::testing::Test {
 protected:
  UpdateWorkflow() : image_(dir_.write("fpga.bin", std::string(40, 'x'))) {}
  TempDir dir_;
  std::string image_;
};

TEST_F(UpdateWorkflow, MissingPathFailsBeforeAnything) {
  for (const auto& path : {std::optional<std::string>(), std::optional<std::string>("")}) {
    Rig rig;
    const RetType ret = rig.tool.processFpgaUpdate(path);
    EXPECT_EQ(ret.code, RetCode::ERROR);
    EXPECT_EQ(ret.message, "FPGA image path is not provided.");
    EXPECT_TRUE(rig.device->commands.empty());
    EXPECT_EQ(rig.host->logs,
              (std::vector<LogRecord>{{LogLevel::ERROR, "FPGA image path is not provided."}}));
  }
}

TEST_F(UpdateWorkflow, FileCheckFailure) {
  Rig rig;
  const std::string missing = dir_.path("none.bin");
  const RetType ret = rig.tool.processFpgaUpdate(missing);
  EXPECT_EQ(ret.message, "FPGA update file check failed.");
  EXPECT_EQ(rig.host->messages(LogLevel::ERROR),
            (std::vector<std::string>{"FPGA image path not found: " + missing,
                                      "FPGA update file check failed."}));
  EXPECT_TRUE(rig.device->commands.empty());
}

TEST_F(UpdateWorkflow, VersionReadBackByDeviceType) {
  struct Case {
    std::int64_t type;
    std::string info;
    Json version;
    std::string last;
  };
  for (const Case& c :
       {Case{32, "", "0.3.0.0", "GET_FPGA_VER"},
        Case{28, R"({"fe2": {"fpga_ver": "2.0"}, "fe1": {"fpga_ver": "1.0"}})", "2.0",
             "GET_FE_INFO"},
        Case{28, R"({"fe": {"other": 1}})", "", "GET_FE_INFO"}, Case{28, "{}", "", "GET_FE_INFO"},
        Case{28, R"({"fe": {"fpga_ver": 7}})", 7, "GET_FE_INFO"},
        Case{30, "", "", "FPGA_REFRESH"}}) {
    Rig rig;
    rig.device->answers["GET_FE_INFO"] = c.info;
    const RetType ret = rig.tool.processFpgaUpdate(image_, c.type);
    EXPECT_EQ(ret.code, RetCode::OK) << c.type << c.info;
    EXPECT_EQ(ret.message, "");
    EXPECT_EQ(ret.data,
              (Json{{"success", true}, {"error_message", ""}, {"fw_version", c.version}}));
    EXPECT_EQ(rig.device->commands.back(), c.last);
    EXPECT_EQ(rig.host->messages(LogLevel::INFO).back(),
              "FPGA update process completed successfully.");
  }
}

TEST_F(UpdateWorkflow, BadDeviceInfoReplyRaisesAfterProgramming) {
  for (const char* info : {"", "not json", "[1]", R"({"fe": 3})"}) {
    Rig rig;
    rig.device->answers["GET_FE_INFO"] = info;
    EXPECT_THROW(rig.tool.processFpgaUpdate(image_, 28), ProtocolError) << info;
    EXPECT_EQ(rig.device->flash.substr(0, 40), std::string(40, 'x'));
  }
}

TEST_F(UpdateWorkflow, VerifyFailureIsAnErrorResult) {
  Rig rig;
  rig.device->corrupt_at = 3;
  const RetType ret = rig.tool.processFpgaUpdate(image_, 32);
  EXPECT_EQ(ret.code, RetCode::ERROR);
  EXPECT_EQ(ret.message, "FPGA update process failed.");
  EXPECT_EQ(rig.device->countOf("GET_FPGA_VER"), 0u);
}

struct DeviceTypeCase {
  const char* name;
  const char* header;
  std::int64_t update_type;
  std::string refusal;  // empty: the update runs
};

class ImageDeviceType : public UpdateWorkflow,
                        public ::testing::WithParamInterface<DeviceTypeCase> {};

TEST_P(ImageDeviceType, AnImageForAnotherDeviceIsRefusedBeforeAnythingIsSent) {
  const DeviceTypeCase& c = GetParam();
  flash::PackOptions options;
  options.header_region = c.header;
  const std::string path = dir_.write("fpga.tbin", flash::packTbin(std::string(40, 'y'), options));
  Rig rig;
  rig.device->answers["GET_FE_INFO"] = "{}";
  const RetType ret = rig.tool.processFpgaUpdate(path, c.update_type);
  if (c.refusal.empty()) {
    EXPECT_EQ(ret.code, RetCode::OK);
    EXPECT_EQ(rig.device->flash.substr(0, 40), std::string(40, 'y'));
    return;
  }
  EXPECT_EQ(ret.code, RetCode::ERROR);
  EXPECT_EQ(ret.message, c.refusal);
  EXPECT_EQ(rig.host->messages(LogLevel::ERROR), std::vector<std::string>{c.refusal});
  EXPECT_TRUE(rig.device->commands.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ImageDeviceType,
    ::testing::Values(
        DeviceTypeCase{"Same", R"({"DEV_TYPE": 32})", 32, ""},
        DeviceTypeCase{"InTheList", R"({"DEV_TYPE": [28, 32]})", 32, ""},
        DeviceTypeCase{"AsText", R"({"dev_type": "28"})", 28, ""},
        DeviceTypeCase{"Other", R"({"DEV_TYPE": 28})", 32,
                       "FPGA image is made for device type 28, not for device type 32."},
        DeviceTypeCase{"NotInTheList", R"({"DEV_TYPE": [30, 28]})", 32,
                       "FPGA image is made for device types 28 and 30, not for device type 32."},
        DeviceTypeCase{"EmptyList", R"({"DEV_TYPE": [], "dev_type": []})", 32,
                       "FPGA image is made for no device type (an empty list), not for device "
                       "type 32."}),
    [](const auto& info) { return std::string(info.param.name); });

// Only the regions that are hashed and programmed are read: a 4 KiB image followed by 64 GiB of
// (sparse) trailing bytes costs what the 4 KiB cost.
TEST_F(UpdateWorkflow, TrailingBytesAfterTheImageAreNeverRead) {
  const std::string path = dir_.write("fpga.tbin", flash::packTbin(std::string(4096, 'z')));
  fs::resize_file(path, std::uint64_t{64} << 30);
  Rig rig;
  const RetType ret = rig.tool.processFpgaUpdate(path, 32);
  EXPECT_EQ(ret.code, RetCode::OK);
  EXPECT_EQ(rig.device->flash.substr(0, 4096), std::string(4096, 'z'));
}

TEST_F(UpdateWorkflow, ARawImageLargerThanAnUpdateHoldsIsRefusedBeforeAnythingIsSent) {
  const std::string path = dir_.write("huge.bin", "x");
  fs::resize_file(path, flash::kMaxImageBytes + 1);
  Rig rig;
  EXPECT_THROW(rig.tool.processFpgaUpdate(path, 32), FileError);
  EXPECT_TRUE(rig.device->commands.empty());
}

TEST_F(UpdateWorkflow, EmptyContainerImageFailsWithoutTraffic) {
  Rig rig;
  const std::string path = dir_.write("x.bin", "");
  // A one-byte raw file is refused by the file check; the engine refuses a zero-byte image.
  EXPECT_FALSE(rig.tool._fpgaProgramFile(path, 32));
  EXPECT_TRUE(rig.device->commands.empty());
}

}  // namespace
}  // namespace kestrix::testing
