// The JSON value used for result payloads: keys keep their insertion order, so a result map reads
// back in the order the operation built it.
#pragma once

#include <nlohmann/json.hpp>

namespace kestrix {

using Json = nlohmann::ordered_json;

}  // namespace kestrix
