#include "kestrix/jobs/tcp_open.hpp"

#include <string>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/tcp_connection.hpp"

namespace kestrix::jobs {

ConnectionFactory openedConnection(std::shared_ptr<Connection> conn) {
  return [conn = std::move(conn)](const std::string&, int) {
    // The tool opens the connection again, which an open one takes as done.
    if (const auto tcp = std::dynamic_pointer_cast<net::TcpConnection>(conn)) {
      if (!tcp->initConnection()) throw ConnectionError(tcp->connectError());
    }
    return conn;
  };
}

}  // namespace kestrix::jobs
