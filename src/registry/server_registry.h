// The registry: every registered host, in three ordered maps, one per game type.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

#include "registry/server_record.h"

namespace dirserver {

// The most hosts the registry holds in all. The listing reply counts its entries in 16 bits and
// adds four directory entries, so 65531 hosts is the most a client can be told about.
inline constexpr std::uint32_t kMaxServers = 65535 - 4;

// Three maps from key to record, indexed by ServerType. Each map holds a key at most once and is
// walked in ascending unsigned key order; the same key may stand in several maps as independent
// records. Records are held by value. Not thread-safe: the server uses it from one thread only.
class ServerRegistry {
 public:
  using Map = std::map<ServerKey, ServerRecord>;
  using Position = Map::iterator;
  using ConstPosition = Map::const_iterator;

  // The record filed under exactly `key`, or end(type).
  Position find(ServerType type, ServerKey key) { return map(type).find(key); }
  ConstPosition find(ServerType type, ServerKey key) const { return map(type).find(key); }

  // Files `record` under `key` unless the map already holds that key, in which case nothing
  // changes and `record` is dropped. Yields the position under `key` and whether it was added.
  std::pair<Position, bool> insert(ServerType type, ServerKey key, ServerRecord record);

  // Removes the record filed under `key`; yields 1 when there was one, else 0.
  std::uint32_t erase(ServerType type, ServerKey key);

  // Removes the record at `position` (which must be valid); yields the position after it.
  Position erase(ServerType type, Position position);

  Position begin(ServerType type) { return map(type).begin(); }
  Position end(ServerType type) { return map(type).end(); }
  ConstPosition begin(ServerType type) const { return map(type).begin(); }
  ConstPosition end(ServerType type) const { return map(type).end(); }

  std::uint32_t size(ServerType type) const { return static_cast<std::uint32_t>(map(type).size()); }
  std::uint32_t totalCount() const;

  // Grows by one at every insert and erase; a changed registrationTime does not count. Lets a
  // reader tell cheaply whether the set of records (which is all the listing shows) has changed.
  std::uint64_t changeCount() const { return changes_; }

 private:
  Map& map(ServerType type) { return maps_[index(type)]; }
  const Map& map(ServerType type) const { return maps_[index(type)]; }

  std::array<Map, kServerTypeCount> maps_;
  std::uint64_t changes_ = 0;
};

}  // namespace dirserver
