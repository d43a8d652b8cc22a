// A registry changed step by step as a script of bytes says, with its listing kept in pieces
// (SnapshotPieces) beside it and checked after every step: the snapshot the pieces publish must be
// the registry, byte for byte the listing built whole, and each step may have made only the piece
// of its host anew. The listing test runs random scripts; a fuzz target runs whatever it is fed.
#pragma once

#include <string>

#include "common/byte_order.h"

namespace dirserver::testing {

// Script: the first byte picks the registry's starting size (bits 0-2: 0, 1, 2, 40, 130, 700,
// 1500, 2500 hosts, at most 130 of large fields) and its hosts' field lengths (bits 3-4: a few
// bytes, ordinary, up to the 4096-byte capacity, any of these and odd ones); the second seeds the
// hosts' bytes. Each byte
// after them is one step: bits 0-1 add a new host, refresh a host, remove a host, or remove a
// run of hosts; bits 2-7 pick which (scaled to the registry's size) and of which type.
// Returns the first broken rule, or an empty text.
std::string runPiecesScript(ByteView script);

}  // namespace dirserver::testing
