// The simulator's flash kept in a file between runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::sim {

// The file's bytes, or nothing when it does not exist. Throws FileError when it cannot be read or
// does not hold exactly `size` bytes (checked before reading anything).
std::optional<std::string> readFlashFile(const std::string& path, std::size_t size);

// Replaces the file with `content` in one step, so a run that dies while saving leaves the
// previous flash intact: the bytes go to a temporary file created exclusively under a fresh name
// in the same folder (never through anything already there), are synced, and the file is renamed
// over `path`. The new file's mode is what the umask gives a new file. On any failure the
// temporary file is removed and FileError is thrown.
void writeFlashFile(const std::string& path, std::string_view content);

}  // namespace kestrix::sim
