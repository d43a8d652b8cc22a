// Building whole requests (header and body), for clients: dirctl, the benchmark and the tests.
#pragma once

#include "common/byte_order.h"
#include "protocol/message.h"
#include "registry/server_record.h"

namespace dirserver {

// Appends one string the way a request body carries it: a u16 count of UTF-16 code units, then
// the code units. `utf16le` holds whole code units, at most 65535 of them. A body is seven such
// strings back to back.
void putCountedText(Bytes& out, ByteView utf16le);

// A whole request of `type`: the 12-byte header, whose size counts `body` too, then `body`.
Bytes buildRequest(MessageType type, ByteView body = {});

// A registration or shutdown request (`type`) whose body carries `fields` in order, each as a
// counted text. Each field holds whole code units, at most 65535 of them.
Bytes encodeHostRequest(MessageType type, const ServerFields& fields);

}  // namespace dirserver
