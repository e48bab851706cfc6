#include "py_runtime.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "kestrix/contracts/cancel.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;

// How long the interpreter's exit waits for cancelled device work to end: a job stops at its
// next cancellation check, well within this unless a device has gone silent.
constexpr auto kDeviceWorkGrace = std::chrono::seconds(5);
// How long it then waits for a thread still inside the gate (in a caller's callback) to leave.
constexpr auto kCallbackGrace = std::chrono::seconds(5);

class Gate {
 public:
  bool enter() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ && std::this_thread::get_id() != closer_) return false;
    ++inside_;
    return true;
  }

  void leave() {
    const std::lock_guard<std::mutex> lock(mutex_);
    --inside_;
    changed_.notify_all();
  }

  void startDeviceWork() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++device_work_;
  }

  void endDeviceWork() {
    const std::lock_guard<std::mutex> lock(mutex_);
    --device_work_;
    changed_.notify_all();
  }

  // Once the gate is closed, a thread coming back from the core (not the closing one) would be
  // ended at its next take of the GIL wherever it then stands, a handler that translates an
  // exception included, and that ends the process. So it waits here, holding nothing, for the
  // process to end; its Python thread state belongs to an interpreter that is gone by then, so
  // it never returns, even when a program starts the interpreter again.
  void parkIfClosed() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!closed_ || std::this_thread::get_id() == closer_) return;
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }

  // Each import opens the gate: an embedding program may start the interpreter again.
  void open() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
  }

  // With the GIL held, from an atexit handler.
  void close() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return;
      closed_ = true;
      closer_ = std::this_thread::get_id();
    }
    // Those inside need the GIL to leave; the closing thread is the finalising one, which taking
    // the GIL back never ends.
    const pyb::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kDeviceWorkGrace, [this] { return device_work_ == 0; });
    changed_.wait_for(lock, kCallbackGrace, [this] { return inside_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  std::thread::id closer_;
  std::size_t inside_ = 0;
  std::size_t device_work_ = 0;
};

// One per module, never destroyed: threads of the core may outlive the interpreter and the
// process's static destructors, and must still find it closed.
Gate& gate() {
  static Gate* const instance = std::make_unique<Gate>().release();
  return *instance;
}

bool thisThreadHoldsGil() {
  PyThreadState* mine = PyGILState_GetThisThreadState();
  return mine != nullptr && mine == pyb::detail::get_thread_state_unchecked();
}

}  // namespace

Gil::Gil() {
  if (thisThreadHoldsGil()) {
    held_ = true;
    return;
  }
  if (!gate().enter()) return;
  gil_.emplace();
  held_ = true;
}

Gil::~Gil() {
  if (!gil_) return;
  gil_.reset();
  gate().leave();
}

void throwInterpreterEnding() {
  throw CancelledError("the Python interpreter is shutting down");
}

namespace detail {

CallWithoutGil::CallWithoutGil(AtExit at_exit) : at_exit_(at_exit) {}

CallWithoutGil::~CallWithoutGil() {
  // Left without done() only by a forced unwind, which leaves the GIL released.
  if (counted_) gate().endDeviceWork();
}

void CallWithoutGil::start() {
  if (at_exit_ == AtExit::kWaitForIt) {
    gate().startDeviceWork();
    counted_ = true;
  }
  state_ = PyEval_SaveThread();
}

void CallWithoutGil::done() {
  if (std::exchange(counted_, false)) gate().endDeviceWork();
  gate().parkIfClosed();
  PyEval_RestoreThread(std::exchange(state_, nullptr));
}

}  // namespace detail

void dropReference(pyb::object& object) {
  if (!object) return;
  const Gil gil;
  if (gil) {
    object = pyb::object();
  } else {
    object.release();
  }
}

void closeGateAtExit() {
  gate().open();
  pyb::module_::import("atexit").attr("register")(pyb::cpp_function([] { gate().close(); }));
}

}  // namespace kestrix::py
