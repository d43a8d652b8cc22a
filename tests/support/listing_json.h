// The JSON listing of a snapshot in one string, as the HTTP window serves it: its parts joined,
// each block of hosts encoded afresh.
#pragma once

#include <memory>
#include <string>

#include "listing/listing_json.h"

namespace dirserver::testing {

inline std::string snapshotJson(const RegistrySnapshot& snapshot, const std::string& server) {
  std::string out;
  const auto fresh = [&snapshot](const HostBlockPtr& block) {
    return std::make_shared<const std::string>(encodeHostBlockJson(*block, snapshot.takenAt));
  };
  for (const JsonPart& part : snapshotJsonParts(snapshot, server, fresh)) out += *part;
  return out;
}

}  // namespace dirserver::testing
