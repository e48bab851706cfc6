// FpgaTool: updates the FPGA configuration flash of one device through one connection, under the
// names the package's Python callers know (_sendCmd, _fpgaCtrlInit, processFpgaUpdate, ...). It is
// a façade: every command goes through one command channel (command_channel.hpp), the controller's
// commands are FpgaCommands, the programming engine is Engine (engine.hpp), initialisation is in
// initialisation.hpp. Tools that do more than one update (jobs) use those parts directly.
//
// Failures of the connection (ConnectionError, TimeoutError, ...) pass to the caller unchanged
// except where an operation says it turns them into a result.
//
// Stopping: while an operation runs, its waits and loops check the tool's cancel token and the
// host's checkCancelled() (kestrix/contracts/cancel.hpp): a raised token stops it with
// CancelledError, a host interrupt with the host's own error. The device is left as it is; an
// interrupted update logs where it stopped and what the flash holds (incomplete, or written but
// not verified).
//
// Threads: one tool serves one operation at a time. Tools on one connection may run on several
// threads when the connection makes an exchange atomic (net::TcpConnection does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/connection.hpp"
#include "kestrix/contracts/host.hpp"
#include "kestrix/contracts/ret_type.hpp"
#include "kestrix/flash/command_channel.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/fpga_commands.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/progress.hpp"
#include "kestrix/flash/trust.hpp"

namespace kestrix::flash {

class FpgaTool {
 public:
  // Uses the caller's connection; the tool never opens or closes it.
  explicit FpgaTool(std::shared_ptr<Connection> connection,
                    std::shared_ptr<Host> host = defaultHost());

  // Opens its own connection made by `factory` (net::tcpConnectionFactory() for TCP) and closes
  // it in disconnect(). Throws std::invalid_argument without a factory, ConnectionError "Cannot
  // connect to ADDRESS:PORT" when it cannot connect.
  FpgaTool(const std::string& address, int port, ConnectionFactory factory,
           std::shared_ptr<Host> host = defaultHost());

  virtual ~FpgaTool();
  FpgaTool(const FpgaTool&) = delete;
  FpgaTool& operator=(const FpgaTool&) = delete;

  // --- transport -------------------------------------------------------------------------------
  // One raw reply: with `isdecode` the frame whole, checked to be UTF-8 (DecodeError otherwise);
  // without, the frame less its first 4 and last 2 bytes (empty when it has 6 or fewer).
  Bytes _getRecv(bool log_print = false, std::size_t size = kRecvSize, bool isdecode = true);
  // Command path: sends cmd + CR LF and returns the reply text ("" when there is none).
  std::string _sendCmd(std::string_view cmd);
  // Raw path: sends cmd + CR LF with sendRawBytes and returns _getRecv(log_print, size, false).
  Bytes _sendCmdRaw(std::string_view cmd, bool log_print = false, std::size_t size = kRecvSize);

  // --- command set -----------------------------------------------------------------------------
  std::string _fpgaCtrlInit();
  std::string _fpgaGetId();
  std::string _fpgaGetVersion();
  std::string _fpgaCfgMode(std::string_view mode);
  std::string _fpgaErase(std::string_view erase_bits);
  std::string _fpgaRstPagePtr(std::string_view section);
  // True when the controller acknowledged the block with "0" (whitespace around it allowed).
  bool _fpgaProgram(std::string_view data_block);
  Bytes _fpgaRead();
  std::string _fpgaDone();
  std::string _fpgaRefresh();
  std::string _fpgaReinit();
  std::string _fpgaGetInfo();
  std::string _fpgaGetControlFwVer();
  std::string _fpgaGetSerialNumber();

  // --- image checks (no device needed) ---------------------------------------------------------
  bool _checkUpdateFile(const std::string& image_path);
  bool _checkFileHeader(const std::string& image_path);

  // --- programming engine ----------------------------------------------------------------------
  // Reads the image once (see readImage), then programs it as Engine::program does. A file that
  // cannot be read throws FileError before the erase.
  bool _fpgaProgramFile(const std::string& image_path,
                        std::int64_t device_type = kDefaultDeviceType);
  // Engine::program, verify and reload with the tool's settings.
  bool programImage(const Image& image, const std::string& image_path, std::int64_t device_type,
                    EngineRun* run = nullptr);
  bool verifyFlash(const Image& image, EngineRun* run = nullptr, bool erased_tail = false);
  void reloadConfiguration(std::int64_t device_type);

  // --- initialisation and version gate ---------------------------------------------------------
  RetType initFpga(std::int64_t device_type, bool disable_fw_check = false);
  // initFpga without turning errors of the device steps into a result: they pass to the caller.
  RetType initialise(std::int64_t device_type, bool disable_fw_check = false);
  bool _checkControlFwVersion();

  // --- update workflow -------------------------------------------------------------------------
  void set_progress_callback(std::shared_ptr<ProgressCallback> callback);
  void set_progress_callback(FunctionProgress::Function callback);
  std::shared_ptr<ProgressCallback> progress_callback() const;
  // Checks the image and programs exactly the bytes that passed the checks (they are read once).
  // A tbin whose header names device types that do not include `device_type` is refused before
  // anything is sent, and so is an image the trust policy refuses (the verdict's message is the
  // result's).
  RetType processFpgaUpdate(const std::optional<std::string>& image_path,
                            std::int64_t device_type = kDefaultDeviceType);
  // The FPGA version as the update reads it back (see flash::readFpgaVersion).
  Json readFpgaVersion(std::int64_t device_type);

  // The per-block display on standard output ("\rProgress: ..."); on by default. Tools with a
  // display of their own switch it off. On a terminal each display is written as it comes;
  // elsewhere the same text is written every few milliseconds.
  void set_show_progress(bool show);
  bool show_progress() const;

  // The transfer window: how many program or read commands may be in flight at once. 1 (the
  // default) is one command at a time. With more, the verify phase keeps up to `window` reads
  // outstanding, and for device types whose flash is erased first the write phase keeps up to
  // `window` blocks outstanding; at the first block refused inside a window the update drains
  // the replies, erases, and writes the whole image again one block at a time. A window needs a
  // connection that can pipeline (net::TcpConnection); others go one command at a time.
  // Throws std::invalid_argument outside 1..kMaxWindow.
  void set_window(int window);
  int window() const;

  // The keys whose signatures an update requires (see trust.hpp); empty by default, which checks
  // no signature.
  void set_trust_policy(TrustPolicy policy);
  TrustPolicy trust_policy() const;

  // --- stopping --------------------------------------------------------------------------------
  // The token this tool's operations watch; raise it from any thread to stop them.
  void set_cancel_token(CancelToken token);
  CancelToken cancel_token() const;

  // Calls deleteTempFile(), then closes the connection if the tool opened it.
  void disconnect();
  // Clean-up hook run first by disconnect(); does nothing here, for subclasses to fill in.
  virtual void deleteTempFile() {}

  const std::shared_ptr<Connection>& _conn() const { return conn_; }
  bool _owns_conn() const { return owns_conn_; }
  Host& host() const { return *host_; }
  CommandChannel& channel() const { return *channel_; }
  FpgaCommands& commands() const { return *commands_; }

 private:
  void log(LogLevel level, std::string_view message) const { host_->log(level, message); }
  // The engine with the tool's settings as they are now.
  Engine engine();

  std::shared_ptr<Connection> conn_;
  bool owns_conn_ = false;
  std::shared_ptr<Host> host_;
  std::unique_ptr<CommandChannel> channel_;
  std::unique_ptr<FpgaCommands> commands_;
  // Set from one thread while an operation may read them on another.
  mutable std::mutex settings_;
  std::shared_ptr<ProgressCallback> progress_;
  bool show_progress_ = true;
  int window_ = 1;
  TrustPolicy trust_policy_;
};

}  // namespace kestrix::flash
