// The floor of an update: exactly the request and reply bytes of an update of an image of N bytes
// with device type 28 (erase, page-pointer reset, one program command per 16 bytes, reset, one read
// command per 16 bytes, done, refresh), one command outstanding at a time, and nothing else: no
// hashing, no progress, no logging, no framing logic beyond reading the known reply sizes.
//   kestrix_floor_client HOST PORT IMAGE_BYTES
// Prints the seconds the exchanges took and the peak RSS in KiB on standard error.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peak_rss.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fd = -1;
char buffer[1 << 16];
std::size_t have = 0;

void die(const char* what) {
  std::perror(what);
  std::exit(2);
}

void sendAll(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) die("send");
    off += static_cast<std::size_t>(n);
  }
}

// Reads one reply line (text replies end in LF).
void readLine() {
  for (;;) {
    if (void* lf = std::memchr(buffer, '\n', have)) {
      const std::size_t used = static_cast<std::size_t>(static_cast<char*>(lf) - buffer) + 1;
      std::memmove(buffer, buffer + used, have - used);
      have -= used;
      return;
    }
    const ssize_t n = ::recv(fd, buffer + have, sizeof buffer - have, 0);
    if (n <= 0) die("recv");
    have += static_cast<std::size_t>(n);
  }
}

// Reads one fixed-size reply frame (a page: "#216", 16 bytes, CR LF).
void readExactly(std::size_t size) {
  while (have < size) {
    const ssize_t n = ::recv(fd, buffer + have, sizeof buffer - have, 0);
    if (n <= 0) die("recv");
    have += static_cast<std::size_t>(n);
  }
  std::memmove(buffer, buffer + size, have - size);
  have -= size;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s HOST PORT IMAGE_BYTES\n", argv[0]);
    return 2;
  }
  const std::size_t image_bytes = std::strtoull(argv[3], nullptr, 10);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(argv[1], argv[2], &hints, &res) != 0) die("getaddrinfo");
  fd = ::socket(res->ai_family, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) die("connect");
  freeaddrinfo(res);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  const std::string block(16, '\x5a');
  const std::string program = "FPGA_PROGRAM #216" + block + "\r\n";
  const std::size_t pages = (image_bytes + 15) / 16;

  const auto start = std::chrono::steady_clock::now();
  sendAll("FPGA_ERASE 14\r\n");
  readLine();
  sendAll("FPGA_RST_PAGE_PTR CFG\r\n");
  readLine();
  for (std::size_t i = 0; i < pages; ++i) {
    sendAll(program);
    readLine();
  }
  sendAll("FPGA_RST_PAGE_PTR CFG\r\n");
  readLine();
  for (std::size_t i = 0; i < pages; ++i) {
    sendAll("FPGA_READ\r\n");
    readExactly(4 + 16 + 2);
  }
  sendAll("FPGA_DONE\r\n");
  readLine();
  sendAll("FPGA_REFRESH\r\n");
  readLine();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  std::fprintf(stderr, "%.6f %ld\n", seconds, kestrix::bench::peakRssKib());
  return 0;
}
