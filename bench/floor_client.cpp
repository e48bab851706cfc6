// The floor of an update: exactly the request and reply bytes of an update of an image of N bytes
// with device type 28 (erase, page-pointer reset, one program command per 16 bytes, reset, one read
// command per 16 bytes, done, refresh), and nothing else: no hashing, no progress, no logging, no
// framing logic beyond counting the known replies.
//   kestrix_floor_client HOST PORT IMAGE_BYTES [WINDOW]
// WINDOW (default 1: one command outstanding at a time) keeps up to that many program or read
// commands in flight, as a bare C client would: the first WINDOW go out in one write, and every
// read() that completes k replies is answered by one write of the next k commands.
// Prints the seconds the exchanges took and the peak RSS in KiB on standard error.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peak_rss.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fd = -1;
char buffer[1 << 16];
std::size_t have = 0;

// A page read back: "#216", 16 bytes, CR LF.
constexpr std::size_t kReadReply = 4 + 16 + 2;

void die(const char* what) {
  std::perror(what);
  std::exit(2);
}

void sendAll(const char* bytes, std::size_t size) {
  std::size_t off = 0;
  while (off < size) {
    const ssize_t n = ::send(fd, bytes + off, size - off, MSG_NOSIGNAL);
    if (n <= 0) die("send");
    off += static_cast<std::size_t>(n);
  }
}

void sendAll(const std::string& bytes) {
  sendAll(bytes.data(), bytes.size());
}

void receiveMore() {
  if (have == sizeof buffer) {
    std::fprintf(stderr, "reply buffer full\n");
    std::exit(2);
  }
  const ssize_t n = ::recv(fd, buffer + have, sizeof buffer - have, 0);
  if (n <= 0) die("recv");
  have += static_cast<std::size_t>(n);
}

void drop(std::size_t used) {
  std::memmove(buffer, buffer + used, have - used);
  have -= used;
}

// Reads one reply line (text replies end in LF).
void readLine() {
  for (;;) {
    if (void* lf = std::memchr(buffer, '\n', have)) {
      drop(static_cast<std::size_t>(static_cast<char*>(lf) - buffer) + 1);
      return;
    }
    receiveMore();
  }
}

// Takes the complete replies at the front of the buffer: lines, or frames of `frame` bytes.
std::size_t takeReplies(std::size_t frame) {
  std::size_t count = 0;
  std::size_t used = 0;
  if (frame == 0) {
    while (const void* lf = std::memchr(buffer + used, '\n', have - used)) {
      used = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer) + 1;
      ++count;
    }
  } else {
    count = have / frame;
    used = count * frame;
  }
  drop(used);
  return count;
}

// `total` exchanges of `command`, whose replies are lines (frame 0) or `frame` bytes each, with
// up to `window` commands in flight; each write carries as many commands as replies came back.
void exchange(const std::string& command, std::size_t total, std::size_t frame,
              std::size_t window) {
  std::string batch;
  for (std::size_t i = 0; i < window; ++i) batch += command;
  std::size_t sent = std::min(window, total);
  sendAll(batch.data(), sent * command.size());
  std::size_t answered = 0;
  while (answered < total) {
    receiveMore();
    const std::size_t got = takeReplies(frame);
    answered += got;
    const std::size_t more = std::min(got, total - sent);
    if (more > 0) sendAll(batch.data(), more * command.size());
    sent += more;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s HOST PORT IMAGE_BYTES [WINDOW]\n", argv[0]);
    return 2;
  }
  const std::size_t image_bytes = std::strtoull(argv[3], nullptr, 10);
  const std::size_t window = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 1;
  if (window < 1 || window > 1024) {
    std::fprintf(stderr, "WINDOW must be from 1 to 1024\n");
    return 2;
  }
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
  exchange(program, pages, 0, window);
  sendAll("FPGA_RST_PAGE_PTR CFG\r\n");
  readLine();
  exchange("FPGA_READ\r\n", pages, kReadReply, window);
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
