#include "native_function.hpp"

#include <cstddef>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace kestrix::py::lobesteer {

namespace {

[[noreturn]] void raiseTypeError(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw pyb::error_already_set();
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': how Python lists missing parameters.
std::string nameList(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// The C++ object behind one of our instances, or null while it is not (or no longer) built.
NativeFunction* nativeFunctionOf(PyObject* self) {
  auto* inst = reinterpret_cast<pyb::detail::instance*>(self);
  pyb::detail::value_and_holder vh = inst->get_value_and_holder(nullptr, false);
  if (vh.inst == nullptr || !vh.holder_constructed()) return nullptr;
  return vh.value_ptr<NativeFunction>();
}

// The dict and `target` are the references a cycle can run through.
int traverse(PyObject* self, visitproc visit, void* arg) {
  if (const int ret = pyb::detail::pybind11_traverse(self, visit, arg)) return ret;
  if (NativeFunction* f = nativeFunctionOf(self)) Py_VISIT(f->target.ptr());
  return 0;
}

int clear(PyObject* self) {
  if (NativeFunction* f = nativeFunctionOf(self)) {
    // Detach first: dropping the last reference may run code that looks at this object.
    pyb::object old = std::move(f->target);
    f->target = pyb::none();
  }
  return pyb::detail::pybind11_clear(self);
}

pyb::object makeObject(NativeFunction::Call call, pyb::object target) {
  return pyb::cast(NativeFunction{std::move(call), std::move(target)});
}

}  // namespace

void registerNativeFunctionType(pyb::module_& m) {
  // A module made again (a second import after a failed or removed one) finds the type already
  // registered with pybind11, which refuses a second registration.
  if (const pyb::detail::type_info* known = pyb::detail::get_type_info(typeid(NativeFunction))) {
    m.attr("_NativeFunction") = pyb::handle(reinterpret_cast<PyObject*>(known->type));
    return;
  }
  pyb::class_<NativeFunction>(m, "_NativeFunction", pyb::dynamic_attr(),
                              pyb::custom_type_setup([](PyHeapTypeObject* heap_type) {
                                heap_type->ht_type.tp_traverse = traverse;
                                heap_type->ht_type.tp_clear = clear;
                              }),
                              "A function made in C++ that binds like a Python function.")
      .def("__call__",
           [](const NativeFunction& self, pyb::args args, pyb::kwargs kwargs) {
             // The caller holds this object for the whole call; `target` is held here too, in
             // case the call drops the last other reference to it.
             const pyb::object target = self.target;
             return self.call(target, std::move(args), std::move(kwargs));
           })
      .def(
          "__get__",
          [](pyb::object self, pyb::object obj, pyb::object) -> pyb::object {
            if (obj.is_none()) return self;
            PyObject* bound = PyMethod_New(self.ptr(), obj.ptr());
            if (bound == nullptr) throw pyb::error_already_set();
            return pyb::reinterpret_steal<pyb::object>(bound);
          },
          pyb::arg("instance"), pyb::arg("owner") = pyb::none())
      .def("__repr__", [](pyb::object self) {
        const pyb::object name = pyb::getattr(self, "__qualname__", pyb::str("?"));
        return "<native function " + pyb::str(name).cast<std::string>() + ">";
      });
}

std::vector<pyb::object> bindArguments(const std::string& qualname,
                                       const std::vector<Param>& params, const pyb::args& args,
                                       const pyb::kwargs& kwargs) {
  const std::size_t n = params.size();
  std::size_t required = 0;
  for (const Param& p : params) required += p.default_value ? 0 : 1;

  if (args.size() > n) {
    const std::string takes = required == n ? plural(n, "positional argument")
                                            : "from " + std::to_string(required) + " to " +
                                                  plural(n, "positional argument");
    raiseTypeError(qualname + "() takes " + takes + " but " + std::to_string(args.size()) +
                   (args.size() == 1 ? " was" : " were") + " given");
  }

  std::vector<pyb::object> bound(n);
  for (std::size_t i = 0; i < args.size(); ++i)
    bound[i] = pyb::reinterpret_borrow<pyb::object>(args[i]);

  for (const auto& item : kwargs) {
    const std::string key = pyb::str(item.first).cast<std::string>();
    std::size_t i = 0;
    while (i < n && key != params[i].name) ++i;
    if (i == n) raiseTypeError(qualname + "() got an unexpected keyword argument '" + key + "'");
    if (bound[i]) raiseTypeError(qualname + "() got multiple values for argument '" + key + "'");
    bound[i] = pyb::reinterpret_borrow<pyb::object>(item.second);
  }

  std::vector<std::string> missing;
  for (std::size_t i = 0; i < n; ++i) {
    if (bound[i]) continue;
    if (params[i].default_value) {
      bound[i] = params[i].default_value;
    } else {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) {
    raiseTypeError(qualname + "() missing " +
                   plural(missing.size(), "required positional argument") + ": " +
                   nameList(missing));
  }
  return bound;
}

pyb::object makeFunction(const FunctionSpec& fn, Body body) {
  const pyb::module_ inspect = pyb::module_::import("inspect");
  const pyb::object parameter = inspect.attr("Parameter");
  const pyb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");

  pyb::list parameters;
  pyb::dict annotations;
  for (const Param& p : fn.params) {
    pyb::dict options;
    if (p.default_value) options["default"] = p.default_value;
    if (p.annotation) {
      options["annotation"] = p.annotation;
      annotations[p.name] = p.annotation;
    }
    parameters.append(parameter(p.name, kind, **options));
  }
  pyb::dict signature_options;
  if (fn.return_annotation) {
    signature_options["return_annotation"] = fn.return_annotation;
    annotations["return"] = fn.return_annotation;
  }

  std::vector<Param> params = fn.params;
  std::string qualname = fn.qualname;
  pyb::object function = makeObject(
      [params = std::move(params), qualname = std::move(qualname), body = std::move(body)](
          const pyb::object&, pyb::args args, pyb::kwargs kwargs) {
        return body(bindArguments(qualname, params, args, kwargs));
      },
      pyb::none());

  function.attr("__name__") = fn.name;
  function.attr("__qualname__") = fn.qualname;
  function.attr("__module__") = fn.module;
  function.attr("__doc__") = fn.doc.empty() ? pyb::object(pyb::none()) : pyb::str(fn.doc);
  function.attr("__annotations__") = annotations;
  function.attr("__signature__") = inspect.attr("Signature")(parameters, **signature_options);
  if (fn.abstract) function.attr("__isabstractmethod__") = true;
  return function;
}

pyb::object makeVariadic(NativeFunction::Call call, pyb::object target) {
  return makeObject(std::move(call), std::move(target));
}

}  // namespace kestrix::py::lobesteer
