// FpgaTool: construction, the transport and the controller command set under their Python names,
// the settings, and the engine with them.
#include "kestrix/flash/fpga_tool.hpp"

#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/image_check.hpp"

namespace kestrix::flash {

FpgaTool::FpgaTool(std::shared_ptr<Connection> connection, std::shared_ptr<Host> host)
    : conn_(std::move(connection)), owns_conn_(false), host_(std::move(host)) {
  if (!conn_) throw std::invalid_argument("Either connection or address must be provided");
  if (!host_) throw std::invalid_argument("FpgaTool needs a host");
  channel_ = std::make_unique<CommandChannel>(conn_, host_);
  commands_ = std::make_unique<FpgaCommands>(*channel_);
}

FpgaTool::FpgaTool(const std::string& address, int port, ConnectionFactory factory,
                   std::shared_ptr<Host> host)
    : host_(std::move(host)) {
  if (!host_) throw std::invalid_argument("FpgaTool needs a host");
  if (!factory) throw std::invalid_argument("FpgaTool needs a connection factory");
  auto conn = factory(address, port);
  if (!conn) throw std::invalid_argument("the connection factory returned no connection");
  if (!conn->initConnection())
    throw ConnectionError("Cannot connect to " + address + ":" + std::to_string(port));
  conn_ = std::move(conn);
  owns_conn_ = true;
  channel_ = std::make_unique<CommandChannel>(conn_, host_);
  commands_ = std::make_unique<FpgaCommands>(*channel_);
}

FpgaTool::~FpgaTool() = default;

// --- transport -------------------------------------------------------------------------------

Bytes FpgaTool::_getRecv(bool log_print, std::size_t size, bool isdecode) {
  return channel_->receive(log_print, size, isdecode);
}

std::string FpgaTool::_sendCmd(std::string_view cmd) {
  return channel_->exchange(cmd);
}

Bytes FpgaTool::_sendCmdRaw(std::string_view cmd, bool log_print, std::size_t size) {
  return channel_->exchangeRaw(cmd, log_print, size);
}

// --- command set -----------------------------------------------------------------------------

std::string FpgaTool::_fpgaCtrlInit() {
  return commands_->initialiseController();
}
std::string FpgaTool::_fpgaGetId() {
  return commands_->fpgaId();
}
std::string FpgaTool::_fpgaGetVersion() {
  return commands_->fpgaVersion();
}
std::string FpgaTool::_fpgaCfgMode(std::string_view mode) {
  return commands_->setConfigMode(mode);
}
std::string FpgaTool::_fpgaErase(std::string_view erase_bits) {
  return commands_->erase(erase_bits);
}
std::string FpgaTool::_fpgaRstPagePtr(std::string_view section) {
  return commands_->resetPagePointer(section);
}
bool FpgaTool::_fpgaProgram(std::string_view data_block) {
  return commands_->programBlock(data_block);
}
Bytes FpgaTool::_fpgaRead() {
  return commands_->readPage();
}
std::string FpgaTool::_fpgaDone() {
  return commands_->endProgramming();
}
std::string FpgaTool::_fpgaRefresh() {
  return commands_->reloadFromFlash();
}
std::string FpgaTool::_fpgaReinit() {
  return commands_->reinitialiseRfModule();
}
std::string FpgaTool::_fpgaGetInfo() {
  return commands_->frontEndInfo();
}
std::string FpgaTool::_fpgaGetControlFwVer() {
  return commands_->controlFwVersion();
}
std::string FpgaTool::_fpgaGetSerialNumber() {
  return commands_->serialNumber();
}

// --- image checks ----------------------------------------------------------------------------

bool FpgaTool::_checkUpdateFile(const std::string& image_path) {
  return checkUpdateFile(image_path, *host_);
}

bool FpgaTool::_checkFileHeader(const std::string& image_path) {
  return checkFileHeader(image_path, *host_);
}

// --- engine ----------------------------------------------------------------------------------

Engine FpgaTool::engine() {
  EngineSettings settings;
  settings.show_progress = show_progress();
  settings.window = window();
  settings.progress = [this] { return progress_callback(); };
  return Engine(*commands_, std::move(settings));
}

bool FpgaTool::_fpgaProgramFile(const std::string& image_path, std::int64_t device_type) {
  // Read whole before the erase: an image that cannot be read must not cost the device its
  // configuration, and a file changed while the flash is written cannot change what is written.
  return programImage(readImage(image_path), image_path, device_type);
}

bool FpgaTool::programImage(const Image& image, const std::string& image_path,
                            std::int64_t device_type, EngineRun* run) {
  return engine().program(image, image_path, device_type, run);
}

bool FpgaTool::verifyFlash(const Image& image, EngineRun* run, bool erased_tail) {
  return engine().verify(image, run, erased_tail);
}

void FpgaTool::reloadConfiguration(std::int64_t device_type) {
  engine().reload(device_type);
}

Json FpgaTool::readFpgaVersion(std::int64_t device_type) {
  return flash::readFpgaVersion(*commands_, device_type);
}

// --- settings --------------------------------------------------------------------------------

void FpgaTool::set_cancel_token(CancelToken token) {
  channel_->setCancelToken(std::move(token));
}

CancelToken FpgaTool::cancel_token() const {
  return channel_->cancelToken();
}

void FpgaTool::set_show_progress(bool show) {
  const std::lock_guard<std::mutex> lock(settings_);
  show_progress_ = show;
}

bool FpgaTool::show_progress() const {
  const std::lock_guard<std::mutex> lock(settings_);
  return show_progress_;
}

void FpgaTool::set_window(int window) {
  if (window < 1 || window > kMaxWindow)
    throw std::invalid_argument("window must be from 1 to " + std::to_string(kMaxWindow) +
                                ", not " + std::to_string(window));
  const std::lock_guard<std::mutex> lock(settings_);
  window_ = window;
}

int FpgaTool::window() const {
  const std::lock_guard<std::mutex> lock(settings_);
  return window_;
}

// --- connection ------------------------------------------------------------------------------

void FpgaTool::disconnect() {
  deleteTempFile();
  if (conn_ && owns_conn_) {
    conn_->closeConnection();
    log(LogLevel::INFO, "Disconnected from FPGA device.");
  }
}

}  // namespace kestrix::flash
