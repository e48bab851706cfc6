// kestrix._core: the native values the package's pure-Python modules and tools build on (the TCP
// connection, the version value, the update's constants and failure kinds, image signing).
// Importing it has no side effect, unlike kestrix.KRXFlash, which configures logging.
#include <pybind11/pybind11.h>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"

PYBIND11_MODULE(_core, m) {
  m.doc() = "Native values of the kestrix package: connection, versions, update rules.";
  kestrix::py::registerExceptionTranslators();
  kestrix::py::closeGateAtExit();
  kestrix::py::bindTcpConnection(m);
  kestrix::py::bindVersion(m);
  kestrix::py::bindUpdateRules(m);
  kestrix::py::bindFleetInputs(m);
  kestrix::py::bindFleet(m);
  kestrix::py::bindRecords(m);
  kestrix::py::bindSigning(m);
}
