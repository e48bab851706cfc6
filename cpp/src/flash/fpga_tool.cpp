// FpgaTool: construction, the transport and the controller command set.
#include "kestrix/flash/fpga_tool.hpp"

#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

namespace proto = wire;

// A raw reply carries 4 leading bytes (the block header "#216" of a page) and a trailing CR LF.
constexpr std::size_t kRawLead = 4;
constexpr std::size_t kRawTrail = 2;

FpgaTool::FpgaTool(std::shared_ptr<Connection> connection, std::shared_ptr<Host> host)
    : conn_(std::move(connection)), owns_conn_(false), host_(std::move(host)) {
  if (!conn_) throw std::invalid_argument("Either connection or address must be provided");
  if (!host_) throw std::invalid_argument("FpgaTool needs a host");
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
}

// --- transport -------------------------------------------------------------------------------

Bytes FpgaTool::_getRecv(bool log_print, std::size_t size, bool isdecode) {
  const CancellationScope watch([this] { checkCancelled(); });
  return rawReply(conn_->recvRawBytes(size), log_print, isdecode);
}

Bytes FpgaTool::rawReply(Bytes data, bool log_print, bool isdecode) {
  if (isdecode) {
    requireUtf8(data);
  } else if (data.size() <= kRawLead + kRawTrail) {
    data.clear();
  } else {
    data = data.substr(kRawLead, data.size() - kRawLead - kRawTrail);
  }
  if (log_print && host_->logEnabled(LogLevel::DEBUG))
    log(LogLevel::DEBUG, "Received data: " + (isdecode ? data : bytesRepr(data)));
  return data;
}

std::string FpgaTool::_sendCmd(std::string_view cmd) {
  const CancellationScope watch([this] { checkCancelled(); });
  RetType ret = conn_->sendCmd(proto::terminate(cmd), RspType::RSP_LIST);
  if (ret.data.is_string()) {
    const std::string& text = ret.data.get_ref<const std::string&>();
    requireUtf8(text);
    return text;
  }
  // No payload, or an empty one, reads as the empty reply.
  if (ret.data.is_null()) return {};
  throw ProtocolError("the connection returned a reply that is not text: " + ret.data.dump());
}

Bytes FpgaTool::_sendCmdRaw(std::string_view cmd, bool log_print, std::size_t size) {
  const CancellationScope watch([this] { checkCancelled(); });
  return rawReply(conn_->queryRaw(proto::terminate(cmd), size), log_print, false);
}

// --- command set -----------------------------------------------------------------------------

std::string FpgaTool::_fpgaCtrlInit() {
  return _sendCmd(proto::kCtrlInit);
}
std::string FpgaTool::_fpgaGetId() {
  return _sendCmd(proto::kGetId);
}
std::string FpgaTool::_fpgaGetVersion() {
  return _sendCmd(proto::kGetVersion);
}

std::string FpgaTool::_fpgaCfgMode(std::string_view mode) {
  return _sendCmd(proto::withArgument(proto::kCfgModePrefix, mode));
}

std::string FpgaTool::_fpgaErase(std::string_view erase_bits) {
  return _sendCmd(proto::withArgument(proto::kErasePrefix, erase_bits));
}

std::string FpgaTool::_fpgaRstPagePtr(std::string_view section) {
  return _sendCmd(proto::withArgument(proto::kRstPagePtrPrefix, section));
}

bool FpgaTool::_fpgaProgram(std::string_view data_block) {
  return proto::programAccepted(_sendCmd(proto::programLine(data_block)));
}

Bytes FpgaTool::_fpgaRead() {
  return _sendCmdRaw(proto::kRead);
}
std::string FpgaTool::_fpgaDone() {
  return _sendCmd(proto::kDone);
}
std::string FpgaTool::_fpgaRefresh() {
  return _sendCmd(proto::kRefresh);
}
std::string FpgaTool::_fpgaReinit() {
  return _sendCmd(proto::kReinit);
}
std::string FpgaTool::_fpgaGetInfo() {
  return _sendCmd(proto::kGetInfo);
}
std::string FpgaTool::_fpgaGetControlFwVer() {
  return _sendCmd(proto::kGetControlFwVer);
}
std::string FpgaTool::_fpgaGetSerialNumber() {
  return _sendCmd(proto::kGetSerialNumber);
}

// --- image checks ----------------------------------------------------------------------------

bool FpgaTool::_checkUpdateFile(const std::string& image_path) {
  return checkUpdateFile(image_path, *host_);
}

bool FpgaTool::_checkFileHeader(const std::string& image_path) {
  return checkFileHeader(image_path, *host_);
}

// --- stopping --------------------------------------------------------------------------------

void FpgaTool::set_cancel_token(CancelToken token) {
  const std::lock_guard<std::mutex> lock(settings_);
  cancel_ = std::move(token);
}

CancelToken FpgaTool::cancel_token() const {
  const std::lock_guard<std::mutex> lock(settings_);
  return cancel_;
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

void FpgaTool::checkCancelled() {
  cancel_token().throwIfCancelled();
  host_->checkCancelled();
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
