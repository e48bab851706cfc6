// A tool handed a connection by the layer that picked TCP for it: the connection opened the way a
// job opens its own, so a refusal reads the same from both.
#pragma once

#include <memory>

#include "kestrix/contracts/connection.hpp"

namespace kestrix::jobs {

// A factory for flash::FpgaTool that hands out `conn`. The package's TCP connection is opened
// first, and one that cannot be opened throws ConnectionError saying why, as a job's failure says
// it ("connection refused by HOST:PORT", "name 'HOST' not resolved: ...", "no answer from
// HOST:PORT within 5 s"). Any other connection is handed out as it is, for the tool to open.
ConnectionFactory openedConnection(std::shared_ptr<Connection> conn);

}  // namespace kestrix::jobs
