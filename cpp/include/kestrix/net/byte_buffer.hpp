// A receive buffer: reads from a socket in big chunks and hands the bytes out front to back, so a
// stream of small frames costs one recv() per batch and no allocation once it has warmed up.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <string_view>
#include <vector>

namespace kestrix::net {

class ByteBuffer {
 public:
  static constexpr std::size_t kChunk = 64 * 1024;

  ByteBuffer() : data_(kChunk) {}

  // The received bytes not yet consumed.
  std::string_view view() const { return {data_.data() + begin_, end_ - begin_}; }
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }

  // Drops the first `n` bytes of view() (n <= size()).
  void consume(std::size_t n);
  void clear() { begin_ = end_ = 0; }

  // One recv() of up to kChunk bytes, with `flags`, appended to the buffer; returns what recv()
  // returned (0 at end of stream, -1 with errno set on error).
  ssize_t recvFrom(int fd, int flags = 0);

 private:
  std::vector<char> data_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace kestrix::net
