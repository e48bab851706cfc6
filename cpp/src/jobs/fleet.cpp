#include "kestrix/jobs/fleet.hpp"

#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrix::jobs {
namespace {

// The progress throttle asks the time once per block: the coarse monotonic clock answers from
// memory, and its resolution (a scheduler tick) is far finer than kProgressInterval.
std::chrono::nanoseconds coarseNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// One device's engine events, passed on with the device's index: progress within a phase at most
// every kProgressInterval, phase changes and a phase's end at once.
class DeviceEvents final : public EngineObserver {
 public:
  DeviceEvents(FleetObserver* fleet, std::size_t device) : fleet_(fleet), device_(device) {}
  void onPhase(Phase phase, std::uint64_t total) override {
    if (fleet_ != nullptr) fleet_->onPhase(device_, phase, total);
  }
  void onProgress(Phase phase, std::uint64_t done, std::uint64_t total) override {
    if (fleet_ == nullptr) return;
    const std::chrono::nanoseconds now = coarseNow();
    if (done < total && now - last_ < kProgressInterval) return;
    last_ = now;
    fleet_->onProgress(device_, phase, done, total);
  }

 private:
  FleetObserver* fleet_;
  std::size_t device_;
  std::chrono::nanoseconds last_{};
};

// The threads that drive the jobs' block transfers: one per core (no more than jobs), each
// serving every device whose replies arrived in the same wake-up, while the jobs' own threads
// wait. Without one (the system gives no thread) each job drives its own.
std::shared_ptr<net::EventLoop> transferLoop(int jobs) {
  const std::size_t cores = std::max(1U, std::thread::hardware_concurrency());
  try {
    return std::make_shared<net::EventLoop>(
        std::min<std::size_t>(cores, static_cast<std::size_t>(std::max(1, jobs))));
  } catch (const std::system_error&) {
    return nullptr;
  }
}

// The devices' serial numbers as their jobs claim them: one device, one job.
class SerialClaims {
 public:
  explicit SerialClaims(const DeviceList& devices) : devices_(devices) {}

  // "" when `serial` is `device`'s to use; otherwise the entry that claimed it first.
  std::string claim(const std::string& serial, std::size_t device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto [at, fresh] = owners_.emplace(serial, device);
    if (fresh || at->second == device) return "";
    return formatDeviceAddress(devices_.addresses()[at->second]) + " (" +
           devices_.origins()[at->second] + ")";
  }

 private:
  const DeviceList& devices_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> owners_;
};

// The fleet while it runs: the pool, the counts that decide whether a device may start, and the
// records.
class FleetRun {
 public:
  FleetRun(const DeviceList& devices, const LoadedImage& image, const FleetOptions& options,
           FleetObserver* observer, CancelToken cancel, FleetResult& result)
      : devices_(devices),
        image_(image),
        options_(options),
        observer_(observer),
        cancel_(std::move(cancel)),
        result_(result),
        claims_(devices),
        user_(currentUserName()),
        host_(currentHostName()),
        loop_(transferLoop(options.jobs)) {
    result_.reports.resize(devices.size());
  }

  // Works on devices [first, last) with up to options.jobs threads; returns when all have ended.
  void runStage(std::size_t first, std::size_t last, const std::function<void()>& wait_check) {
    next_ = first;
    last_ = last;
    const std::size_t threads =
        std::min<std::size_t>(last - first, static_cast<std::size_t>(std::max(1, options_.jobs)));
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
      }
      try {
        pool.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // Fewer threads than asked for still serve every device.
        const std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        if (pool.empty()) throw;
        break;
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_ > 0) {
      all_done_.wait_for(lock, kCancelCheckInterval);
      if (!wait_check || result_.stopped_by) continue;
      lock.unlock();
      try {
        wait_check();
      } catch (...) {
        result_.stopped_by = std::current_exception();
        cancel_.cancel();
      }
      lock.lock();
    }
    lock.unlock();
    for (std::thread& thread : pool) thread.join();
  }

  // Ends devices [first, last) without starting them, saying why.
  void skip(std::size_t first, std::size_t last, const std::string& why) {
    for (std::size_t i = first; i < last; ++i) finish(i, skippedReport(i, why));
  }

  std::size_t failures() const { return failures_.load(); }

  void sync() {
    if (options_.record == nullptr) return;
    try {
      options_.record->sync();
    } catch (...) {
      keepRecordError();
    }
  }

 private:
  void work() {
    for (std::size_t i = next_++; i < last_; i = next_++) {
      if (options_.max_failures && failures_.load() >= *options_.max_failures) {
        finish(i, skippedReport(i, "not started: " + std::to_string(*options_.max_failures) +
                                       " devices had failed, the most the fleet allows"));
        continue;
      }
      DeviceEvents events(observer_, i);
      JobContext context;
      if (observer_ != nullptr) context.started = [this, i] { observer_->onStart(i); };
      if (options_.host_for) context.host = options_.host_for(i);
      context.observer = &events;
      context.cancel = cancel_;
      context.loop = loop_;
      context.claim_serial = [this, i](const std::string& serial) {
        return claims_.claim(serial, i);
      };
      UpdateReport report = runUpdateJob(devices_.addresses()[i], image_, options_.update, context);
      if (!report.ok() && report.failure != Failure::kInterrupted) ++failures_;
      finish(i, std::move(report));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--running_ == 0) all_done_.notify_all();
  }

  UpdateReport skippedReport(std::size_t i, const std::string& why) {
    // Everything a record says of the device and the image, none of the device's answers.
    UpdateReport report;
    if (const JobImage* image = image_.image.get()) describeImage(*image, report);
    report.address = devices_.addresses()[i];
    report.device_type = options_.update.device_type;
    report.mode = options_.update.mode;
    report.failure = Failure::kSkipped;
    report.error = why;
    return report;
  }

  // The device's report, recorded and told; the record comes first, so an observer that ends
  // the process on the last result (a tool's summary) finds every line written.
  void finish(std::size_t i, UpdateReport report) {
    report.run_by_user = user_;
    report.run_by_host = host_;
    report.change_id = options_.change_id;
    if (report.started_at.empty()) report.started_at = report.finished_at = utcTimestampMillis();
    result_.reports[i] = std::move(report);
    if (options_.record != nullptr) {
      try {
        options_.record->append(recordOf(result_.reports[i]));
      } catch (...) {
        keepRecordError();
      }
    }
    if (observer_ != nullptr) observer_->onFinish(i, result_.reports[i]);
  }

  void keepRecordError() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!result_.record_error) result_.record_error = std::current_exception();
  }

  const DeviceList& devices_;
  const LoadedImage& image_;
  const FleetOptions& options_;
  FleetObserver* observer_;
  CancelToken cancel_;
  FleetResult& result_;
  SerialClaims claims_;
  const std::string user_;
  const std::string host_;
  const std::shared_ptr<net::EventLoop> loop_;
  std::atomic<std::size_t> next_{0};
  std::size_t last_ = 0;
  std::atomic<std::size_t> failures_{0};
  std::mutex mutex_;
  std::condition_variable all_done_;
  std::size_t running_ = 0;
};

}  // namespace

void validate(const FleetOptions& options) {
  std::string problems;
  try {
    validate(options.update);
  } catch (const std::invalid_argument& e) {
    problems = e.what();
  }
  const auto problem = [&](const std::string& text) {
    problems += (problems.empty() ? "" : "; ") + text;
  };
  if (options.jobs < 1 || options.jobs > kMaxJobs)
    problem("jobs must be from 1 to " + std::to_string(kMaxJobs) + ", not " +
            std::to_string(options.jobs));
  if (options.max_failures && *options.max_failures == 0)
    problem("max_failures must be at least 1 (none: no limit)");
  if (options.change_id.find_first_of("\r\n") != std::string::npos)
    problem("a change id is one line of text");
  if (!problems.empty()) throw std::invalid_argument(problems);
}

FleetResult runFleet(const DeviceList& devices, const LoadedImage& image,
                     const FleetOptions& options, FleetObserver* observer, CancelToken cancel,
                     const std::function<void()>& wait_check) {
  validate(options);
  // Appending the record to the image would change what the next device is given.
  if (options.record != nullptr && image.image && image.image->image.file_id.known() &&
      options.record->id() == image.image->image.file_id)
    throw std::invalid_argument("the audit record '" + options.record->path() +
                                "' is the image file '" + image.image->path + "'");
  FleetResult result;
  FleetRun run(devices, image, options, observer, cancel, result);
  const std::size_t canary = std::min(options.canary, devices.size());
  if (canary > 0 && canary < devices.size()) {
    run.runStage(0, canary, wait_check);
    if (run.failures() > 0 || result.stopped_by || cancel.cancelled()) {
      const std::string why = result.stopped_by || cancel.cancelled()
                                  ? "not started: the fleet was stopped during its canary devices"
                                  : "not started: " + std::to_string(run.failures()) + " of the " +
                                        std::to_string(canary) + " canary devices failed";
      run.skip(canary, devices.size(), why);
    } else {
      run.runStage(canary, devices.size(), wait_check);
    }
  } else {
    run.runStage(0, devices.size(), wait_check);
  }
  run.sync();
  return result;
}

FleetResult runFleet(const std::vector<DeviceAddress>& devices, const std::string& image_path,
                     const FleetOptions& options, FleetObserver* observer, CancelToken cancel,
                     const std::function<void()>& wait_check) {
  const DeviceList list = checkDeviceList(devices);
  const LoadedImage image = loadJobImage(image_path, options.update);
  return runFleet(list, image, options, observer, std::move(cancel), wait_check);
}

std::string currentUserName() {
  const uid_t uid = ::geteuid();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  return std::to_string(uid);
}

std::string currentHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace kestrix::jobs
