// Argument conversions of the KRXFlash face. Each names the argument in the TypeError it raises.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace kestrix::py {

// An int (bool included) as is; another real number truncated toward zero. ValueError for a
// value beyond 64 bits.
std::int64_t numberToInt(const pybind11::handle& value, const char* name);
// Only an int (bool included); ValueError for a value beyond 64 bits.
std::int64_t strictInt(const pybind11::handle& value, const char* name);
// A text path (or an os.PathLike that gives text), as the bytes os.fsencode makes of it.
std::string pathText(const pybind11::handle& value, const char* name);
// A command argument: bytes unchanged, anything else its str() encoded as UTF-8 (strictly).
std::string commandArgument(const pybind11::handle& value);
// A command: text encoded as UTF-8, bytes unchanged.
std::string commandBytes(const pybind11::handle& value, const char* name);
// Bytes-like data (bytes, bytearray, memoryview ...).
std::string bytesLike(const pybind11::handle& value, const char* name);

}  // namespace kestrix::py
