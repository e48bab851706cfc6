#include "kestrix/contracts/build_info.hpp"

namespace kestrix {

std::string_view toolVersion() {
  return KESTRIX_VERSION;
}

}  // namespace kestrix
