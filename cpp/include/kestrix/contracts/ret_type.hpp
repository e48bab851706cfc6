// The result record of every public operation and of every connection request.
#pragma once

#include <string>
#include <utility>

#include "kestrix/contracts/json.hpp"
#include "kestrix/contracts/ret_code.hpp"

namespace kestrix {

struct RetType {
  RetCode code = RetCode::OK;
  std::string message;
  // The payload; null when the record carries none.
  Json data;

  RetType() = default;
  explicit RetType(Json payload) : data(std::move(payload)) {}
  RetType(RetCode c, std::string msg, Json payload = nullptr)
      : code(c), message(std::move(msg)), data(std::move(payload)) {}

  bool ok() const { return code == RetCode::OK; }
};

}  // namespace kestrix
