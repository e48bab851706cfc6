#include "kestrix/net/byte_buffer.hpp"

#include <sys/socket.h>

#include <cstring>

namespace kestrix::net {

void ByteBuffer::consume(std::size_t n) {
  begin_ += n;
  // Once everything is handed out the next recv() starts at the front again, so the common case
  // (every frame consumed before the next one arrives) never moves bytes.
  if (begin_ == end_) begin_ = end_ = 0;
}

ssize_t ByteBuffer::recvFrom(int fd, int flags) {
  if (data_.size() - end_ < kChunk) {
    if (begin_ > 0) {
      std::memmove(data_.data(), data_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    // Grows only while a frame larger than the free space is being collected.
    if (data_.size() - end_ < kChunk) data_.resize(end_ + kChunk);
  }
  const ssize_t n = ::recv(fd, data_.data() + end_, data_.size() - end_, flags);
  if (n > 0) end_ += static_cast<std::size_t>(n);
  return n;
}

}  // namespace kestrix::net
