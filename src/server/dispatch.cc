#include "server/dispatch.h"

#include "registry/registration.h"

namespace dirserver {
namespace {

// How a registration or shutdown counts, and the console line it printed if any.
Dispatched hostRequest(RequestKind kind, HostOutcome outcome) {
  const std::optional<ConsoleError> fault = faultOf(outcome);
  return {Reply::Ack, kind, fault ? faultRow(*fault).counted : RequestOutcome::Served, fault};
}

}  // namespace

bool changesRegistry(const MessageHeader& header) {
  return header.messageType == static_cast<std::uint32_t>(MessageType::Registration) ||
         header.messageType == static_cast<std::uint32_t>(MessageType::Shutdown);
}

Dispatched dispatchRequest(ServerContext& context, const MessageHeader& header, ByteView body,
                           PeerAddress from) {
  switch (header.messageType) {
    case static_cast<std::uint32_t>(MessageType::ListRequest):
      if (from != kUnknownAddress && !context.listingRate.take(from, context.clock->steadyNow())) {
        std::fputs(faultRow(ConsoleError::ListingRate).line, context.console.err);
        return {Reply::None, RequestKind::List, RequestOutcome::Refused, ConsoleError::ListingRate};
      }
      return {Reply::Listing, RequestKind::List, RequestOutcome::Served, std::nullopt};
    case static_cast<std::uint32_t>(MessageType::Registration):
      return hostRequest(RequestKind::Registration, handleRegistration(context, body, from));
    case static_cast<std::uint32_t>(MessageType::Shutdown):
      return hostRequest(RequestKind::Shutdown, handleShutdown(context, body, from));
    case static_cast<std::uint32_t>(MessageType::AckRequest):
      return {Reply::Ack, RequestKind::Ack, RequestOutcome::Served, std::nullopt};
    default:
      std::fprintf(context.console.err, faultRow(ConsoleError::UnhandledType).line,
                   header.messageType);
      return {Reply::None, RequestKind::Other, RequestOutcome::Rejected,
              ConsoleError::UnhandledType};
  }
}

}  // namespace dirserver
