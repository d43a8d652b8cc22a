#include "server/dispatch.h"

#include "registry/registration.h"

namespace dirserver {
namespace {

// How a registration or shutdown counts, and the console line it printed if any.
Dispatched hostRequest(RequestKind kind, HostOutcome outcome) {
  Dispatched dispatched{Reply::Ack, kind, RequestOutcome::Served, std::nullopt};
  switch (outcome) {
    case HostOutcome::Added:
    case HostOutcome::Refreshed:
    case HostOutcome::Removed:
      break;
    case HostOutcome::NotFound:
      dispatched.outcome = RequestOutcome::Rejected;
      dispatched.error = ConsoleError::NotFound;
      break;
    case HostOutcome::ListFull:
      dispatched.outcome = RequestOutcome::Refused;
      dispatched.error = ConsoleError::ListFull;
      break;
    case HostOutcome::StringsFull:
      dispatched.outcome = RequestOutcome::Refused;
      dispatched.error = ConsoleError::StringsFull;
      break;
    case HostOutcome::AddressFull:
      dispatched.outcome = RequestOutcome::Refused;
      dispatched.error = ConsoleError::AddressFull;
      break;
    case HostOutcome::OtherAddress:
      dispatched.outcome = RequestOutcome::Refused;
      dispatched.error = ConsoleError::OtherAddress;
      break;
    case HostOutcome::InvalidDataSize:
      dispatched.outcome = RequestOutcome::Rejected;
      dispatched.error = ConsoleError::InvalidData;
      break;
    case HostOutcome::ConversionError:
      dispatched.outcome = RequestOutcome::Rejected;
      dispatched.error = ConsoleError::Conversion;
      break;
    case HostOutcome::UnknownType:
      dispatched.outcome = RequestOutcome::Rejected;
      dispatched.error = ConsoleError::UnknownType;
      break;
  }
  return dispatched;
}

}  // namespace

Dispatched dispatchRequest(ServerContext& context, const MessageHeader& header, ByteView body,
                           PeerAddress from) {
  switch (header.messageType) {
    case static_cast<std::uint32_t>(MessageType::ListRequest):
      return {Reply::Listing, RequestKind::List, RequestOutcome::Served, std::nullopt};
    case static_cast<std::uint32_t>(MessageType::Registration):
      return hostRequest(RequestKind::Registration, handleRegistration(context, body, from));
    case static_cast<std::uint32_t>(MessageType::Shutdown):
      return hostRequest(RequestKind::Shutdown, handleShutdown(context, body, from));
    case static_cast<std::uint32_t>(MessageType::AckRequest):
      return {Reply::Ack, RequestKind::Ack, RequestOutcome::Served, std::nullopt};
    default:
      std::fprintf(context.console.err, "+warning: unhandled msg type: 0x%.02x\n",
                   header.messageType);
      return {Reply::None, RequestKind::Other, RequestOutcome::Rejected,
              ConsoleError::UnhandledType};
  }
}

}  // namespace dirserver
