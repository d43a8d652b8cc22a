#include "registry/expiry.h"

#include <string>

#include "common/text.h"

namespace dirserver {

void expireServers(ServerContext& context) {
  const std::int64_t now = context.wallClock();
  ServerRegistry& registry = context.registry;
  bool removedAny = false;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type);) {
      const ServerRecord& record = *position->record;
      if (registrationAge(record.registrationTime, now) <= kExpirySeconds) {
        ++position;
        continue;
      }
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
