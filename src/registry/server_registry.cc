#include "registry/server_registry.h"

namespace dirserver {

std::pair<ServerRegistry::Position, bool> ServerRegistry::insert(ServerType type, ServerKey key,
                                                                 ServerRecord record) {
  auto result = map(type).try_emplace(key, std::move(record));
  if (result.second) ++changes_;
  return result;
}

std::uint32_t ServerRegistry::erase(ServerType type, ServerKey key) {
  const auto removed = static_cast<std::uint32_t>(map(type).erase(key));
  changes_ += removed;
  return removed;
}

ServerRegistry::Position ServerRegistry::erase(ServerType type, Position position) {
  ++changes_;
  return map(type).erase(position);
}

std::uint32_t ServerRegistry::totalCount() const {
  std::uint32_t total = 0;
  for (const Map& m : maps_) total += static_cast<std::uint32_t>(m.size());
  return total;
}

}  // namespace dirserver
