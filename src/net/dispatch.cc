#include "net/dispatch.h"

#include "registry/registration.h"

namespace dirserver {

Answer sendAck() {
  static const Answer ack = std::make_shared<const Bytes>(kAckMessage.begin(), kAckMessage.end());
  return ack;
}

Dispatched handleConnection(ServerContext& context, ListReplyCache& listing,
                            const MessageHeader& header, ByteView body) {
  switch (header.messageType) {
    case static_cast<std::uint32_t>(MessageType::ListRequest):
      return {listing.sendServerList(context.registry), false};
    case static_cast<std::uint32_t>(MessageType::Registration):
      handleRegistration(context, body);
      return {sendAck(), true};
    case static_cast<std::uint32_t>(MessageType::Shutdown):
      handleShutdown(context, body);
      return {sendAck(), true};
    case static_cast<std::uint32_t>(MessageType::AckRequest):
      return {sendAck(), false};
    default:
      std::fprintf(context.console.err, "+warning: unhandled msg type: 0x%.02x\n",
                   header.messageType);
      return {};
  }
}

}  // namespace dirserver
