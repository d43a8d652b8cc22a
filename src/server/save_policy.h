// When the server list is written in whole, and how failed writes are tried again: the policy of
// the server core, apart from any thread or file, so that tests drive it with the figures they
// choose.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "persist/server_list_file.h"

namespace dirserver {

struct SavePolicy {
  // A checkpoint is due once the logs since the list in place hold this fraction of the list's size
  // (whose records are 28,694 bytes each, whatever their texts), and at least minLogBytes. A change
  // costs the log some 200 bytes and the disk about a page, so each change's share of the
  // checkpoints stays well under the page, and a start replays at most a quarter of the list's size.
  double logFraction = 0.25;
  std::uint64_t minLogBytes = 1 << 20;
  // A failed commit or checkpoint is tried again after firstRetry, each further failure doubling the
  // pause up to mostRetry.
  std::chrono::milliseconds firstRetry{1'000};
  std::chrono::milliseconds mostRetry{60'000};

  bool checkpointDue(std::uint64_t logBytes, std::uint32_t hosts) const {
    const auto bound = static_cast<double>(listFileSize(hosts)) * logFraction;
    return logBytes >= std::max(static_cast<double>(minLogBytes), bound);
  }

  // The pause after the `failures`th failure in a row (1 for the first).
  std::chrono::milliseconds retryDelay(unsigned failures) const {
    auto delay = firstRetry;
    for (unsigned i = 1; i < failures && delay < mostRetry; ++i) delay *= 2;
    return std::min(delay, mostRetry);
  }
};

}  // namespace dirserver
