// Many devices updated at once: one job per device (kestrix/jobs/update_job.hpp), each with its
// own connection, tool, host and progress, on a bounded pool of threads. The jobs' block
// transfers run on one event loop of a thread per core (kestrix/net/event_loop.hpp), so the
// host's CPU goes to the exchanges, not to switching hundreds of threads in and out; a job's own
// thread waits, reporting its progress and checking for cancellation. A device that refuses,
// stalls, drops its link or fails its verification never affects the others.
//
// What an operator who walks away relies on: the list is checked whole first (device_list.hpp)
// and each device is worked on once, also when two entries reach it under different addresses
// (the second finds its serial number claimed); the image is read and checked once, so every
// device gets the same bytes; every device ends with a record line, the ones never started too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/host.hpp"
#include "kestrix/jobs/device_list.hpp"
#include "kestrix/jobs/record.hpp"
#include "kestrix/jobs/update_job.hpp"

namespace kestrix::jobs {

// What a fleet reports as it goes; called on the devices' threads, one call at a time per device
// (calls for different devices may come at once).
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  // A device's job starts (it is connecting). Like the two below, it is called inside the job:
  // what it throws ends that device's job as a failure.
  virtual void onStart(std::size_t device) = 0;
  // A phase begins, and progress within it (see EngineObserver), at most every kProgressInterval
  // within a phase; a phase's end always comes.
  virtual void onPhase(std::size_t device, Phase phase, std::uint64_t total) = 0;
  virtual void onProgress(std::size_t device, Phase phase, std::uint64_t done,
                          std::uint64_t total) = 0;
  // The device's job ended with `report`. Called on a worker thread outside the job: it must not
  // throw.
  virtual void onFinish(std::size_t device, const UpdateReport& report) = 0;
};

struct FleetOptions {
  UpdateOptions update;
  int jobs = kDefaultJobs;  // devices worked on at once (1 to kMaxJobs)
  // Staged rollouts: the first `canary` devices are worked on alone, and the others start only
  // when every one of them succeeded; once `max_failures` devices failed (at least 1), no new
  // device starts (those running finish). Devices not started end as Failure::kSkipped.
  std::size_t canary = 0;
  std::optional<std::size_t> max_failures;
  // The change the run belongs to (a ticket, say), written into every record.
  std::string change_id;
  // The host of each device's job (logs, clocks, sleeps); the process host when empty.
  std::function<std::shared_ptr<Host>(std::size_t device)> host_for;
  // Where each device's record is appended as its job ends (synced when the fleet ends); none
  // when null.
  RecordFile* record = nullptr;
};

struct FleetResult {
  std::vector<UpdateReport> reports;  // one per device, in input order
  // What stopped the fleet, when `wait_check` threw: every job was cancelled and has ended, and
  // its report says where it stood.
  std::exception_ptr stopped_by;
  // The first failure to write a record (the fleet went on; later records were still tried).
  std::exception_ptr record_error;
};

// Throws std::invalid_argument naming every option out of its range (validate(UpdateOptions),
// jobs outside 1 to kMaxJobs, a change id of more than one line).
void validate(const FleetOptions& options);

// Runs the fleet with the image loaded once (loadJobImage: when it cannot be used, every device
// ends with its fault, none reached) and returns when every job has ended. The calling thread
// waits; every kCancelCheckInterval it runs `wait_check` (when given): whatever that throws
// cancels every job (as `cancel` does) and ends up in FleetResult::stopped_by. The observer may be
// null. Throws std::invalid_argument, before any device is touched, for options out of their
// range (validate()) and when the record file is the image file.
FleetResult runFleet(const DeviceList& devices, const LoadedImage& image,
                     const FleetOptions& options, FleetObserver* observer, CancelToken cancel,
                     const std::function<void()>& wait_check = {});
// The same for addresses that checkDeviceList checks first (DeviceListError) and the image at
// `image_path`.
FleetResult runFleet(const std::vector<DeviceAddress>& devices, const std::string& image_path,
                     const FleetOptions& options, FleetObserver* observer, CancelToken cancel,
                     const std::function<void()>& wait_check = {});

// Who runs this process, for records: the user name (or the numeric id) and the host name.
std::string currentUserName();
std::string currentHostName();

}  // namespace kestrix::jobs
