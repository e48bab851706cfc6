// The device-specific beam pattern manager, as the fast beam base class sees it: something a device
// class creates and the base class caches and hands out.
#pragma once

#include <memory>

namespace kestrix {

class BeamPatternManager {
 public:
  virtual ~BeamPatternManager() = default;
};

// Shared so that a caller may keep the manager it was handed; empty until first use.
using BeamPatternManagerHandle = std::shared_ptr<BeamPatternManager>;

}  // namespace kestrix
