#include "py_device.hpp"

#include <cstddef>

#include "common/py_contracts.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"

namespace kestrix::py::lobesteer {

using kestrix::lobesteer::externalControlState;

bool PyDevice::extCtrlState(const pyb::object& ret) const {
  const pyb::object data = ret.attr("RetData");
  PyObject* raw = data.ptr();
  if (PyUnicode_Check(raw)) return externalControlState(utf8Text(data));
  if (PyBytes_Check(raw)) {
    return externalControlState(
        std::string_view(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw))));
  }
  if (PyByteArray_Check(raw)) {
    return externalControlState(std::string_view(
        PyByteArray_AS_STRING(raw), static_cast<std::size_t>(PyByteArray_GET_SIZE(raw))));
  }
  if (PyIndex_Check(raw)) {
    const auto index = pyb::reinterpret_steal<pyb::object>(PyNumber_Index(raw));
    if (!index) throw pyb::error_already_set();
    return PyObject_IsTrue(index.ptr()) == 1;  // an int's truth cannot fail
  }
  throw pyb::type_error("external control state must be an integer or decimal text, not '" +
                        std::string(Py_TYPE(raw)->tp_name) + "'");
}

void PyDevice::cleanupRaised(std::exception_ptr earlier) {
  pyb::object earlier_value;
  try {
    std::rethrow_exception(earlier);
  } catch (pyb::error_already_set& e) {
    earlier_value = e.value();
  } catch (...) {
    return;
  }
  try {
    throw;
  } catch (pyb::error_already_set& e) {
    const pyb::object& value = e.value();
    if (!value || !earlier_value || value.is(earlier_value)) return;
    const auto context = pyb::reinterpret_steal<pyb::object>(PyException_GetContext(value.ptr()));
    // A failure that already carries a context was raised while the hook handled another one,
    // which Python chains to first.
    if (!context) PyException_SetContext(value.ptr(), earlier_value.release().ptr());
  } catch (...) {
  }
}

}  // namespace kestrix::py::lobesteer
