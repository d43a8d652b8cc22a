// The registry: every registered host, in three ordered maps, one per game type.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry/registry_snapshot.h"
#include "registry/server_record.h"

namespace dirserver {

// The most hosts the registry holds in all. The listing reply counts its entries in 16 bits and
// adds four directory entries, so 65531 hosts is the most a client can be told about.
inline constexpr std::uint32_t kMaxServers = 65535 - 4;

// The bytes of all hosts' stored fields that registration lets the registry grow to, unless the
// server is told otherwise: well above what real hosts send (65531 of them with ordinary strings
// hold some 12 MiB), and low enough that the listing, the JSON and the records stay within the
// server's memory. Only new hosts are held to it; hosts loaded from the file never are.
inline constexpr std::uint64_t kDefaultMaxHostBytes = 64 * 1024 * 1024;

// The bytes a host's stored fields take: what it adds to fieldBytes().
std::uint64_t storedBytes(const ServerFields& fields);

// The most hosts one IPv4 address may own; refreshes are never refused, and hosts without a known
// owner count against no address.
inline constexpr std::uint32_t kMaxServersPerAddress = 64;

// The hosts that the addresses of one network may own between them unless the server is told
// otherwise (--max-hosts-per-net), and how long a prefix makes a network (--net-prefix). A /24
// holds 256 addresses, which at 64 hosts each would hold a quarter of the registry: one provider's
// block could fill it from four of them. 256 hosts is four addresses' worth, room for a data
// centre's game machines behind one block, and it takes 256 networks to fill the registry.
inline constexpr std::uint32_t kDefaultMaxHostsPerNetwork = 256;
inline constexpr int kDefaultNetworkPrefix = 24;

// The order of the hosts of one game type: ascending unsigned key, and hosts whose strings sum to
// the same key after each other by their fields' bytes (field 0 first, each compared as unsigned
// bytes, a shorter prefix first). Two hosts are the same host exactly when neither comes first, that
// is when their fields are equal; the key only decides where to look. Also compares an entry with a
// HostProbe, so that a host can be looked up without building a record.
struct HostOrder {
  using is_transparent = void;

  bool operator()(const HostEntry& a, const HostEntry& b) const {
    return less(a.key, a.record->fields, b.key, b.record->fields);
  }
  bool operator()(const HostEntry& a, const HostProbe& b) const {
    return less(a.key, a.record->fields, b.key, *b.fields);
  }
  bool operator()(const HostProbe& a, const HostEntry& b) const {
    return less(a.key, *a.fields, b.key, b.record->fields);
  }

  static bool less(ServerKey aKey, const ServerFields& aFields, ServerKey bKey,
                   const ServerFields& bFields) {
    if (aKey != bKey) return aKey < bKey;
    return aFields < bFields;
  }
};

// Three ordered sets of hosts, indexed by ServerType. Within a type a host is identified by its key
// and its seven fields: hosts whose strings happen to give the same key are distinct hosts, kept
// side by side. The same host may stand in several types as independent records. Records are
// immutable and shared (with snapshots); a refresh replaces a host's record with one of a newer
// time. Not thread-safe: the server uses it from the loop thread only; snapshots are what other
// threads read.
class ServerRegistry {
 public:
  using Hosts = std::set<HostEntry, HostOrder>;
  using Position = Hosts::const_iterator;

  // The host of exactly this key and these fields, or end(type). Costs one ordered search by key
  // plus a comparison of the fields of the few hosts that share the key.
  Position find(ServerType type, ServerKey key, const ServerFields& fields) const {
    return hosts(type).find(HostProbe{key, &fields});
  }

  // The host of this key whose identity is `id`, or end(type). Costs one ordered search by key and
  // a comparison of the ids of the few hosts that share the key.
  Position findById(ServerType type, ServerKey key, const HostId& id) const;

  // Files `record` under `key` unless the type holds that host (same key, same fields) already,
  // in which case nothing changes and `record` is dropped. Yields the host's position and whether
  // it was added. `key` must be computeServerKey of the record's fields; `from` is its owner, if
  // known, and `ownerSeenAt` when the owner registered it (0: not since the registry was filled).
  // Applies no policy: whoever calls it decides the owner. A new host's HostId is computed here,
  // once: a refresh (replace) keeps it.
  std::pair<Position, bool> insert(ServerType type, ServerKey key, ServerRecord record,
                                   PeerAddress from = kUnknownAddress,
                                   std::int64_t ownerSeenAt = 0);

  // Replaces the record at `position` with `record`, which must have the same fields (a refresh:
  // only the registration time differs). The host's owner becomes `from` when that is known (it
  // keeps its owner otherwise), seen at `ownerSeenAt`. Applies no policy. Yields the new position
  // of the host. When neither the time nor the owner changes, the host keeps its record and only
  // `ownerSeenAt` moves: no change is logged (takeChanges) and the version stays.
  Position replace(ServerType type, Position position, ServerRecord record,
                   PeerAddress from = kUnknownAddress, std::int64_t ownerSeenAt = 0);

  // Removes the host of exactly this key and these fields; yields 1 when there was one, else 0.
  std::uint32_t erase(ServerType type, ServerKey key, const ServerFields& fields);

  // Removes the host at `position` (which must be valid); yields the position after it.
  Position erase(ServerType type, Position position);

  Position begin(ServerType type) const { return hosts(type).begin(); }
  Position end(ServerType type) const { return hosts(type).end(); }

  std::uint32_t size(ServerType type) const {
    return static_cast<std::uint32_t>(hosts(type).size());
  }
  std::uint32_t totalCount() const;

  // Hosts owned by `from`, in all types.
  std::uint32_t countFrom(PeerAddress from) const;

  // Counts owners by network from now on: a network is the addresses that share their first
  // `bits` bits (0 to 32; kDefaultNetworkPrefix until set). Recounts the hosts held: O(hosts).
  void setNetworkPrefix(int bits);
  int networkPrefix() const { return networkPrefix_; }
  // Hosts owned by the addresses of the network of `from`, in all types; 0 for kUnknownAddress.
  std::uint32_t countInNetwork(PeerAddress from) const;
  // Whether two addresses lie in one network (two unknown owners do; an unknown and a known do
  // not).
  bool sameNetwork(PeerAddress a, PeerAddress b) const;

  // Marks the registry as filled at `at` (the steady clock's seconds), at start from the file and
  // whatever else keeps its hosts: the owners of hosts that have not registered since count as
  // seen then, so that a restart gives each owner its whole time to come back.
  void setFilledAt(std::int64_t at) { filledAt_ = at; }
  // When the owner of `host` was last seen: its last registration, or when the registry was
  // filled if later.
  std::int64_t ownerSeenAt(const HostEntry& host) const {
    return std::max(host.ownerSeenAt, filledAt_);
  }

  // The bytes of every host's stored fields, in all types.
  std::uint64_t fieldBytes() const { return fieldBytes_; }

  // Grows at every change, refreshes that move a time or an owner included: what the file and the
  // snapshots show.
  std::uint64_t version() const { return version_; }

  // The registry as it stands, sharing its records, each type's hosts in one block. Costs a
  // pointer copy per host; the server publishes its snapshots from pieces kept up to date instead.
  RegistrySnapshot snapshot() const;

  // Every insert, replace and erase since the last call, in the order they happened; the list
  // then starts afresh. The server core takes them once a pass and hands them on to whatever
  // follows the registry change by change. Until taken they accumulate (a record pointer each).
  std::vector<HostChange> takeChanges() { return std::exchange(changeLog_, {}); }

 private:
  Hosts& hosts(ServerType type) { return hosts_[index(type)]; }
  const Hosts& hosts(ServerType type) const { return hosts_[index(type)]; }

  void countAddress(PeerAddress from, int change);
  std::uint32_t networkOf(PeerAddress from) const;

  std::array<Hosts, kServerTypeCount> hosts_;
  std::unordered_map<PeerAddress, std::uint32_t> perAddress_;
  // Hosts by the network of their owner (its first networkPrefix_ bits, in host byte order).
  std::unordered_map<std::uint32_t, std::uint32_t> perNetwork_;
  int networkPrefix_ = kDefaultNetworkPrefix;
  std::uint64_t fieldBytes_ = 0;
  std::uint64_t version_ = 0;
  std::int64_t filledAt_ = 0;
  std::vector<HostChange> changeLog_;
};

}  // namespace dirserver
