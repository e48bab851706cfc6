#include "py_contracts.hpp"

#include <Python.h>

#include <cstring>
#include <string>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/image_check.hpp"

namespace kestrix::py {

pyb::object siblingName(const char* module, const char* name) {
  pyb::module_ mod = pyb::module_::import(module);
  if (!pyb::hasattr(mod, name)) {
    throw pyb::import_error(std::string("cannot import name '") + name + "' from '" + module + "'");
  }
  return mod.attr(name);
}

std::string pathBytes(pyb::handle path) {
  const pyb::object encoded = pyb::module_::import("os").attr("fsencode")(path);
  return encoded.cast<std::string>();
}

std::vector<std::string> pathList(pyb::handle paths, const char* name) {
  if (pyb::isinstance<pyb::str>(paths) || pyb::isinstance<pyb::bytes>(paths))
    throw pyb::type_error(std::string(name) + " must be a list of paths, not a single path");
  std::vector<std::string> out;
  for (const pyb::handle path : pyb::iter(paths)) out.push_back(pathBytes(path));
  return out;
}

pyb::object pathObject(const std::string& bytes) {
  return pyb::module_::import("os").attr("fsdecode")(pyb::bytes(bytes));
}

pyb::str displayText(std::string_view bytes) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace");
  if (decoded == nullptr) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::str>(decoded);
}

std::string utf8Text(pyb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw pyb::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

pyb::object toPython(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return pyb::none();
    case Json::value_t::boolean:
      return pyb::bool_(value.get<bool>());
    case Json::value_t::number_integer:
      return pyb::int_(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return pyb::int_(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return pyb::float_(value.get<double>());
    case Json::value_t::string:
      return pyb::str(value.get_ref<const std::string&>());
    case Json::value_t::binary: {
      const auto& bin = value.get_binary();
      return pyb::bytes(reinterpret_cast<const char*>(bin.data()), bin.size());
    }
    case Json::value_t::array: {
      pyb::list out;
      for (const auto& item : value) out.append(toPython(item));
      return std::move(out);
    }
    case Json::value_t::object: {
      pyb::dict out;
      for (const auto& [key, item] : value.items()) out[pyb::str(key)] = toPython(item);
      return std::move(out);
    }
  }
  return pyb::none();
}

pyb::object pyRetCode(RetCode code) {
  const std::string_view name = to_string(code);
  return siblingName("kestrix.KRXUtils", "RetCode").attr(std::string(name).c_str());
}

RetCode retCodeFrom(pyb::handle member) {
  const auto name = pyb::cast<std::string>(member.attr("name"));
  if (name == "OK") return RetCode::OK;
  if (name == "WARNING") return RetCode::WARNING;
  return RetCode::ERROR;
}

pyb::object pyRspType(RspType type) {
  return siblingName("kestrix.KRXUtils", "_RspType")
      .attr(type == RspType::RSP_LIST ? "RSP_LIST" : "RSP_STRING");
}

RspType rspTypeFrom(pyb::handle member) {
  if (!pyb::hasattr(member, "name"))
    throw pyb::type_error("rsp_type must be a member of kestrix.KRXUtils._RspType");
  const auto name = pyb::cast<std::string>(member.attr("name"));
  if (name == "RSP_LIST") return RspType::RSP_LIST;
  if (name == "RSP_STRING") return RspType::RSP_STRING;
  throw pyb::value_error("unknown response type " + name);
}

pyb::object makeRetType(const RetType& ret, bool data_only) {
  pyb::object ret_type = siblingName("kestrix.KRXUtils", "RetType");
  if (data_only) return ret_type(pyb::arg("data") = toPython(ret.data));
  if (ret.data.is_null()) return ret_type(pyRetCode(ret.code), ret.message);
  return ret_type(pyRetCode(ret.code), ret.message, toPython(ret.data));
}

namespace {

void raiseAs(const char* module, const char* name, const char* what) {
  pyb::object type = siblingName(module, name);
  PyErr_SetString(type.ptr(), what);
}

}  // namespace

pyb::object osError(const FileError& error) {
  const pyb::object os_error = pyb::reinterpret_borrow<pyb::object>(PyExc_OSError);
  if (error.error_number() == 0) return os_error(error.what());
  // OSError(errno, text, filename) becomes FileNotFoundError, IsADirectoryError, ...
  return os_error(error.error_number(), std::strerror(error.error_number()),
                  pathObject(error.path()));
}

void registerExceptionTranslators() {
  pyb::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const DecodeError& e) {
      PyObject* exc = PyUnicodeDecodeError_Create(
          "utf-8", e.bytes().data(), static_cast<Py_ssize_t>(e.bytes().size()),
          static_cast<Py_ssize_t>(e.start()), static_cast<Py_ssize_t>(e.end()), e.reason().c_str());
      if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
      }
    } catch (const TimeoutError& e) {
      PyErr_SetString(PyExc_TimeoutError, e.what());
    } catch (const ProtocolError& e) {
      raiseAs("kestrix.errors", "DeviceProtocolError", e.what());
    } catch (const ConnectionError& e) {
      PyErr_SetString(PyExc_ConnectionError, e.what());
    } catch (const BlockRefusedError& e) {
      raiseAs("kestrix.errors", "BlockRefusedError", e.what());
    } catch (const FileError& e) {
      const pyb::object error = osError(e);
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    } catch (const CancelledError& e) {
      raiseAs("kestrix.errors", "CancelledError", e.what());
    } catch (const InvalidKeyError& e) {
      PyErr_SetObject(PyExc_ValueError, displayText(e.what()).ptr());
    } catch (const flash::ImageCheckError& e) {
      PyErr_SetObject(PyExc_ValueError, displayText(e.what()).ptr());
    }
  });
}

}  // namespace kestrix::py
