// The owners file: the IPv4 address each host of a server list registered from, which the list's
// fixed format has no room for. It is written with every snapshot and names the list it belongs
// to by the list's fingerprint; it holds the owners of the list in place when the snapshot began
// too, so that whichever list a crash leaves in place finds its owners.
//
// Layout, integers little-endian:
//   magic          8 bytes  "DSOWNERS"
//   version        u32      1
//   tables         u32      1 or 2
//   per table:
//     fingerprint  u64      of the server list it belongs to
//     count        u32      hosts in that list
//     owners       count x 4 bytes, in the order the list holds its hosts: the IPv4 address in
//                  network order, 0.0.0.0 for a host that belongs to no address
//   checksum       u32      CRC-32C of every byte before it
#pragma once

#include <string>
#include <vector>

#include "persist/env.h"
#include "persist/server_list_file.h"

namespace dirserver {

inline constexpr std::size_t kOwnersMagicSize = 8;
inline constexpr std::uint32_t kOwnersVersion = 1;

Bytes encodeOwnersFile(const std::vector<OwnerTable>& tables);

// Decodes a whole owners file. Returns false, with `why`, when it is not one this server wrote
// (wrong magic, version or checksum, or counts that do not add up).
bool decodeOwnersFile(ByteView bytes, std::vector<OwnerTable>& tables, std::string& why);

// The owners of the server list whose fingerprint is `fingerprint` and which holds `hosts` hosts,
// from the owners file at `path`. Empty (every host owned by nobody) when there is no such file,
// when it holds no table of that list, or when it cannot be read or is not ours; in the last two
// cases `why` says so.
std::vector<PeerAddress> readOwners(Env& env, const std::string& path, std::uint64_t fingerprint,
                                    std::uint32_t hosts, std::string& why);

// An IPv4 address as the files hold it: its four bytes in network order.
void putAddress(Bytes& out, PeerAddress address);
PeerAddress loadAddress(const std::uint8_t* at);

}  // namespace dirserver
