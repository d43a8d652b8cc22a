// Registration and shutdown requests: a host's seven strings turned into a record, which is then
// filed, refreshed or removed.
#pragma once

#include "common/byte_order.h"
#include "registry/server_context.h"

namespace dirserver {

// Parses a registration or shutdown body: seven strings back to back, each a u16 count of UTF-16
// code units followed by the code units, no terminator, no alignment; bytes after the seventh
// string are ignored. Fills record.fields (each string's first 4096 bytes) and sets `type` from
// the first string, which must equal one of the game type paths exactly up to its first U+0000.
// Prints "name: %s " with the third string and " %s\n" with the seventh on console.out as they are
// parsed. On bad input prints the reason on console.err ("+error: invalid data size",
// "+error: error converting data" for an empty string, "+error: unknown server type") and
// returns false; `record` and `type` are then unspecified. Leaves registrationTime alone.
bool parseServerFields(ByteView body, const Console& console, ServerRecord& record,
                       ServerType& type);

// Appends one string the way a request body carries it: a u16 count of UTF-16 code units, then
// the code units. `utf16le` holds whole code units, at most 65535 of them. What clients (and
// tests) use to build the bodies that parseServerFields reads.
void putCountedText(Bytes& out, ByteView utf16le);

// A registration (type 4) body: parses it, stamps the record with the wall clock and files it
// under its key in its type's map, or, when the key is filed there already, refreshes only that
// record's time. Refuses a new host once the registry holds kMaxServers ("+error: server list is
// full"); a refresh is never refused. Prints each step on the console; a rejected body changes
// nothing.
void handleRegistration(ServerContext& context, ByteView body);

// A shutdown (type 6) body: parses it like a registration and removes the record filed under its
// key in its type's map, printing "+error: no server with key: %u was found for removal" on
// console.err when there is none. A rejected body changes nothing.
void handleShutdown(ServerContext& context, ByteView body);

}  // namespace dirserver
