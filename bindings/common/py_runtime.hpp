// The interpreter's lifetime as threads of the core see it. While the interpreter finalises, a
// thread that is not the main one and takes the GIL is ended on the spot (pthread_exit(), which
// unwinds its stack as a forced unwind). Threads of the core therefore stop taking the GIL once
// finalisation began, and the one place where a Python thread takes the GIL back after releasing
// it does so outside any destructor, where such an unwind may pass.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrix::py {

// Whether the interpreter has begun to finalise.
inline bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Releases the GIL for the long work of a call, like pybind11::gil_scoped_release, and takes it
// back in reacquire() (or, when that was not called, in the destructor). Its destructor may end
// the thread with a forced unwind, so it is not noexcept.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false) { reacquire(); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  void reacquire() {
    PyThreadState* state = state_;
    state_ = nullptr;
    if (state != nullptr) PyEval_RestoreThread(state);
  }

 private:
  PyThreadState* state_;
};

// Drops a Python reference held by an object of the core: with the GIL when the interpreter
// still runs, or not at all (the object is left to the ending process) once it finalises.
inline void dropReference(pybind11::object& object) {
  if (!object) return;
  if (interpreterFinalizing()) {
    object.release();
    return;
  }
  pybind11::gil_scoped_acquire gil;
  object = pybind11::object();
}

}  // namespace kestrix::py
