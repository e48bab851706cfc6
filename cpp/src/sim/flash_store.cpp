#include "kestrix/sim/flash_store.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {
namespace {

constexpr char kErased = kestrix::wire::kErasedByte;

// What erased pieces are handed out from, so that reading them allocates nothing per device.
constexpr std::size_t kErasedPiece = 64 * 1024;
const char* erasedPiece() {
  static const std::string piece(kErasedPiece, kErased);
  return piece.data();
}

bool allErased(std::string_view data) {
  return std::all_of(data.begin(), data.end(), [](char c) { return c == kErased; });
}

}  // namespace

FlashStore::FlashStore(std::size_t size, std::size_t chunk_size)
    : size_(size), chunk_size_(chunk_size) {
  if (chunk_size_ == 0) throw std::invalid_argument("flash chunk size must not be 0");
  chunks_.resize((size_ + chunk_size_ - 1) / chunk_size_);
}

std::size_t FlashStore::chunkLength(std::size_t index) const {
  return std::min(chunk_size_, size_ - index * chunk_size_);
}

void FlashStore::checkRange(std::size_t offset, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) {
    throw std::out_of_range("flash range " + std::to_string(offset) + "+" + std::to_string(length) +
                            " past the end of " + std::to_string(size_) + " bytes");
  }
}

void FlashStore::write(std::size_t offset, std::string_view data) {
  checkRange(offset, data.size());
  while (!data.empty()) {
    const std::size_t index = offset / chunk_size_;
    const std::size_t within = offset - index * chunk_size_;
    const std::size_t length = chunkLength(index);
    const std::string_view piece = data.substr(0, length - within);
    std::unique_ptr<char[]>& chunk = chunks_[index];
    if (!chunk && !allErased(piece)) {
      chunk = std::make_unique<char[]>(length);
      std::memset(chunk.get(), kErased, length);
    }
    if (chunk) std::memcpy(chunk.get() + within, piece.data(), piece.size());
    offset += piece.size();
    data.remove_prefix(piece.size());
  }
}

void FlashStore::read(std::size_t offset, std::size_t length, std::string& out) const {
  checkRange(offset, length);
  if (length == 0) return;
  const std::size_t index = offset / chunk_size_;
  const std::size_t within = offset - index * chunk_size_;
  // A page read back lies inside one chunk: the common case, without a call per piece.
  if (length <= chunkLength(index) - within) {
    if (const char* chunk = chunks_[index].get()) {
      out.append(chunk + within, length);
    } else {
      out.append(length, kErased);
    }
    return;
  }
  visit(offset, length, [&out](std::string_view piece) { out.append(piece); });
}

std::string FlashStore::read(std::size_t offset, std::size_t length) const {
  std::string out;
  read(offset, length, out);
  return out;
}

void FlashStore::visit(std::size_t offset, std::size_t length,
                       const std::function<void(std::string_view)>& visit) const {
  checkRange(offset, length);
  while (length > 0) {
    const std::size_t index = offset / chunk_size_;
    const std::size_t within = offset - index * chunk_size_;
    std::size_t take = std::min(length, chunkLength(index) - within);
    const char* chunk = chunks_[index].get();
    if (chunk) {
      visit(std::string_view(chunk + within, take));
    } else {
      take = std::min(take, kErasedPiece);
      visit(std::string_view(erasedPiece(), take));
    }
    offset += take;
    length -= take;
  }
}

void FlashStore::erase() {
  for (auto& chunk : chunks_) chunk.reset();
}

std::size_t FlashStore::chunksHeld() const {
  return static_cast<std::size_t>(
      std::count_if(chunks_.begin(), chunks_.end(), [](const auto& c) { return c != nullptr; }));
}

}  // namespace kestrix::sim
