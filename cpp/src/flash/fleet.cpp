#include "kestrix/flash/fleet.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrix::flash {
namespace {

// One device's engine events, passed on with the device's index.
class DeviceEvents final : public EngineObserver {
 public:
  DeviceEvents(FleetObserver* fleet, std::size_t device) : fleet_(fleet), device_(device) {}
  void onPhase(Phase phase, std::uint64_t total) override {
    if (fleet_ != nullptr) fleet_->onPhase(device_, phase, total);
  }
  void onProgress(Phase phase, std::uint64_t done, std::uint64_t total) override {
    if (fleet_ != nullptr) fleet_->onProgress(device_, phase, done, total);
  }

 private:
  FleetObserver* fleet_;
  std::size_t device_;
};

}  // namespace

FleetResult runFleet(const std::vector<DeviceAddress>& devices, const std::string& image_path,
                     const FleetOptions& options, FleetObserver* observer, CancelToken cancel,
                     const std::function<void()>& wait_check) {
  FleetResult result;
  result.reports.resize(devices.size());
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable all_done;
  std::size_t running = 0;

  const auto work = [&] {
    for (std::size_t i = next++; i < devices.size(); i = next++) {
      DeviceEvents events(observer, i);
      JobContext context;
      if (observer != nullptr) context.started = [observer, i] { observer->onStart(i); };
      if (options.host_for) context.host = options.host_for(i);
      context.observer = &events;
      context.cancel = cancel;
      result.reports[i] = runUpdateJob(devices[i], image_path, options.update, context);
      if (options.record != nullptr) {
        try {
          options.record->append(recordOf(result.reports[i]));
        } catch (...) {
          const std::lock_guard<std::mutex> lock(mutex);
          if (!result.record_error) result.record_error = std::current_exception();
        }
      }
      if (observer != nullptr) observer->onFinish(i, result.reports[i]);
    }
    const std::lock_guard<std::mutex> lock(mutex);
    if (--running == 0) all_done.notify_all();
  };

  const std::size_t threads =
      std::min<std::size_t>(devices.size(), static_cast<std::size_t>(std::max(1, options.jobs)));
  std::vector<std::thread> pool;
  pool.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads than asked for still serve every device.
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
      if (pool.empty()) throw;
      break;
    }
  }

  std::unique_lock<std::mutex> lock(mutex);
  while (running > 0) {
    all_done.wait_for(lock, kCancelCheckInterval);
    if (!wait_check || result.stopped_by) continue;
    lock.unlock();
    try {
      wait_check();
    } catch (...) {
      result.stopped_by = std::current_exception();
      cancel.cancel();
    }
    lock.lock();
  }
  lock.unlock();
  for (std::thread& thread : pool) thread.join();
  if (options.record != nullptr) {
    try {
      options.record->sync();
    } catch (...) {
      if (!result.record_error) result.record_error = std::current_exception();
    }
  }
  return result;
}

}  // namespace kestrix::flash
