// How a connection request returns its reply.
#pragma once

namespace kestrix {

enum class RspType {
  RSP_LIST,    // the FPGA controller's command path
  RSP_STRING,  // one text reply, used by the fast beam commands
};

}  // namespace kestrix
