// Dispatch of one complete request to its handler.
#pragma once

#include <optional>

#include "common/byte_order.h"
#include "protocol/message.h"
#include "registry/server_context.h"
#include "server/server_status.h"

namespace dirserver {

// What a request is answered with: nothing, the acknowledgement (kAckMessage), or the listing of
// the registry as it stands once the request has been handled.
enum class Reply : std::uint8_t { None, Ack, Listing };

// What a request called for once it has been handled.
struct Dispatched {
  Reply reply = Reply::None;
  RequestKind kind = RequestKind::Other;
  RequestOutcome outcome = RequestOutcome::Served;
  std::optional<ConsoleError> error;  // the console line it printed, if it reported a fault
};

// Whether a request of this type can change the registry (a registration or a shutdown), as
// opposed to one that only reads it or is not handled.
bool changesRegistry(const MessageHeader& header);

// Handles one request whose frame was read whole and passed its checks, and says how to answer it:
//   2  ListRequest    the listing (the body is ignored); when context.listingRate has no token
//                     for `from`, "+warning: listings asked for too fast from this address,
//                     connection closed" on console.err and no answer
//   4  Registration   handleRegistration, then the acknowledgement, whatever the handler made of
//                     the body
//   6  Shutdown       handleShutdown, then the same
//   8  AckRequest     the acknowledgement (the body is ignored)
//   any other type    "+warning: unhandled msg type: 0x%.02x" on console.err, no answer
// `from` is the peer's IPv4 address, which registration and shutdown go by. Whether the registry
// changed shows in its version; the caller publishes and saves accordingly.
Dispatched dispatchRequest(ServerContext& context, const MessageHeader& header, ByteView body,
                           PeerAddress from = kUnknownAddress);

}  // namespace dirserver
