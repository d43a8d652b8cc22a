#include "client/request_body.h"

namespace dirserver {

void putCountedText(Bytes& out, ByteView utf16le) {
  putU16(out, static_cast<std::uint16_t>(utf16le.size() / 2));
  putBytes(out, utf16le);
}

}  // namespace dirserver
