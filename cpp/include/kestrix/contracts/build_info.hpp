// What was built: the package's version, as pyproject.toml gives it.
#pragma once

#include <string_view>

namespace kestrix {

std::string_view toolVersion();

}  // namespace kestrix
