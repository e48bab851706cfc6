// kestrix.KRXFlash: the FPGA update module.
#include <pybind11/pybind11.h>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "fpga_tool_binding.hpp"
#include "image_tools.hpp"
#include "kestrix/flash/fpga_tool.hpp"

namespace pyb = pybind11;

PYBIND11_MODULE(KRXFlash, m) {
  using namespace kestrix;
  m.doc() = "FPGA update of kestrix devices: image checks, flash programming and verification.";

  // Logging goes to standard output unless the process configured logging already.
  pyb::module_ logging = pyb::module_::import("logging");
  logging.attr("basicConfig")(
      pyb::arg("level") = logging.attr("INFO"),
      pyb::arg("format") = "%(asctime)s - %(name)s [%(levelname)s] %(message)s",
      pyb::arg("stream") = pyb::module_::import("sys").attr("stdout"));

  // The package's names this module works with; a missing one fails the import.
  m.attr("RetType") = py::siblingName("kestrix.KRXUtils", "RetType");
  m.attr("VER") = py::siblingName("kestrix.KRXUtils", "VER");
  m.attr("RspType") = py::siblingName("kestrix.KRXUtils", "_RspType");
  m.attr("RetCode") = py::siblingName("kestrix.KRXPublic", "RetCode");

  m.attr("logger") = logging.attr("getLogger")("FPGA");
  m.attr("_RECV_SIZE") = flash::kRecvSize;
  m.attr("_FPGA_FW_VER_MIN") = std::string(flash::kFpgaFwVerMin);
  m.attr("_FPGA_VER_MIN_DEV28") = std::string(flash::kFpgaVerMinDev28);
  m.attr("_FPGA_VER_MIN_DEV32") = std::string(flash::kFpgaVerMinDev32);
  pyb::list whitelist;
  for (auto type : flash::initAcceptedTypes()) whitelist.append(type);
  m.attr("_DEVICE_WHITELIST") = whitelist;

  py::registerExceptionTranslators();
  py::closeGateAtExit();
  py::bindFpgaTool(m);
  py::bindImageTools(m);
}
