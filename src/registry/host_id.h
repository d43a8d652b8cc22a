// A host's identity: a digest of everything that makes it the host it is, its game type and its
// seven fields, so that an entry naming a host by it cannot be taken for another host, by accident
// or on purpose, the way the 32-bit key can.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/byte_order.h"
#include "registry/server_record.h"

namespace dirserver {

inline constexpr std::size_t kHostIdSize = 16;

// The first 128 bits of SHA-256 over the host's identity bytes (hostIdBytes).
struct HostId {
  std::array<std::uint8_t, kHostIdSize> bytes{};

  bool operator==(const HostId&) const = default;
};

// The bytes a HostId digests: the type's number as one byte, then each of the seven fields in
// order as its length (u16, little-endian) followed by that many bytes. Every field is prefixed
// by its length, so no two hosts give the same bytes: moving bytes from the end of one field to
// the start of the next changes a length.
Bytes hostIdBytes(ServerType type, const ServerFields& fields);

// The identity of the host of this type and these fields. Costs one SHA-256 over about the size of
// its fields (up to 28 KiB). Cannot fail: a digest that the crypto library cannot make (it only
// fails when it cannot allocate) ends the process.
HostId computeHostId(ServerType type, const ServerFields& fields);

// Lower-case hexadecimal, 32 digits: how the console and dirctl show an id.
std::string hostIdText(const HostId& id);

}  // namespace dirserver
