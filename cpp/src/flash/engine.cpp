#include "kestrix/flash/engine.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "engine_session.hpp"
#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

std::string_view phaseName(Phase phase) {
  switch (phase) {
    case Phase::kErase:
      return "erase";
    case Phase::kWrite:
      return "write";
    case Phase::kVerify:
      return "verify";
    case Phase::kReload:
      break;
  }
  return "reload";
}

namespace {

// The erase and the page pointer reset that start a write, and the caller's report that it starts.
void startWrite(FpgaCommands& commands, detail::Session& session, const DeviceProfile& profile) {
  session.phases().begin(Phase::kErase, 0);
  if (profile.erase_bits) commands.erase(*profile.erase_bits);
  commands.resetPagePointer(wire::kSectionCfg);
  session.report(kStageWrite, 0, 0);
}

// Writes the image, with the transfer window where the connection and the device allow it.
void writeImage(FpgaCommands& commands, detail::Session& session, const DeviceProfile& profile) {
  startWrite(commands, session, profile);
  // A window needs a connection that keeps several commands in flight, and a device whose flash
  // can be erased to start again after a refused block.
  std::unique_ptr<CommandChannel::Window> window;
  if (session.window() > 1 && profile.erase_bits) window = commands.channel().openWindow();
  if (!window) return session.write();
  const bool written = session.writeWindowed(*window);
  window.reset();
  if (written) return;
  commands.channel().host().log(
      LogLevel::WARNING, "FPGA block at byte offset " + std::to_string(session.refusedAt()) +
                             " refused inside the transfer window; erasing and writing the image "
                             "again one block at a time");
  startWrite(commands, session, profile);
  session.write();
}

// The hex SHA-256 digest of `image`'s bytes, made once.
std::string digestOf(const Image& image) {
  return image.sha256.empty() ? sha256Hex(image.bytes) : image.sha256;
}

// The FPGA version of device type 28: "fpga_ver" of the first device in the information reply.
Json versionFromInfo(const std::string& reply) {
  Json info;
  try {
    info = Json::parse(reply);
  } catch (const Json::parse_error& e) {
    throw ProtocolError(std::string("GET_FE_INFO reply is not JSON: ") + e.what());
  }
  if (!info.is_object()) throw ProtocolError("GET_FE_INFO reply is not a JSON object");
  if (info.empty()) return "";
  const Json& first = info.begin().value();
  if (!first.is_object())
    throw ProtocolError("GET_FE_INFO reply: the first device entry is not a JSON object");
  const auto ver = first.find("fpga_ver");
  return ver == first.end() ? Json("") : *ver;
}

}  // namespace

Engine::Engine(FpgaCommands& commands, EngineSettings settings)
    : commands_(commands), settings_(std::move(settings)) {}

bool Engine::program(const Image& image, const std::string& image_path, std::int64_t device_type,
                     EngineRun* run) {
  Host& host = commands_.channel().host();
  if (image.bytes.empty()) {
    host.log(LogLevel::ERROR, "FPGA image holds no data: " + image_path);
    return false;
  }
  EngineRun unobserved;
  const CancellationScope watch([this] { commands_.channel().checkCancelled(); });
  detail::Session session(commands_, settings_, image.bytes, run != nullptr ? run : &unobserved);
  try {
    const double start = host.monotonicClock();
    // Every block was acknowledged as the image's own: what was written is the image.
    const std::string w_digest = digestOf(image);
    writeImage(commands_, session, deviceProfile(device_type));
    host.log(LogLevel::DEBUG, "w hash: " + w_digest);
    host.log(LogLevel::INFO, "Verify Data");
    session.report(kStageVerify, 0, image.bytes.size());
    const bool verified = session.readBack(false) == w_digest;
    host.log(verified ? LogLevel::INFO : LogLevel::ERROR,
             verified ? "Verify Success" : "Verify Failed");

    // Sent whatever the verification found, so the device reloads from what is in the flash now,
    // unless the run keeps a flash that did not verify from being loaded.
    session.phases().begin(Phase::kReload, 0);
    if (verified || session.run().reload_unverified) {
      reload(device_type);
    } else {
      commands_.endProgramming();
    }
    session.phases().end();

    char total[64];
    std::snprintf(total, sizeof total, "%.4f", host.monotonicClock() - start);
    host.log(LogLevel::INFO,
             std::string("FPGA program file finished. Total time: ") + total + " sec");
    return verified;
  } catch (const std::exception& error) {
    session.stopped(error);
    throw;
  }
}

bool Engine::verify(const Image& image, EngineRun* run, bool erased_tail) {
  EngineRun unobserved;
  const CancellationScope watch([this] { commands_.channel().checkCancelled(); });
  detail::Session session(commands_, settings_, image.bytes, run != nullptr ? run : &unobserved);
  try {
    const bool identical = session.readBack(erased_tail) == digestOf(image);
    session.phases().end();
    return identical;
  } catch (const std::exception& error) {
    session.stopped(error);
    throw;
  }
}

void Engine::reload(std::int64_t device_type) {
  const DeviceProfile& profile = deviceProfile(device_type);
  commands_.endProgramming();
  commands_.reloadFromFlash();
  if (profile.reinit_wait_seconds) {
    commands_.reinitialiseRfModule();
    commands_.channel().host().sleepSeconds(*profile.reinit_wait_seconds);
  }
}

Json readFpgaVersion(FpgaCommands& commands, std::int64_t device_type) {
  switch (deviceProfile(device_type).version_read_back) {
    case VersionReadBack::kGetFpgaVer:
      return commands.fpgaVersion();
    case VersionReadBack::kFeInfo:
      return versionFromInfo(commands.frontEndInfo());
    case VersionReadBack::kNone:
      break;
  }
  return "";
}

}  // namespace kestrix::flash
