#include "client/request_body.h"

namespace dirserver {

void putCountedText(Bytes& out, ByteView utf16le) {
  putU16(out, static_cast<std::uint16_t>(utf16le.size() / 2));
  putBytes(out, utf16le);
}

Bytes buildRequest(MessageType type, ByteView body) {
  Bytes out;
  out.reserve(kHeaderSize + body.size());
  putHeader(out, {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId,
                  static_cast<std::uint32_t>(type)});
  putBytes(out, body);
  return out;
}

Bytes encodeHostRequest(MessageType type, const ServerFields& fields) {
  Bytes body;
  for (const ServerField& field : fields) putCountedText(body, field.bytes());
  return buildRequest(type, body);
}

}  // namespace dirserver
