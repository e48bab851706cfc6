// kestrix.krxdev.LobeSteer: the core's fast beam rules (kestrix/lobesteer/fast_beam.hpp) as plain
// functions over Python device objects. The class LobeSteer, StartEndEnum and the setup decorator
// are written in Python (kestrix/krxdev/_lobesteer.py), which this module runs in its own
// namespace when it loads: they belong to this module, and call the functions bound here for
// every rule.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "common/py_contracts.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"
#include "py_device.hpp"

namespace kestrix::py::lobesteer {

namespace {

namespace core = kestrix::lobesteer;

constexpr const char* kPackage = "kestrix.krxdev";
constexpr const char* kLayer = "kestrix.krxdev._lobesteer";
constexpr const char* kLayerFile = "_lobesteer.py";

std::string typeName(pyb::handle obj) {
  return Py_TYPE(obj.ptr())->tp_name;
}

std::shared_ptr<const Records> bindSiblings(pyb::module_& m) {
  m.attr("FBSMode") = siblingName("kestrix.KRXPublic", "FBSMode");
  m.attr("RFMode") = siblingName("kestrix.KRXPublic", "RFMode");
  m.attr("RetCode") = siblingName("kestrix.KRXUtils", "RetCode");
  m.attr("RetType") = siblingName("kestrix.KRXUtils", "RetType");
  m.attr("RspType") = siblingName("kestrix.KRXUtils", "_RspType");
  m.attr("BeamPatternManager") =
      siblingName("kestrix.krxdev.BeamPatternManager", "BeamPatternManager");
  return std::make_shared<const Records>(Records{m.attr("RetType"), m.attr("RetCode").attr("OK")});
}

// ---- argument conversions ----------------------------------------------------------------------

bool truthOf(pyb::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw pyb::error_already_set();
  return truth != 0;
}

// A declared int takes the whole part of any other number; a declared float widens an integer.
pyb::object asNumber(pyb::handle value, bool integer, const std::string& qualname,
                     const std::string& param) {
  if (!PyNumber_Check(value.ptr())) {
    throw pyb::type_error(qualname + "() argument '" + param + "' must be a number, not '" +
                          typeName(value) + "'");
  }
  PyObject* converted = integer ? PyNumber_Long(value.ptr()) : PyNumber_Float(value.ptr());
  if (converted == nullptr) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(converted);
}

// The mode number sent to the device: an enumeration member's value, or a plain integer.
long long modeNumber(pyb::handle mode) {
  pyb::object value = pyb::reinterpret_borrow<pyb::object>(mode);
  if (pyb::isinstance(value, pyb::module_::import("enum").attr("Enum")))
    value = value.attr("value");
  if (!PyIndex_Check(value.ptr())) {
    throw pyb::type_error(
        "LobeSteer.setFastParallelMode() argument 'fbs_mode' must be an FBSMode or an integer, "
        "not '" +
        typeName(mode) + "'");
  }
  const long long number = PyLong_AsLongLong(value.ptr());
  if (number == -1 && PyErr_Occurred()) throw pyb::error_already_set();
  return number;
}

// The base version of an abstract operation: each argument is converted to the type `operation`
// declares for it (int, float, bool), then the operation fails as not implemented by the device
// class. `arguments` are the operation's locals, `self` first.
pyb::object notImplemented(const pyb::object& operation, const pyb::dict& arguments) {
  const std::string qualname = pyb::str(operation.attr("__qualname__"));
  const pyb::dict declared = operation.attr("__annotations__");
  for (const auto& [name, value] : arguments) {
    if (!declared.contains(name)) continue;
    const pyb::object type = declared[name];
    const auto is = [&](PyTypeObject& t) { return type.ptr() == reinterpret_cast<PyObject*>(&t); };
    if (is(PyLong_Type) || is(PyFloat_Type)) {
      asNumber(value, is(PyLong_Type), qualname, pyb::str(name));
    } else if (is(PyBool_Type)) {
      truthOf(value);
    }
  }
  const std::string message = pyb::str(operation.attr("__name__")).cast<std::string>() +
                              " is not implemented by " + typeName(arguments["self"]);
  return pyb::reinterpret_borrow<pyb::object>(PyExc_NotImplementedError)(message);
}

// ---- the bound functions -----------------------------------------------------------------------

// The lazy manager's cache, as the device object's attribute.
struct PySlot {
  pyb::handle self;
  bool empty() const { return self.attr("_beam_pattern_mgr").is_none(); }
  void store(const pyb::object& handle) { pyb::setattr(self, "_beam_pattern_mgr", handle); }
  pyb::object get() const { return self.attr("_beam_pattern_mgr"); }
};

void bindFunctions(pyb::module_& m, const std::shared_ptr<const Records>& records) {
  m.def(
      "_run_with_beam_pattern_setup",
      [records](const pyb::object& func, const pyb::tuple& args, const pyb::dict& kwargs) {
        if (args.empty()) {
          const pyb::object name = pyb::getattr(func, "__qualname__", pyb::str("wrapper"));
          throw pyb::type_error(pyb::str(name).cast<std::string>() +
                                "() missing 1 required positional argument: 'self'");
        }
        PyDevice device(args[0], *records);
        return core::runWithBeamPatternSetup(device, [&] { return func(*args, **kwargs); });
      },
      "Calls func(*args, **kwargs) inside the beam pattern setup sequence of device args[0].");
  m.def(
      "_beam_pattern_manager",
      [](const pyb::object& self) {
        PySlot slot{self};
        return core::lazyBeamPatternManager(
            slot, [&] { return self.attr("_create_beam_pattern_mgr")(); });
      },
      "The device's manager, made by its _create_beam_pattern_mgr while none is held.");
  m.def(
      "_read_fast_parallel_mode",
      [records](const pyb::object& self) {
        PyDevice device(self, *records);
        return core::readFastParallelMode(device);
      },
      "Asks the device whether fast parallel mode is on.");
  m.def(
      "_write_fast_parallel_mode",
      [records](const pyb::object& self, const pyb::object& enable, const pyb::object& mode) {
        const bool on = truthOf(enable);
        const long long number = modeNumber(mode);
        PyDevice device(self, *records);
        return core::writeFastParallelMode(device, on, number);
      },
      "Switches fast parallel mode with the given FBSMode (or mode number).");
  m.def(
      "_fbs_command_table",
      [] {
        pyb::dict table;
        for (const core::FbsCommand& entry : core::kFbsCommandTable) {
          table[pyb::str(entry.hook.data(), entry.hook.size())] = pyb::make_tuple(
              pyb::str(entry.command.data(), entry.command.size()), pyRspType(entry.rsp_type));
        }
        return table;
      },
      "A new dict: hook name to (command text, response type), in table order.");
  m.def("_not_implemented", &notImplemented,
        "Converts the arguments of an abstract operation's base version to their declared types "
        "and returns the NotImplementedError it raises.");
  m.def("_command_line", &core::commandLine, pyb::arg("command"), pyb::arg("argument") = "",
        "The command line 'COMMAND' or 'COMMAND ARGUMENT' (no terminator); ValueError when either "
        "holds CR, LF or NUL.");
}

// The names and values of StartEndEnum, in declaration order.
pyb::list startEndMembers() {
  using core::StartEndEnum;
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
  return members;
}

// Runs the Python layer in this module's namespace. It sits beside this module in the package
// folder; a source loader gives its code, so tracebacks show its lines and its bytecode is cached.
void runPythonLayer(pyb::module_& m) {
  const pyb::object path = pyb::module_::import("os.path");
  for (const pyb::handle folder : pyb::module_::import(kPackage).attr("__path__")) {
    const pyb::object file = path.attr("join")(folder, kLayerFile);
    if (!path.attr("isfile")(file).cast<bool>()) continue;
    const pyb::object loader =
        pyb::module_::import("importlib.machinery").attr("SourceFileLoader")(kLayer, file);
    pyb::module_::import("builtins")
        .attr("exec")(loader.attr("get_code")(kLayer), m.attr("__dict__"));
    return;
  }
  throw pyb::import_error(std::string("cannot find ") + kLayer);
}

}  // namespace

}  // namespace kestrix::py::lobesteer

PYBIND11_MODULE(LobeSteer, m) {
  namespace ls = kestrix::py::lobesteer;
  const auto records = ls::bindSiblings(m);
  ls::bindFunctions(m, records);
  m.attr("_START_END") = ls::startEndMembers();
  ls::runPythonLayer(m);
}
