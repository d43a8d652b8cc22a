// A host's whole state as the nodes of a directory cluster share it: the value stored under the
// host's key in the cluster's bucket, and that key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte_order.h"
#include "registry/host_id.h"
#include "registry/registry_snapshot.h"
#include "registry/server_record.h"

namespace dirserver {

// One host as a node publishes it: enough for any other node to hold it exactly as the publishing
// node does, owner rules included. A removal is published as the host's last state with
// `removed` set (a tombstone), so that it carries the same facts as any other change.
struct HostState {
  ServerType type{};
  ServerRecord record;           // the seven fields and the registration time (stored form)
  PeerAddress owner = kUnknownAddress;
  std::int64_t ownerSeenAt = 0;  // wall clock, seconds since 1970, when the owner last registered it
  std::string node;              // the name of the node that published it
  std::int64_t stampMillis = 0;  // wall clock, milliseconds since 1970, when it was published
  bool removed = false;

  bool operator==(const HostState&) const = default;
};

// The value's layout, little-endian, in this order:
inline constexpr std::uint8_t kHostStateFormat = 1;   // u8   format of the value
inline constexpr std::uint8_t kHostStateRemoved = 1;  // u8   flags: bit 0, a tombstone
                                                      // u8   the game type (0..2)
                                                      // u32  registration time (stored form)
                                                      // u32  owner's IPv4 address (network order)
                                                      // u64  owner last seen (signed, seconds)
                                                      // u64  time stamp (signed, milliseconds)
                                                      // u8   length of the node's name, then it
                                                      // 7 x (u16 length, then the field's bytes)
                                                      // u32  CRC-32C of every byte before it
inline constexpr std::size_t kHostStateFixedBytes = 1 + 1 + 1 + 4 + 4 + 8 + 8 + 1;
inline constexpr std::size_t kHostStateChecksumBytes = 4;
inline constexpr std::size_t kMaxNodeNameBytes = 255;

// The value of `state`. The node's name must be at most kMaxNodeNameBytes and each field at most
// kFieldCapacity bytes (what the registry holds); longer ones are cut there. Cannot fail.
Bytes encodeHostState(const HostState& state);

// Reads a value made by encodeHostState into `state`. Returns an empty string on success, or why
// the value was refused ("truncated at byte N", "checksum mismatch", "unknown format 7", "unknown
// game type 9", "field 3 holds 5000 bytes", "N bytes after the end"); `state` is then unspecified.
std::string decodeHostState(ByteView value, HostState& state);

// Whether `value`, made by encodeHostState, is a tombstone; without decoding the rest.
bool isTombstone(ByteView value);

// The key under which a host of `type` lives in the bucket: the type's number, a dot, and the
// host's HostId in lowercase hex. Every node derives the same key from the same host, and keys use
// only characters the bucket allows.
std::string clusterKey(ServerType type, const HostId& id);
// The same, computing the HostId of a host of `type` with these fields.
std::string clusterKey(ServerType type, const ServerFields& fields);

}  // namespace dirserver
