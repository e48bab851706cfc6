// One update through the C++ API on the C++ TCP connection, as a C++ program would run it:
// FpgaTool opens its own connection and programs the image with device type 28.
//   kestrix_cpp_update HOST PORT IMAGE [WINDOW]
// The progress display goes to standard output (send it to /dev/null); prints the seconds the
// update took, the peak RSS in KiB and whether it verified on standard error.
#include "peak_rss.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/net/tcp_connection.hpp"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s HOST PORT IMAGE [WINDOW]\n", argv[0]);
    return 2;
  }
  try {
    kestrix::flash::FpgaTool tool(argv[1], std::atoi(argv[2]),
                                  kestrix::net::tcpConnectionFactory());
    if (argc == 5) tool.set_window(std::atoi(argv[4]));
    const auto start = std::chrono::steady_clock::now();
    const bool ok = tool._fpgaProgramFile(argv[3], 28);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    tool.disconnect();
    std::fprintf(stderr, "%.6f %ld %s\n", seconds, kestrix::bench::peakRssKib(),
                 ok ? "verified" : "NOT-VERIFIED");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
