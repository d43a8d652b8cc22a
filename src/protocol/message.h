// The frame of every request and answer, the message types and the bare acknowledgement.
//
// Every message starts with a 12-byte header, all fields little-endian, no padding:
//   size          u32   length of the whole message, this header included
//   messageId     u32   always kMessageId
//   messageType   u32   a MessageType
// The body, size - 12 bytes, follows directly.
#pragma once

#include <array>
#include <cstdint>

#include "common/byte_order.h"

namespace dirserver {

inline constexpr std::uint16_t kListenPort = 6001;
inline constexpr std::uint32_t kHeaderSize = 12;
// Requests from kHeaderSize to kMaxMessageSize bytes (both included) are accepted.
inline constexpr std::uint32_t kMaxMessageSize = 0x100000;
inline constexpr std::uint32_t kMessageId = 30;

enum class MessageType : std::uint32_t {
  Ack = 1,           // answer: the bare acknowledgement
  ListRequest = 2,   // a client asks for the listing
  ListReply = 3,     // answer: the listing
  Registration = 4,  // a host registers or refreshes its registration
  Shutdown = 6,      // a host announces its shutdown
  AckRequest = 8,    // any peer asks for an acknowledgement
};

struct MessageHeader {
  std::uint32_t size = 0;
  std::uint32_t messageId = 0;
  std::uint32_t messageType = 0;
};

inline void putHeader(Bytes& out, const MessageHeader& header) {
  putU32(out, header.size);
  putU32(out, header.messageId);
  putU32(out, header.messageType);
}

// The acknowledgement: a header of size 14, type Ack, and a u16 of 0.
inline constexpr std::array<std::uint8_t, 14> kAckMessage = {
    0x0E, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace dirserver
