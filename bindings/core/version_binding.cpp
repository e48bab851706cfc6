// The core's Version as the package's VER: one ordering for C++ and Python.
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <string>

#include "core_bindings.hpp"
#include "kestrix/contracts/version.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

void bindVersion(pyb::module_& m) {
  pyb::class_<Version>(m, "VER", R"doc(
A version value made from dotted decimal text such as "0.1.0.6" (ASCII digits, white space
around it allowed). Values compare component by component, a missing trailing component counting
as 0; a text that is not a version raises ValueError.
)doc")
      .def(pyb::init([](const pyb::object& text) {
             if (!pyb::isinstance<pyb::str>(text))
               throw pyb::type_error(
                   "version must be text, not " +
                   std::string(pyb::str(pyb::type::handle_of(text).attr("__name__"))));
             return Version(text.cast<std::string>());
           }),
           pyb::arg("text"))
      .def(pyb::self < pyb::self)
      .def(pyb::self <= pyb::self)
      .def(pyb::self > pyb::self)
      .def(pyb::self >= pyb::self)
      .def(pyb::self == pyb::self)
      .def(pyb::self != pyb::self)
      .def("__hash__",
           [](const Version& v) {
             // Equal values (1.2 and 1.2.0) hash alike: trailing zeros do not count.
             std::vector<std::uint64_t> parts = v.components();
             while (!parts.empty() && parts.back() == 0) parts.pop_back();
             return pyb::hash(pyb::tuple(pyb::cast(parts)));
           })
      .def("__str__", &Version::str)
      .def("__repr__", [](const Version& v) { return "VER('" + v.str() + "')"; });
}

}  // namespace kestrix::py
