// The requests dirctl sends and the check of the acknowledgement that answers them.
#pragma once

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "client/list_reply_decoder.h"
#include "protocol/message.h"
#include "registry/server_record.h"

namespace dirserver::dirctl {

// A registration or shutdown request, and what the server will make of its strings.
struct HostRequest {
  Bytes bytes;          // the whole request
  ServerFields fields;  // the strings as the server stores them (their first 4096 bytes)
  ServerType type{};    // the game type the path names
  ServerKey key = 0;    // the key the server files the host under
};

// Builds a registration or shutdown request (`type` Registration or Shutdown) from the seven
// strings, given as UTF-8 (a malformed sequence becomes U+FFFD) and sent as UTF-16LE counted
// texts. Returns false with `error` saying which string is wrong when there are not seven, one is
// empty or longer than 65535 UTF-16 code units, or the first is not a game type's path: the server
// would reject such a request while acknowledging it all the same.
bool buildHostRequest(MessageType type, const std::vector<std::string>& strings,
                      HostRequest& request, std::string& error);

// Whether `reply` lists the host of `request`: a host with exactly its stored strings under the
// directory of its game type. The key is not compared, since it follows from the strings.
bool listsHost(const ListedReply& reply, const HostRequest& request);

// Whether `answer` is exactly the acknowledgement. Otherwise `error` says what came instead:
// nothing, a part of it, or other bytes (shown in hex, the first 16 of them).
bool checkAcknowledgement(ByteView answer, std::string& error);

}  // namespace dirserver::dirctl
