// An immutable picture of the registry at one moment, for readers off the loop thread (the saver,
// the HTTP views). Taking one copies no host strings: records are immutable and shared between
// the registry and every snapshot that holds them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "registry/server_record.h"

namespace dirserver {

// One host as a snapshot holds it: its key and its record, shared with the registry.
struct SnapshotEntry {
  ServerKey key = 0;
  std::shared_ptr<const ServerRecord> record;
};

struct RegistrySnapshot {
  // Grows with every change of the registry, refreshed registration times included.
  std::uint64_t version = 0;
  // Wall clock (seconds since 1970) when it was taken.
  std::int64_t takenAt = 0;
  // Per game type, in the registry's order: ascending key, then the fields' bytes.
  std::array<std::vector<SnapshotEntry>, kServerTypeCount> hosts;

  std::uint32_t totalCount() const {
    std::uint32_t total = 0;
    for (const auto& type : hosts) total += static_cast<std::uint32_t>(type.size());
    return total;
  }
};

using SnapshotPtr = std::shared_ptr<const RegistrySnapshot>;

}  // namespace dirserver
