#include "registry/server_registry.h"

namespace dirserver {

std::pair<ServerRegistry::Position, bool> ServerRegistry::insert(ServerType type, ServerKey key,
                                                                 ServerRecord record) {
  Hosts& set = hosts(type);
  const auto at = set.lower_bound(HostProbe{key, &record.fields});
  if (at != set.end() && at->key == key && at->record->fields == record.fields) return {at, false};
  ++changes_;
  ++version_;
  return {set.emplace_hint(at, HostEntry{key, std::make_shared<const ServerRecord>(std::move(record))}),
          true};
}

ServerRegistry::Position ServerRegistry::replace(ServerType type, Position position,
                                                 ServerRecord record) {
  Hosts& set = hosts(type);
  const auto next = std::next(position);
  // A set's elements are const; its node handles are not. The host keeps its place, since its key
  // and fields are unchanged.
  auto node = set.extract(position);
  node.value().record = std::make_shared<const ServerRecord>(std::move(record));
  ++version_;
  return set.insert(next, std::move(node));
}

std::uint32_t ServerRegistry::erase(ServerType type, ServerKey key, const ServerFields& fields) {
  Hosts& set = hosts(type);
  const auto at = set.find(HostProbe{key, &fields});
  if (at == set.end()) return 0;
  erase(type, at);
  return 1;
}

ServerRegistry::Position ServerRegistry::erase(ServerType type, Position position) {
  ++changes_;
  ++version_;
  return hosts(type).erase(position);
}

std::uint32_t ServerRegistry::totalCount() const {
  std::uint32_t total = 0;
  for (const Hosts& set : hosts_) total += static_cast<std::uint32_t>(set.size());
  return total;
}

RegistrySnapshot ServerRegistry::snapshot() const {
  RegistrySnapshot snapshot;
  snapshot.version = version_;
  for (ServerType type : kServerTypes) {
    auto& out = snapshot.hosts[index(type)];
    out.reserve(size(type));
    for (const HostEntry& entry : hosts(type)) out.push_back(entry);
  }
  return snapshot;
}

}  // namespace dirserver
