// Building the bodies of registration and shutdown requests, for clients (dirctl, the benchmark,
// the tests).
#pragma once

#include "common/byte_order.h"

namespace dirserver {

// Appends one string the way a request body carries it: a u16 count of UTF-16 code units, then
// the code units. `utf16le` holds whole code units, at most 65535 of them. A body is seven such
// strings back to back.
void putCountedText(Bytes& out, ByteView utf16le);

}  // namespace dirserver
