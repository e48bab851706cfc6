// The HMAC key of tbin image digests. The module's key text is a constant that never leaves this
// module's object code: nothing logs, prints, writes or sends it.
#pragma once

#include <string>
#include <string_view>

namespace kestrix::flash {

// The key bytes for the digests of an image made for `device_type_text` ("032", "028032", ...):
// the module's 8-digit key text followed by the device type text, as UTF-8.
std::string makeImageKey(std::string_view device_type_text);

}  // namespace kestrix::flash
