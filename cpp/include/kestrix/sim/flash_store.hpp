// The simulated device's configuration flash, held sparsely: memory is taken a chunk at a time on
// the first write into the chunk, and a chunk never written (or erased since) reads as erased
// bytes (0xFF) without being held. A simulator of many devices with a large flash so costs what
// was written to them, not their size; erasing gives the memory back.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::sim {

class FlashStore {
 public:
  static constexpr std::size_t kDefaultChunkSize = 64 * 1024;

  // A flash of `size` bytes, all erased. Throws std::invalid_argument for a chunk size of 0.
  explicit FlashStore(std::size_t size, std::size_t chunk_size = kDefaultChunkSize);

  std::size_t size() const { return size_; }

  // Writes `data` at `offset`. Bytes written as erased into a chunk not held leave it not held.
  // Throws std::out_of_range for a range past the end.
  void write(std::size_t offset, std::string_view data);
  // Appends the `length` bytes at `offset` to `out`; throws std::out_of_range past the end.
  void read(std::size_t offset, std::size_t length, std::string& out) const;
  std::string read(std::size_t offset, std::size_t length) const;
  // Calls `visit` with the `length` bytes at `offset` in order, a piece at a time (erased ones
  // included), so a digest or a file sees every byte without the whole flash in one string.
  void visit(std::size_t offset, std::size_t length,
             const std::function<void(std::string_view)>& visit) const;

  // Every byte erased again, every chunk given back.
  void erase();

  // Chunks currently held in memory.
  std::size_t chunksHeld() const;
  std::size_t chunkSize() const { return chunk_size_; }

 private:
  std::size_t chunkLength(std::size_t index) const;
  void checkRange(std::size_t offset, std::size_t length) const;

  std::size_t size_;
  std::size_t chunk_size_;
  std::vector<std::unique_ptr<char[]>> chunks_;  // null: erased, not held
};

}  // namespace kestrix::sim
