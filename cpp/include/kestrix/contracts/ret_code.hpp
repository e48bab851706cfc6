// Outcome codes of every result record.
#pragma once

#include <string_view>

namespace kestrix {

// Success is OK and only OK; every other member counts as a failure.
enum class RetCode { OK, WARNING, ERROR };

constexpr std::string_view to_string(RetCode code) {
  switch (code) {
    case RetCode::OK:
      return "OK";
    case RetCode::WARNING:
      return "WARNING";
    case RetCode::ERROR:
      return "ERROR";
  }
  return "?";
}

}  // namespace kestrix
