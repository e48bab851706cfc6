// kestrix.krxdev.LobeSteer: the Python face of the fast beam base class. The class is a genuine
// abc.ABC subclass, made when the module loads from functions written in C++; the behaviour of
// each operation is the core's (kestrix/lobesteer/fast_beam.hpp), run over the Python device
// object through PyDevice.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/lobesteer/fast_beam.hpp"
#include "native_function.hpp"
#include "py_device.hpp"

namespace kestrix::py::lobesteer {

namespace {

using kestrix::lobesteer::kFbsCommandTable;
using kestrix::lobesteer::lazyBeamPatternManager;
using kestrix::lobesteer::readFastParallelMode;
using kestrix::lobesteer::runWithBeamPatternSetup;
using kestrix::lobesteer::writeFastParallelMode;

using Names = std::shared_ptr<const Siblings>;

constexpr const char* kModule = "kestrix.krxdev.LobeSteer";
constexpr const char* kClass = "LobeSteer";

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw pyb::error_already_set();
}

std::string typeName(pyb::handle obj) {
  return Py_TYPE(obj.ptr())->tp_name;
}

// `name` of sibling module `module`; a missing module or name fails the import.
pyb::object siblingName(const char* module, const char* name) {
  const pyb::module_ sibling = pyb::module_::import(module);
  if (!pyb::hasattr(sibling, name)) {
    raise(PyExc_ImportError,
          std::string("cannot import name '") + name + "' from '" + module + "'");
  }
  return sibling.attr(name);
}

Names bindSiblings(pyb::module_& m) {
  auto names = std::make_shared<Siblings>();
  names->fbs_mode = siblingName("kestrix.KRXPublic", "FBSMode");
  names->rf_mode = siblingName("kestrix.KRXPublic", "RFMode");
  names->ret_code = siblingName("kestrix.KRXUtils", "RetCode");
  names->ret_type = siblingName("kestrix.KRXUtils", "RetType");
  names->rsp_type = siblingName("kestrix.KRXUtils", "_RspType");
  names->beam_pattern_manager =
      siblingName("kestrix.krxdev.BeamPatternManager", "BeamPatternManager");
  names->ok = names->ret_code.attr("OK");
  names->enum_base = pyb::module_::import("enum").attr("Enum");

  m.attr("FBSMode") = names->fbs_mode;
  m.attr("RFMode") = names->rf_mode;
  m.attr("RetCode") = names->ret_code;
  m.attr("RetType") = names->ret_type;
  m.attr("RspType") = names->rsp_type;
  m.attr("BeamPatternManager") = names->beam_pattern_manager;
  return names;
}

pyb::object makeStartEndEnum() {
  using kestrix::lobesteer::StartEndEnum;
  const std::pair<const char*, StartEndEnum> declared[] = {
      {"OTHER", StartEndEnum::OTHER},
      {"START", StartEndEnum::START},
      {"END", StartEndEnum::END},
      {"START_END", StartEndEnum::START_END},
  };
  pyb::list members;
  for (const auto& [name, value] : declared) {
    members.append(pyb::make_tuple(name, static_cast<int>(value)));
  }
  pyb::object start_end = pyb::module_::import("enum").attr("IntEnum")(
      "StartEndEnum", members, pyb::arg("module") = kModule, pyb::arg("qualname") = "StartEndEnum");
  start_end.attr("__doc__") = "Enum for start and end states.";
  return start_end;
}

// ---- argument conversions of the operations -------------------------------------------------

bool truthOf(pyb::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw pyb::error_already_set();
  return truth != 0;
}

void requireNumber(pyb::handle value, const std::string& qualname, const char* param) {
  if (!PyNumber_Check(value.ptr())) {
    raise(PyExc_TypeError,
          qualname + "() argument '" + param + "' must be a number, not '" + typeName(value) + "'");
  }
}

// A declared integer: another kind of number gives its whole part.
pyb::object asInteger(pyb::handle value, const std::string& qualname, const char* param) {
  requireNumber(value, qualname, param);
  PyObject* converted = PyNumber_Long(value.ptr());
  if (converted == nullptr) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(converted);
}

// A declared real number: an integer is widened.
pyb::object asReal(pyb::handle value, const std::string& qualname, const char* param) {
  requireNumber(value, qualname, param);
  PyObject* converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(converted);
}

// The mode number sent to the device: an enumeration member's value, or a plain integer.
long long modeNumber(const Siblings& names, pyb::handle mode, const std::string& qualname) {
  pyb::object value = pyb::reinterpret_borrow<pyb::object>(mode);
  if (pyb::isinstance(value, names.enum_base)) value = value.attr("value");
  if (!PyIndex_Check(value.ptr())) {
    raise(PyExc_TypeError, qualname + "() argument 'fbs_mode' must be an FBSMode or an integer, " +
                               "not '" + typeName(mode) + "'");
  }
  const auto index = pyb::reinterpret_steal<pyb::object>(PyNumber_Index(value.ptr()));
  if (!index) throw pyb::error_already_set();
  const long long number = PyLong_AsLongLong(index.ptr());
  if (number == -1 && PyErr_Occurred()) throw pyb::error_already_set();
  return number;
}

// ---- the setup decorator ---------------------------------------------------------------------

pyb::object requireBeamPatternSetup(const Names& names, const pyb::object& func) {
  if (!PyCallable_Check(func.ptr())) {
    raise(PyExc_TypeError,
          "_require_beam_pattern_setup() needs a callable, not '" + typeName(func) + "'");
  }
  pyb::object wrapper = makeVariadic(
      [names](const pyb::object& target, pyb::args args, pyb::kwargs kwargs) -> pyb::object {
        if (args.empty()) {
          const pyb::object name = pyb::getattr(target, "__qualname__", pyb::str("wrapper"));
          raise(PyExc_TypeError, pyb::str(name).cast<std::string>() +
                                     "() missing 1 required positional argument: 'self'");
        }
        PyDevice device(args[0], *names);
        return runWithBeamPatternSetup(device, [&] { return target(*args, **kwargs); });
      },
      func);

  pyb::module_::import("functools").attr("update_wrapper")(wrapper, func);
  // The signature is taken now, once: the one recorded on `func`, else the one its declaration
  // gives. A callable without one leaves introspection to follow __wrapped__, as it would anyway.
  pyb::object signature = pyb::getattr(func, "__signature__", pyb::none());
  if (signature.is_none()) {
    try {
      signature = pyb::module_::import("inspect").attr("signature")(func);
    } catch (pyb::error_already_set& e) {
      if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    }
  }
  if (!signature.is_none()) wrapper.attr("__signature__") = signature;
  return wrapper;
}

pyb::object makeDecorator(const Names& names) {
  const pyb::object callable = pyb::module_::import("typing").attr("Callable");
  const pyb::object operation = callable[pyb::make_tuple(pyb::ellipsis(), names->ret_type)];
  FunctionSpec fn;
  fn.name = "_require_beam_pattern_setup";
  fn.qualname = fn.name;
  fn.module = kModule;
  fn.doc =
      "Decorator to setup beam pattern before execution and cleanup after.\n"
      "\n"
      "The wrapped operation switches beam pattern storage on and erases it, runs, then switches\n"
      "storage off and applies it. A failed switch-on or erase record is returned without running\n"
      "the operation; the switch-off and apply always run, and their results are ignored.\n"
      "\n"
      "Args:\n"
      "    func: The operation to wrap; it returns a RetType.\n"
      "\n"
      "Returns:\n"
      "    The wrapping operation, with func's name, documentation and signature.";
  fn.params = {{"func", operation, {}}};
  fn.return_annotation = operation;
  return makeFunction(fn, [names](const std::vector<pyb::object>& a) {
    return requireBeamPatternSetup(names, a[0]);
  });
}

// ---- the class -------------------------------------------------------------------------------

FunctionSpec method(const char* name, const char* doc, std::vector<Param> params,
                    pyb::object return_annotation) {
  FunctionSpec fn;
  fn.name = name;
  fn.qualname = std::string(kClass) + "." + name;
  fn.module = kModule;
  fn.doc = doc;
  fn.params = {{"self", {}, {}}};
  for (Param& p : params) fn.params.push_back(std::move(p));
  fn.return_annotation = std::move(return_annotation);
  return fn;
}

enum class Conversion { kNone, kInteger, kReal, kTruth };

// An abstract operation: converts its arguments to the declared types, then fails with
// NotImplementedError, as every device class must provide its own.
pyb::object abstractMethod(const char* name, const char* doc,
                           std::vector<std::pair<Param, Conversion>> params,
                           pyb::object return_annotation) {
  std::vector<Param> declared;
  std::vector<Conversion> conversions;
  for (auto& [param, conversion] : params) {
    declared.push_back(param);
    conversions.push_back(conversion);
  }
  FunctionSpec fn = method(name, doc, std::move(declared), std::move(return_annotation));
  fn.abstract = true;
  std::vector<const char*> param_names;
  for (const Param& p : fn.params) param_names.push_back(p.name);
  const std::string qualname = fn.qualname;
  const std::string operation = name;
  return makeFunction(fn, [=](const std::vector<pyb::object>& a) -> pyb::object {
    for (std::size_t i = 0; i < conversions.size(); ++i) {
      const pyb::object& value = a[i + 1];
      switch (conversions[i]) {
        case Conversion::kInteger:
          asInteger(value, qualname, param_names[i + 1]);
          break;
        case Conversion::kReal:
          asReal(value, qualname, param_names[i + 1]);
          break;
        case Conversion::kTruth:
          truthOf(value);
          break;
        case Conversion::kNone:
          break;
      }
    }
    raise(PyExc_NotImplementedError,
          operation + " is not implemented by " + Py_TYPE(a[0].ptr())->tp_name);
  });
}

// The lazy manager's cache, as the device object's attribute.
struct PySlot {
  pyb::handle self;
  bool empty() const { return self.attr("_beam_pattern_mgr").is_none(); }
  void store(const pyb::object& handle) { pyb::setattr(self, "_beam_pattern_mgr", handle); }
  pyb::object get() const { return self.attr("_beam_pattern_mgr"); }
};

pyb::object rspMember(const Siblings& names, RspType type) {
  switch (type) {
    case RspType::RSP_LIST:
      return names.rsp_type.attr("RSP_LIST");
    case RspType::RSP_STRING:
      return names.rsp_type.attr("RSP_STRING");
  }
  return names.rsp_type.attr("RSP_STRING");
}

pyb::object makeLobeSteer(const Names& names, const pyb::object& decorator) {
  const pyb::object typing = pyb::module_::import("typing");
  const pyb::object builtins = pyb::module_::import("builtins");
  const pyb::object int_type = builtins.attr("int");
  const pyb::object float_type = builtins.attr("float");
  const pyb::object bool_type = builtins.attr("bool");
  const pyb::object ret_type = names->ret_type;
  auto param = [](const char* name, pyb::object annotation, pyb::object default_value = {}) {
    return Param{name, std::move(annotation), std::move(default_value)};
  };

  pyb::dict ns;
  ns["__module__"] = kModule;
  ns["__qualname__"] = kClass;
  ns["__doc__"] = "Abstract base class for managing fast beam operations.";
  pyb::dict fields;
  fields["_beam_pattern_mgr"] = typing.attr("Optional")[names->beam_pattern_manager];
  fields["external_control_enabled"] = bool_type;
  ns["__annotations__"] = fields;
  ns["_beam_pattern_mgr"] = pyb::none();
  ns["external_control_enabled"] = false;

  // 1. beam_pattern_mgr
  const pyb::object getter = makeFunction(
      method("beam_pattern_mgr",
             "The device's BeamPatternManager, created by _create_beam_pattern_mgr on first "
             "access.",
             {}, names->beam_pattern_manager),
      [](const std::vector<pyb::object>& a) {
        PySlot slot{a[0]};
        return lazyBeamPatternManager(slot,
                                      [&] { return a[0].attr("_create_beam_pattern_mgr")(); });
      });
  ns["beam_pattern_mgr"] = builtins.attr("property")(getter);

  // 2. _create_beam_pattern_mgr
  ns["_create_beam_pattern_mgr"] = abstractMethod(
      "_create_beam_pattern_mgr", "Create the device-specific BeamPatternManager instance.", {},
      names->beam_pattern_manager);

  // 3. _fbs_cmd_dict
  const pyb::object table_type = typing.attr("Dict")[pyb::make_tuple(
      builtins.attr("str"),
      typing.attr("Tuple")[pyb::make_tuple(builtins.attr("str"), names->rsp_type)])];
  ns["_fbs_cmd_dict"] = makeFunction(
      method("_fbs_cmd_dict", "Return the command list for the fast beam manager.", {}, table_type),
      [names](const std::vector<pyb::object>&) -> pyb::object {
        pyb::dict table;
        for (const auto& entry : kFbsCommandTable) {
          table[pyb::str(entry.hook.data(), entry.hook.size())] =
              pyb::make_tuple(pyb::str(entry.command.data(), entry.command.size()),
                              rspMember(*names, entry.rsp_type));
        }
        return std::move(table);
      });

  // 4. getFastParallelMode
  ns["getFastParallelMode"] =
      makeFunction(method("getFastParallelMode", "Get the fast parallel mode.", {}, ret_type),
                   [names](const std::vector<pyb::object>& a) {
                     PyDevice device(a[0], *names);
                     return readFastParallelMode(device);
                   });

  // 5. setFastParallelMode; the default mode is read now, once.
  ns["setFastParallelMode"] = makeFunction(
      method("setFastParallelMode",
             "Set the fast parallel mode.\n"
             "\n"
             "Args:\n"
             "    toEnable: Whether to enable or disable the fast parallel mode.\n"
             "    fbs_mode: The fast beam steering mode to set.",
             {param("toEnable", bool_type),
              param("fbs_mode", names->fbs_mode, names->fbs_mode.attr("FULL_GAIN_PHASE"))},
             ret_type),
      [names](const std::vector<pyb::object>& a) {
        const bool enable = truthOf(a[1]);
        const long long mode =
            modeNumber(*names, a[2], std::string(kClass) + ".setFastParallelMode");
        PyDevice device(a[0], *names);
        return writeFastParallelMode(device, enable, mode);
      });

  // 6. eraseFastBeamConfig: the erasing is the setup sequence's.
  ns["eraseFastBeamConfig"] = decorator(makeFunction(
      method("eraseFastBeamConfig", "Erase the fast beam configuration.", {}, ret_type),
      [names](const std::vector<pyb::object>&) { return names->ret_type(); }));

  // 7-11. The operations each device class fills in.
  const pyb::object rf_mode = names->rf_mode;
  ns["getFastBeamGain"] = abstractMethod("getFastBeamGain", "Get the fast beam gain.",
                                         {{param("rf_mode", rf_mode), Conversion::kNone},
                                          {param("beam_id", int_type), Conversion::kInteger}},
                                         ret_type);
  ns["getFastBeamPattern"] =
      abstractMethod("getFastBeamPattern", "Get the fast beam pattern.",
                     {{param("beam_id", int_type), Conversion::kInteger}}, ret_type);
  const pyb::object zero = pyb::int_(0);
  ns["setFastBeamGain"] =
      abstractMethod("setFastBeamGain", "Set the fast beam gain.",
                     {{param("rf_mode", rf_mode), Conversion::kNone},
                      {param("beam_id", int_type), Conversion::kInteger},
                      {param("enable", bool_type), Conversion::kTruth},
                      {param("com_gain", int_type, zero), Conversion::kInteger},
                      {param("ele_gain", int_type, zero), Conversion::kInteger}},
                     ret_type);
  ns["setFastBeamPatternThetaPhi"] =
      abstractMethod("setFastBeamPatternThetaPhi", "Set the fast beam pattern.",
                     {{param("beam_id", int_type), Conversion::kInteger},
                      {param("rf_freq", float_type), Conversion::kReal},
                      {param("theta", float_type), Conversion::kReal},
                      {param("phi", float_type), Conversion::kReal}},
                     ret_type);
  ns["setFastBeamPatternAzEl"] =
      abstractMethod("setFastBeamPatternAzEl", "Set the fast beam pattern.",
                     {{param("beam_id", int_type), Conversion::kInteger},
                      {param("rf_freq", float_type), Conversion::kReal},
                      {param("azimuth", float_type), Conversion::kReal},
                      {param("elevation", float_type), Conversion::kReal}},
                     ret_type);

  // 12. syncFastBeamConfig: the device reboots inside the setup sequence.
  ns["syncFastBeamConfig"] = decorator(makeFunction(
      method("syncFastBeamConfig", "Update the fast beam configuration.", {}, ret_type),
      [](const std::vector<pyb::object>& a) { return a[0].attr("_reboot")(); }));

  const pyb::module_ abc = pyb::module_::import("abc");
  return abc.attr("ABCMeta")(kClass, pyb::make_tuple(abc.attr("ABC")), ns);
}

}  // namespace

bool PyDevice::extCtrlState(const pyb::object& ret) const {
  const pyb::object data = ret.attr("RetData");
  PyObject* raw = data.ptr();
  if (PyUnicode_Check(raw)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(raw, &size);
    if (text == nullptr) throw pyb::error_already_set();
    return kestrix::lobesteer::externalControlState(
        std::string_view(text, static_cast<std::size_t>(size)));
  }
  if (PyBytes_Check(raw)) {
    return kestrix::lobesteer::externalControlState(
        std::string_view(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw))));
  }
  if (PyByteArray_Check(raw)) {
    return kestrix::lobesteer::externalControlState(std::string_view(
        PyByteArray_AS_STRING(raw), static_cast<std::size_t>(PyByteArray_GET_SIZE(raw))));
  }
  if (PyIndex_Check(raw)) {
    const auto index = pyb::reinterpret_steal<pyb::object>(PyNumber_Index(raw));
    if (!index) throw pyb::error_already_set();
    return truthOf(index);
  }
  raise(PyExc_TypeError,
        "external control state must be an integer or decimal text, not '" + typeName(data) + "'");
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

PYBIND11_MODULE(LobeSteer, m) {
  namespace ls = kestrix::py::lobesteer;
  m.doc() = "Fast Beam Steering Manager module.";
  const ls::Names names = ls::bindSiblings(m);
  ls::registerNativeFunctionType(m);
  m.attr("StartEndEnum") = ls::makeStartEndEnum();
  const pybind11::object decorator = ls::makeDecorator(names);
  m.attr("_require_beam_pattern_setup") = decorator;
  m.attr("LobeSteer") = ls::makeLobeSteer(names, decorator);
  pybind11::list exported;
  for (const char* name : {"StartEndEnum", "_require_beam_pattern_setup", "LobeSteer"}) {
    exported.append(name);
  }
  m.attr("__all__") = exported;
}
