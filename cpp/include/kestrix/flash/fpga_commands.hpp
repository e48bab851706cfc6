// The FPGA configuration controller's commands, each one exchange on the command channel. The
// lines themselves are the wire format's (kestrix/wire/protocol.hpp).
#pragma once

#include <string>
#include <string_view>

#include "kestrix/contracts/connection.hpp"
#include "kestrix/flash/command_channel.hpp"

namespace kestrix::flash {

class FpgaCommands {
 public:
  explicit FpgaCommands(CommandChannel& channel) : channel_(channel) {}

  std::string initialiseController();                      // FPGA_CTRL_INIT
  std::string fpgaId();                                    // FPGA_GET_ID
  std::string fpgaVersion();                               // GET_FPGA_VER
  std::string setConfigMode(std::string_view mode);        // FPGA_CFG_MODE <mode>
  std::string erase(std::string_view erase_bits);          // FPGA_ERASE <bits>
  std::string resetPagePointer(std::string_view section);  // FPGA_RST_PAGE_PTR <section>
  // FPGA_PROGRAM with one block; true when the controller acknowledged it ("0").
  bool programBlock(std::string_view block);
  Bytes readPage();                    // FPGA_READ: one page, less its block header and line end
  std::string endProgramming();        // FPGA_DONE
  std::string reloadFromFlash();       // FPGA_REFRESH
  std::string reinitialiseRfModule();  // REINIT_RF_MODULE
  std::string frontEndInfo();          // GET_FE_INFO
  std::string controlFwVersion();      // GET_FW_VER
  std::string serialNumber();          // GET_SN

  CommandChannel& channel() const { return channel_; }

 private:
  CommandChannel& channel_;
};

}  // namespace kestrix::flash
