// The simulated flash held sparsely: what was written reads back, everything else reads erased,
// across chunk boundaries; memory is taken per chunk written and given back by an erase, so many
// devices with a large flash cost what was written to them.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/crypto/sha256.hpp"
#include "kestrix/sim/command_parser.hpp"
#include "kestrix/sim/device.hpp"
#include "kestrix/sim/flash_store.hpp"
#include "kestrix/wire/protocol.hpp"

namespace {

namespace wire = kestrix::wire;
using kestrix::sim::Device;
using kestrix::sim::DeviceOptions;
using kestrix::sim::FlashStore;

const char kFF = '\xff';

// Bytes that differ from their neighbours and from the erased byte.
std::string pattern(std::size_t n, char first = 'a') {
  std::string data;
  for (std::size_t i = 0; i < n; ++i) data += static_cast<char>(first + i % 23);
  return data;
}

std::string ask(Device& device, const std::string& line) {
  const kestrix::sim::ParseResult r = kestrix::sim::parseCommand(line);
  EXPECT_EQ(r.status, kestrix::sim::ParseStatus::kCommand) << line;
  std::string reply;
  device.handle(r.command, reply);
  return reply;
}

std::string programLine(std::string_view data) {
  return wire::terminate(wire::programLine(data));
}

std::string sha256(std::string_view bytes) {
  kestrix::crypto::Sha256 h;
  h.update(bytes);
  return h.hexdigest();
}

// --- the store ---------------------------------------------------------------------------------

TEST(FlashStore, StartsErasedAndHoldsNothing) {
  const FlashStore flash(1000, 64);
  EXPECT_EQ(flash.size(), 1000u);
  EXPECT_EQ(flash.chunksHeld(), 0u);
  EXPECT_EQ(flash.read(0, 1000), std::string(1000, kFF));
}

TEST(FlashStore, AWriteAcrossChunkBoundariesReadsBackWithErasedBytesAround) {
  FlashStore flash(1000, 64);  // 15 whole chunks and one of 40 bytes
  const std::string data = pattern(150);
  flash.write(60, data);  // bytes 60 to 209: the ends of chunks 0 and 3, chunks 1 and 2 whole
  EXPECT_EQ(flash.chunksHeld(), 4u);
  EXPECT_EQ(flash.read(0, 1000), std::string(60, kFF) + data + std::string(790, kFF));
  // Reads that start and end inside chunks, and cross them.
  EXPECT_EQ(flash.read(50, 20), std::string(10, kFF) + data.substr(0, 10));
  EXPECT_EQ(flash.read(127, 3), data.substr(67, 3));
  EXPECT_EQ(flash.read(200, 100), data.substr(140) + std::string(90, kFF));
  // The short last chunk.
  flash.write(990, pattern(10, 'A'));
  EXPECT_EQ(flash.read(960, 40), std::string(30, kFF) + pattern(10, 'A'));
  EXPECT_EQ(flash.chunksHeld(), 5u);
}

TEST(FlashStore, ReadAppendsToWhatTheCallerHas) {
  FlashStore flash(128, 64);
  flash.write(64, "xyz");
  std::string out = "#";
  flash.read(62, 4, out);
  EXPECT_EQ(out, "#\xff\xffxy");
}

TEST(FlashStore, EraseGivesEveryChunkBackAndReadsErased) {
  FlashStore flash(1 << 20, 4096);
  for (std::size_t offset = 0; offset < flash.size(); offset += 4096) flash.write(offset, "z");
  EXPECT_EQ(flash.chunksHeld(), 256u);
  flash.erase();
  EXPECT_EQ(flash.chunksHeld(), 0u);
  EXPECT_EQ(flash.read(0, flash.size()), std::string(flash.size(), kFF));
  // Writing again after an erase starts from erased bytes, not from what was there.
  flash.write(4096 * 3 + 1, "q");
  EXPECT_EQ(flash.read(4096 * 3, 3), "\xffq\xff");
}

TEST(FlashStore, WritingErasedBytesWhereNothingIsHeldTakesNoMemory) {
  FlashStore flash(256, 64);
  flash.write(0, std::string(256, kFF));
  EXPECT_EQ(flash.chunksHeld(), 0u);
  // Into a chunk that is held they are written like any other bytes.
  flash.write(64, pattern(64));
  flash.write(70, std::string(4, kFF));
  EXPECT_EQ(flash.chunksHeld(), 1u);
  EXPECT_EQ(flash.read(64, 64), pattern(6) + std::string(4, kFF) + pattern(64).substr(10));
}

TEST(FlashStore, VisitHandsOutEveryByteInOrder) {
  FlashStore flash(300000);  // default chunks: four whole ones, a short fifth
  flash.write(65530, pattern(20));
  flash.write(299990, pattern(10, 'K'));
  std::string seen;
  std::size_t pieces = 0;
  flash.visit(0, flash.size(), [&](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    seen.append(piece);
    ++pieces;
  });
  EXPECT_GT(pieces, 1u);
  EXPECT_EQ(seen, std::string(65530, kFF) + pattern(20) + std::string(299990 - 65550, kFF) +
                      pattern(10, 'K'));
}

TEST(FlashStore, RangesPastTheEndAreRefused) {
  FlashStore flash(64, 16);
  EXPECT_THROW(flash.write(60, "12345"), std::out_of_range);
  EXPECT_THROW(flash.read(65, 0), std::out_of_range);
  EXPECT_THROW(flash.read(0, 65), std::out_of_range);
  EXPECT_EQ(flash.read(64, 0), "");
  EXPECT_EQ(flash.chunksHeld(), 0u);
  EXPECT_THROW(FlashStore(64, 0), std::invalid_argument);
}

// --- the device --------------------------------------------------------------------------------

TEST(DeviceFlashMemory, AnUpdateHoldsOnlyTheChunksItWroteAndAnEraseFreesThem) {
  Device d{DeviceOptions{}};  // the default flash of 16 MiB
  ASSERT_EQ(d.flash().size(), kestrix::sim::kDefaultFlashSize);
  EXPECT_EQ(d.flash().chunksHeld(), 0u);
  ASSERT_EQ(ask(d, "FPGA_ERASE 14\r\n"), "OK\r\n");
  ask(d, "FPGA_RST_PAGE_PTR CFG\r\n");
  const std::size_t image = 1 << 20;
  std::string written;
  for (std::size_t offset = 0; offset < image; offset += wire::kPageSize) {
    const std::string block = pattern(wire::kPageSize, static_cast<char>('a' + offset % 7));
    ASSERT_EQ(ask(d, programLine(block)), "0\r\n");
    written += block;
  }
  EXPECT_EQ(d.flash().chunksHeld(), image / d.flash().chunkSize());

  // Read back through the device across a chunk boundary, then the erased page after the image.
  const std::size_t boundary_page = d.flash().chunkSize() / wire::kPageSize;
  ask(d, "FPGA_RST_PAGE_PTR CFG\r\n");
  for (std::size_t page = 0; page < boundary_page - 1; ++page) ask(d, "FPGA_READ\r\n");
  for (std::size_t page = boundary_page - 1; page <= boundary_page; ++page) {
    EXPECT_EQ(ask(d, "FPGA_READ\r\n"),
              wire::blockFrame(written.substr(page * wire::kPageSize, wire::kPageSize)));
  }
  const std::string tail = d.flash().read(image - 16, 32);
  EXPECT_EQ(tail, written.substr(image - 16) + std::string(16, kFF));

  // The debug queries see the whole flash, erased part included.
  const std::string whole = written + std::string(d.flash().size() - image, kFF);
  EXPECT_EQ(ask(d, "SIM_FLASH_SHA256?\r\n"), sha256(whole) + "\r\n");
  EXPECT_EQ(ask(d, "SIM_FLASH_SHA256? 100000\r\n"), sha256(whole.substr(0, 100000)) + "\r\n");
  const auto hexAt = [&](std::size_t at, std::size_t n) {
    const std::string asked = "SIM_FLASH_HEX? " + std::to_string(at) + "," + std::to_string(n);
    EXPECT_EQ(ask(d, asked + "\r\n"),
              kestrix::crypto::toHex(reinterpret_cast<const unsigned char*>(whole.data()) + at, n) +
                  "\r\n")
        << asked;
  };
  hexAt(d.flash().chunkSize() - 3, 6);  // across a chunk boundary
  hexAt(image - 1, 2);                  // the last byte written and the first erased one

  ASSERT_EQ(ask(d, "FPGA_ERASE 14\r\n"), "OK\r\n");
  EXPECT_EQ(d.flash().chunksHeld(), 0u);
  EXPECT_EQ(d.flash().read(0, 64), std::string(64, kFF));
}

TEST(DeviceFlashMemory, ManyDevicesWithTheDefaultFlashHoldOneChunkPerPageWritten) {
  std::vector<std::unique_ptr<Device>> devices;
  for (int i = 0; i < 256; ++i) {
    devices.push_back(std::make_unique<Device>(DeviceOptions{}));
    ASSERT_EQ(ask(*devices.back(), programLine(pattern(16))), "0\r\n");
  }
  std::size_t held = 0;
  for (const auto& d : devices) held += d->flash().chunksHeld();
  // 256 devices of 16 MiB: one chunk each, not 4 GiB.
  EXPECT_EQ(held, devices.size());
}

}  // namespace
