#include "registry/registration.h"

#include <algorithm>
#include <string>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

bool parseServerFields(ByteView body, const Console& console, ServerRecord& record,
                       ServerType& type) {
  ByteReader reader(body);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t units = 0;
    ByteView text;
    if (!reader.readU16(units) || !reader.readBytes(2 * std::size_t{units}, text)) {
      std::fprintf(console.err, "+error: invalid data size\n");
      return false;
    }
    // The whole string is converted for the type match and the console, even the part beyond
    // what a field stores.
    const std::string display = toDisplayText(text);
    if (display.empty()) {
      std::fprintf(console.err, "+error: error converting data\n");
      return false;
    }
    if (i == kPathField) {
      // The match stops at the first U+0000, as a C string comparison would.
      const auto matched = serverTypeForPath(display.c_str());
      if (!matched) {
        std::fprintf(console.err, "+error: unknown server type\n");
        return false;
      }
      type = *matched;
    } else if (i == kNameField) {
      std::fprintf(console.out, "name: %s ", consoleText(display).c_str());
    } else if (i == kLastField) {
      std::fprintf(console.out, " %s\n", consoleText(display).c_str());
    }
    const ByteView stored = text.first(std::min(text.size(), kFieldCapacity));
    record.fields[i].data.assign(stored.begin(), stored.end());
  }
  return true;
}

void handleRegistration(ServerContext& context, ByteView body) {
  const Console& console = context.console;
  std::fprintf(console.out, "* server registration\n");
  ServerRecord record;
  ServerType type{};
  if (!parseServerFields(body, console, record, type)) return;

  const ServerKey key = computeServerKey(record.fields, context.keyTrace());
  const std::int64_t now = context.wallClock();
  // Stored in 32 bits like the file keeps it; the expiry sweep's arithmetic on it is modular.
  record.registrationTime = static_cast<std::int32_t>(static_cast<std::uint32_t>(now));
  std::fprintf(console.out, "registration time: %s\n", asctimeText(now).c_str());

  ServerRegistry& registry = context.registry;
  if (auto found = registry.find(type, key); found != registry.end(type)) {
    found->second.registrationTime = record.registrationTime;
    std::fprintf(console.out,
                 "# server with key: %u was already in the list, registration time updated\n", key);
  } else if (registry.totalCount() >= kMaxServers) {
    std::fprintf(console.err, "+error: server list is full\n");
  } else {
    registry.insert(type, key, std::move(record));
    std::fprintf(console.out, "# server with key: %u was added to the list\n", key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
}

void handleShutdown(ServerContext& context, ByteView body) {
  const Console& console = context.console;
  std::fprintf(console.out, "* server shutdown\n");
  ServerRecord record;
  ServerType type{};
  if (!parseServerFields(body, console, record, type)) return;

  const ServerKey key = computeServerKey(record.fields, context.keyTrace());
  if (context.registry.erase(type, key) == 0) {
    std::fprintf(console.err, "+error: no server with key: %u was found for removal\n", key);
  } else {
    std::fprintf(console.out, "# server with key: %u was removed from list\n", key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", context.registry.totalCount());
}

}  // namespace dirserver
