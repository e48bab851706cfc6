// How large an image an update holds in memory, and the error for one that is larger. The image
// reader and the tbin verification both refuse such an image before they read it.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/contracts/errors.hpp"

namespace kestrix::flash {

// The largest image an update holds in memory. FPGA configuration images are tens of MiB, and a
// 16-byte block per exchange makes larger ones take hours anyway.
inline constexpr std::uint64_t kMaxImageBytes = std::uint64_t{256} << 20;

// An image larger than an update holds in memory.
class ImageTooLargeError : public FileError {
 public:
  using FileError::FileError;
};

inline ImageTooLargeError imageTooLarge(std::uint64_t size, std::uint64_t limit,
                                        const std::string& path) {
  return ImageTooLargeError("FPGA image of " + std::to_string(size) + " bytes is larger than the " +
                            std::to_string(limit) + " bytes an update holds: '" + path + "'");
}

}  // namespace kestrix::flash
