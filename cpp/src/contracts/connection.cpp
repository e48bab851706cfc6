#include "kestrix/contracts/connection.hpp"

#include <algorithm>
#include <string>

namespace kestrix {

void Connection::Pipeline::run(Stream& stream) {
  const std::size_t window = std::max<std::size_t>(1, stream.window());
  std::string line;
  std::size_t in_flight = 0;
  for (;;) {
    while (in_flight < window && stream.next(line)) {
      send(line);
      ++in_flight;
    }
    if (in_flight == 0) return;
    stream.report();
    do {
      if (stream.rawFrames()) {
        stream.take(receiveFrame(stream.maxFrame()));
      } else {
        stream.take(receiveLine());
      }
      --in_flight;
    } while (in_flight > 0 && replyReady());
  }
}

}  // namespace kestrix
