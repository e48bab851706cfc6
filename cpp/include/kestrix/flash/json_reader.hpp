// JSON text from untrusted files, read in time and memory linear in its length.
//
// nlohmann's callback parser rescans an object's parent at every object end, and its ordered
// objects look every key up linearly, so a crafted header of many small objects or many keys takes
// time quadratic in its length. This reader builds the same value through the SAX interface: keys
// are appended as they come and duplicates are settled once per object (the last value wins, in
// the place of the first, as Python's json module does), and nesting deeper than a limit stops the
// parse at once.
#pragma once

#include <string>
#include <string_view>

#include "kestrix/contracts/json.hpp"

namespace kestrix::flash {

enum class JsonRead { kOk, kNotJson, kTooDeep };

// Parses one JSON text (the whole of `text`, white space around it allowed) into `out`. kNotJson
// with the parser's message in `error` when the text is not JSON; kTooDeep as soon as arrays and
// objects nest deeper than `max_depth`.
JsonRead readJson(std::string_view text, int max_depth, Json* out, std::string* error);

}  // namespace kestrix::flash
