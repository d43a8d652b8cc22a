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
  budget.reserved = demand.openAtStart + kOwnDescriptors + demand.httpWindow;
  budget.required = kMinDescriptors + inherited + demand.httpWindow;
  if (budget.enough()) {
    budget.gameConnections = static_cast<std::size_t>(
        std::min<std::uint64_t>(maxGameConnections, limit - budget.reserved));
  }
  return budget;
}

}  // namespace dirserver
