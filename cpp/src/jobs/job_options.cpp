#include "kestrix/jobs/job_options.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "kestrix/contracts/text.hpp"

namespace kestrix::jobs {

std::string_view jobModeName(JobMode mode) {
  switch (mode) {
    case JobMode::kVerify:
      return "verify";
    case JobMode::kUpdateUnlessIdentical:
      return "update-unless-identical";
    case JobMode::kIdentify:
      return "identify";
    case JobMode::kUpdate:
      break;
  }
  return "update";
}

JobMode parseJobMode(std::string_view name) {
  std::string names;
  for (const JobMode mode : kJobModes) {
    if (jobModeName(mode) == name) return mode;
    names += (names.empty() ? "'" : ", '") + std::string(jobModeName(mode)) + "'";
  }
  throw std::invalid_argument("mode must be one of " + names + ", not '" + printableText(name) +
                              "'");
}

double connectTimeout(const UpdateOptions& options) {
  return options.connect_timeout.value_or(std::min(options.timeout, kMaxConnectTimeout));
}

void validate(const UpdateOptions& options) {
  std::string problems;
  const auto problem = [&](const std::string& text) {
    problems += (problems.empty() ? "" : "; ") + text;
  };
  if (options.window < 1 || options.window > flash::kMaxWindow)
    problem("window must be from 1 to " + std::to_string(flash::kMaxWindow) + ", not " +
            std::to_string(options.window));
  // NaN fails the comparison too.
  if (!(options.timeout > 0)) problem("the reply time-out must be positive seconds");
  if (options.connect_timeout && !(*options.connect_timeout > 0))
    problem("the connect time-out must be positive seconds");
  if (!problems.empty()) throw std::invalid_argument(problems);
}

std::string_view outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUpdated:
      return "updated";
    case Outcome::kUnchanged:
      return "unchanged";
    case Outcome::kReloaded:
      return "reloaded";
    case Outcome::kVerified:
      return "verified";
    case Outcome::kIdentified:
      return "identified";
    case Outcome::kSkipped:
      return "skipped";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

std::optional<Outcome> parseOutcome(std::string_view name) {
  for (const Outcome outcome : kOutcomes)
    if (outcomeName(outcome) == name) return outcome;
  return std::nullopt;
}

bool succeeded(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUpdated:
    case Outcome::kUnchanged:
    case Outcome::kReloaded:
    case Outcome::kVerified:
    case Outcome::kIdentified:
      return true;
    case Outcome::kSkipped:
    case Outcome::kFailed:
    case Outcome::kInterrupted:
      break;
  }
  return false;
}

}  // namespace kestrix::jobs
