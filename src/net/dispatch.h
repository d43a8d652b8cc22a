// Dispatch of one complete request to its handler.
#pragma once

#include "common/byte_order.h"
#include "listing/list_reply.h"
#include "net/message.h"
#include "registry/server_context.h"

namespace dirserver {

// What a request calls for once it has been handled.
struct Dispatched {
  Answer answer;      // the bytes to send back, or null for no answer
  bool save = false;  // rewrite the server list file once the answer has been handed to the socket
};

// The acknowledgement, as an answer.
Answer sendAck();

// Handles one request whose frame was read whole and passed its checks:
//   2  ListRequest    the listing (the body is ignored)
//   4  Registration   handleRegistration, then the acknowledgement and a save, whatever the
//                     handler made of the body
//   6  Shutdown       handleShutdown, then the same
//   8  AckRequest     the acknowledgement (the body is ignored)
//   any other type    "+warning: unhandled msg type: 0x%.02x" on console.err, no answer
Dispatched handleConnection(ServerContext& context, ListReplyCache& listing,
                            const MessageHeader& header, ByteView body);

}  // namespace dirserver
