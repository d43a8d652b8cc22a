#include "registry/expiry.h"

#include <cstdlib>
#include <string>

#include "common/text.h"

namespace dirserver {
namespace {

// "2 days 00:00:05", "00:11:00".
std::string durationText(std::int64_t seconds) {
  constexpr std::int64_t kDay = 86400;
  std::string text;
  if (seconds >= kDay) {
    const std::int64_t days = seconds / kDay;
    text = std::to_string(days) + (days == 1 ? " day " : " days ");
  }
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02lld:%02lld:%02lld",
                static_cast<long long>(seconds % kDay / 3600),
                static_cast<long long>(seconds % 3600 / 60), static_cast<long long>(seconds % 60));
  return text + clock;
}

// Reads both clocks; prints the line of a step since the last reading.
void watchClock(ServerContext& context, std::int64_t wall, std::int64_t steady) {
  const std::int64_t ahead = wall - steady;
  if (context.wallAheadOfSteady) {
    const std::int64_t step = ahead - *context.wallAheadOfSteady;
    if (std::llabs(step) > kClockStepSeconds) {
      std::fprintf(context.console.err,
                   "+warning: the wall clock stepped %s by %s; hosts keep aging by the monotonic "
                   "clock\n",
                   step > 0 ? "forward" : "back", durationText(std::llabs(step)).c_str());
    }
  }
  context.wallAheadOfSteady = ahead;
}

void anchor(const HostEntry& host, std::int64_t wall, std::int64_t steady) {
  if (host.agingSince != HostEntry::kNotAnchored) return;
  const std::int32_t age = registrationAge(host.record->registrationTime, wall);
  host.agingSince = steady - (age > 0 ? age : 0);
}

}  // namespace

void anchorHostAges(ServerContext& context) {
  const std::int64_t wall = context.clock->wallSeconds();
  const std::int64_t steady = context.clock->steadySeconds();
  for (ServerType type : kServerTypes) {
    for (auto position = context.registry.begin(type); position != context.registry.end(type);
         ++position) {
      anchor(*position, wall, steady);
    }
  }
  context.wallAheadOfSteady = wall - steady;
}

void expireServers(ServerContext& context) {
  const std::int64_t wall = context.clock->wallSeconds();
  const std::int64_t now = context.clock->steadySeconds();
  watchClock(context, wall, now);
  ServerRegistry& registry = context.registry;
  bool removedAny = false;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type);) {
      anchor(*position, wall, now);
      if (now - position->agingSince <= kExpirySeconds) {
        ++position;
        continue;
      }
      const ServerRecord& record = *position->record;
      const std::string name = toDisplayText(record.fields[kNameField].bytes());
      if (!name.empty()) {
        std::fprintf(context.console.out, "*auto-cleaning server: %s\n", consoleText(name).c_str());
      }
      position = registry.erase(type, position);
      removedAny = true;
    }
  }
  if (removedAny) {
    std::fprintf(context.console.out, "> number of servers: %u\n", registry.totalCount());
  }
}

}  // namespace dirserver
