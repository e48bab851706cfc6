#include "args.hpp"

#include "common/py_contracts.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;

std::string typeName(const pyb::handle& value) {
  return pyb::str(pyb::type::handle_of(value).attr("__name__"));
}

}  // namespace

// An int that fits 64 bits; OverflowError naming the argument for one that does not.
std::int64_t int64Of(const pyb::handle& value, const char* name) {
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw pyb::error_already_set();
  if (overflow != 0) {
    throw pyb::value_error(std::string(name) + " " + std::string(pyb::str(value)) +
                           " is out of range (a 64-bit integer)");
  }
  return n;
}

std::int64_t numberToInt(const pyb::handle& value, const char* name) {
  if (pyb::isinstance<pyb::int_>(value)) return int64Of(value, name);
  const pyb::object real = pyb::module_::import("numbers").attr("Real");
  if (pyb::isinstance(value, real))
    return int64Of(pyb::int_(pyb::reinterpret_borrow<pyb::object>(value)), name);
  throw pyb::type_error(std::string(name) + " must be an integer, not " + typeName(value));
}

std::int64_t strictInt(const pyb::handle& value, const char* name) {
  if (pyb::isinstance<pyb::int_>(value)) return int64Of(value, name);
  throw pyb::type_error(std::string(name) + " must be an integer, not " + typeName(value));
}

std::string pathText(const pyb::handle& value, const char* name) {
  if (pyb::isinstance<pyb::str>(value)) return pathBytes(value);
  if (pyb::hasattr(value, "__fspath__")) {
    pyb::object path = pyb::module_::import("os").attr("fspath")(value);
    if (pyb::isinstance<pyb::str>(path)) return pathBytes(path);
  }
  throw pyb::type_error(std::string(name) + " must be a text path, not " + typeName(value));
}

std::string commandArgument(const pyb::handle& value) {
  if (pyb::isinstance<pyb::bytes>(value)) return value.cast<std::string>();
  return utf8Text(pyb::str(value));
}

std::string commandBytes(const pyb::handle& value, const char* name) {
  if (pyb::isinstance<pyb::bytes>(value)) return value.cast<std::string>();
  if (pyb::isinstance<pyb::str>(value)) return utf8Text(value);
  throw pyb::type_error(std::string(name) + " must be str or bytes, not " + typeName(value));
}

std::string bytesLike(const pyb::handle& value, const char* name) {
  if (pyb::isinstance<pyb::bytes>(value)) return value.cast<std::string>();
  if (PyObject_CheckBuffer(value.ptr())) {
    PyObject* copy = PyBytes_FromObject(value.ptr());
    if (!copy) throw pyb::error_already_set();
    return pyb::reinterpret_steal<pyb::bytes>(copy).cast<std::string>();
  }
  throw pyb::type_error(std::string(name) + " must be bytes-like, not " + typeName(value));
}

}  // namespace kestrix::py
