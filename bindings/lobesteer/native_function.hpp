// Functions made in C++ that behave, in a Python class body, like functions written in Python:
// attribute access through an instance binds them (types.MethodType), arguments bind by position
// or by name with Python's own TypeErrors, and each carries a __dict__ for __name__, __qualname__,
// __doc__, __annotations__, __signature__, __isabstractmethod__ and whatever else callers attach.
// Every function here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrix::py::lobesteer {

namespace pyb = pybind11;

// The Python-visible object. `target` is the one Python object the call needs besides its
// arguments (the decorated function, for a wrapper); it is kept here, where the garbage collector
// sees it, so that a class whose methods refer back to the class can still be collected.
struct NativeFunction {
  using Call = std::function<pyb::object(const pyb::object& target, pyb::args, pyb::kwargs)>;
  Call call;
  pyb::object target;
};

// Registers the type in `m` (as `_NativeFunction`); runs before any function is made.
void registerNativeFunctionType(pyb::module_& m);

// One parameter, positional or keyword. An empty `annotation` means none; an empty
// `default_value` means the argument is required.
struct Param {
  const char* name;
  pyb::object annotation;
  pyb::object default_value;
};

// What a function with a fixed parameter list shows to introspection.
struct FunctionSpec {
  std::string name;
  std::string qualname;
  std::string module;
  std::string doc;                // empty: no documentation
  std::vector<Param> params;      // in order; a method's first one is `self`
  pyb::object return_annotation;  // empty: none
  bool abstract = false;
};

// The body of a fixed-parameter function: one argument per parameter, defaults filled in.
using Body = std::function<pyb::object(const std::vector<pyb::object>& args)>;

// Binds `args` and `kwargs` to `params` the way Python binds a call to a function's parameters,
// raising TypeError (naming `qualname`) for too many, unknown, repeated or missing arguments.
std::vector<pyb::object> bindArguments(const std::string& qualname,
                                       const std::vector<Param>& params, const pyb::args& args,
                                       const pyb::kwargs& kwargs);

// A function with a fixed parameter list that runs `body` on the bound arguments.
pyb::object makeFunction(const FunctionSpec& fn, Body body);

// A function that hands whatever arguments it gets, with `target`, to `call`. It carries no
// attributes yet; the caller gives it its identity.
pyb::object makeVariadic(NativeFunction::Call call, pyb::object target);

}  // namespace kestrix::py::lobesteer
