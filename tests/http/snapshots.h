// Registry snapshots and a published status built by hand, for the HTTP tests, which run without
// a server loop.
#pragma once

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "registry/registry_snapshot.h"
#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver::testing {

// A host of `type` and its record.
using TypedRecord = std::pair<ServerType, ServerRecord>;

// A snapshot of `hosts`, each under its type in ascending key order, as the registry keeps them.
inline SnapshotPtr makeSnapshot(std::uint64_t version, std::int64_t takenAt,
                                const std::vector<TypedRecord>& hosts) {
  auto snapshot = std::make_shared<RegistrySnapshot>();
  snapshot->version = version;
  snapshot->takenAt = takenAt;
  std::array<HostBlock, kServerTypeCount> blocks;
  for (const auto& [type, record] : hosts) {
    blocks[index(type)].push_back(
        {computeServerKey(record.fields), std::make_shared<const ServerRecord>(record)});
  }
  for (ServerType type : kServerTypes) {
    HostBlock& entries = blocks[index(type)];
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HostEntry& a, const HostEntry& b) { return a.key < b.key; });
    snapshot->hosts[index(type)] =
        HostRange({std::make_shared<const HostBlock>(std::move(entries))});
  }
  return snapshot;
}

// A record of `name` under `type`'s path with the usual other strings.
inline TypedRecord typedHost(ServerType type, std::string_view name, std::int32_t time = 0) {
  return {type, makeRecord(hostStrings(kServerTypePaths[index(type)], name), time)};
}

}  // namespace dirserver::testing
