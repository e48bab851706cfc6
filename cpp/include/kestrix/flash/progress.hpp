// The caller's progress callback for an update.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

namespace kestrix::flash {

// Stage texts passed to the callback.
inline constexpr std::string_view kStageWrite = "write";
inline constexpr std::string_view kStageVerify = "verify";

class ProgressCallback {
 public:
  virtual ~ProgressCallback() = default;
  // Whether the registered value asks for reports; tested afresh before every report.
  virtual bool enabled() = 0;
  // One report: stage, bytes done, byte total. Whatever it throws stops the update.
  virtual void report(std::string_view stage, std::uint64_t done, std::uint64_t total) = 0;
};

// A callback made from any C++ callable.
class FunctionProgress final : public ProgressCallback {
 public:
  using Function = std::function<void(std::string_view, std::uint64_t, std::uint64_t)>;
  explicit FunctionProgress(Function f) : f_(std::move(f)) {}
  bool enabled() override { return static_cast<bool>(f_); }
  void report(std::string_view stage, std::uint64_t done, std::uint64_t total) override {
    f_(stage, done, total);
  }

 private:
  Function f_;
};

}  // namespace kestrix::flash
