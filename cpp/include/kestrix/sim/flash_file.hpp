// The simulator's flash kept in a file between runs.
#pragma once

#include <string>

#include "kestrix/sim/flash_store.hpp"

namespace kestrix::sim {

// Fills `flash` with the file's bytes and returns true, or returns false without touching it when
// the file does not exist. Throws FileError when it cannot be read or does not hold exactly
// flash.size() bytes (checked before reading anything); `flash` may then hold part of the file.
// The file is read a piece at a time: erased stretches of it take no memory in `flash`.
bool readFlashFile(const std::string& path, FlashStore& flash);

// Replaces the file with the content of `flash` in one step, so a run that dies while saving
// leaves the previous flash intact: the bytes go to a temporary file created exclusively under a
// fresh name in the same folder (never through anything already there), are synced, and the file
// is renamed over `path`. The new file's mode is what the umask gives a new file. On any failure
// the temporary file is removed and FileError is thrown.
void writeFlashFile(const std::string& path, const FlashStore& flash);

}  // namespace kestrix::sim
