// The interpreter's end as threads of the core see it.
//
// While the interpreter finalises, any thread but the finalising one that takes the GIL is ended
// on the spot: pthread_exit(), a forced unwind through whatever C++ frames it is in. A destructor,
// a noexcept frame or a handler that swallows the unwind among them ends the whole process. So:
//  - threads of the core (a fleet's workers, and a Python thread inside a call that released the
//    GIL) take the GIL only through `Gil`, a gate each module closes from an atexit handler, the
//    last moment at which every thread may still take the GIL. Closing waits, with the GIL
//    released, for those inside to leave and (for a while) for device work to end; afterwards
//    the gate stays shut to every thread but the closing one, so a callback is skipped, a log line
//    dropped, and a cancellation check reports the interpreter's end;
//  - a call takes the GIL back in `withoutGil`, outside any destructor or handler, where such an
//    unwind may pass.
#pragma once

#include <pybind11/pybind11.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace kestrix::py {

// Takes the GIL for its scope, unless the interpreter is ending and this thread may no longer
// take it (then it holds nothing and tests false). A thread that holds the GIL already passes.
class Gil {
 public:
  Gil();
  ~Gil();
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

  explicit operator bool() const { return held_; }

 private:
  bool held_ = false;
  std::optional<pybind11::gil_scoped_acquire> gil_;  // taken through the gate
};

// Throws CancelledError when the interpreter ends: the work in hand cannot reach Python again.
[[noreturn]] void throwInterpreterEnding();

// Whether the interpreter's exit waits for the work (device work, which a closed gate cancels and
// which should end with its records written) or lets it run on (a blocking read, a file).
enum class AtExit { kLetRun, kWaitForIt };

namespace detail {

// A call that released the GIL, for the gate to wait for.
class CallWithoutGil {
 public:
  explicit CallWithoutGil(AtExit at_exit);
  ~CallWithoutGil();
  CallWithoutGil(const CallWithoutGil&) = delete;
  CallWithoutGil& operator=(const CallWithoutGil&) = delete;

  // Releases the GIL; done() ends the call and takes it back.
  void start();
  void done();

 private:
  AtExit at_exit_;
  bool counted_ = false;
  PyThreadState* state_ = nullptr;
};

}  // namespace detail

// Runs `work` with the GIL released and takes it back afterwards; whatever `work` throws is
// thrown once the GIL is held again.
template <typename Work>
auto withoutGil(Work&& work, AtExit at_exit = AtExit::kLetRun) -> std::invoke_result_t<Work&> {
  using Result = std::invoke_result_t<Work&>;
  static_assert(!std::is_reference_v<Result>, "withoutGil() returns values");
  detail::CallWithoutGil call(at_exit);
  std::exception_ptr failure;
  std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result{};
  call.start();
  try {
    if constexpr (std::is_void_v<Result>) {
      work();
    } else {
      result.emplace(work());
    }
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended; the GIL is not this thread's to take back
  }
#endif
  catch (...) {
    failure = std::current_exception();
  }
  call.done();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// Drops a Python reference held by an object of the core: with the GIL while the interpreter
// runs, or not at all (the object is left to the ending process) once it ends.
void dropReference(pybind11::object& object);

// Closes the gate from the interpreter's atexit handlers; each module calls it once on import.
void closeGateAtExit();

}  // namespace kestrix::py
