#include "server/descriptor_budget.h"

#include <algorithm>

namespace dirserver {

DescriptorBudget planDescriptors(std::uint64_t limit, const DescriptorDemand& demand,
                                 std::size_t maxGameConnections) {
  constexpr std::uint64_t kStandardStreams = 3;
  const std::uint64_t inherited =
      demand.openAtStart > kStandardStreams ? demand.openAtStart - kStandardStreams : 0;
  DescriptorBudget budget;
  budget.limit = limit;
  const std::uint64_t beside = demand.httpWindow + demand.controlSocket + demand.extraListeners;
  budget.reserved = demand.openAtStart + kOwnDescriptors + beside;
  budget.required = kMinDescriptors + inherited + beside;
  if (budget.enough()) {
    budget.gameConnections = static_cast<std::size_t>(
        std::min<std::uint64_t>(maxGameConnections, limit - budget.reserved));
  }
  return budget;
}

}  // namespace dirserver
