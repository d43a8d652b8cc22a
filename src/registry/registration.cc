#include "registry/registration.h"

#include <algorithm>
#include <optional>
#include <string>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

namespace {

// Reports why a body was rejected. What the parse printed so far ("name: %s ") goes out first, so
// that the console shows the two in the order they happened.
bool reject(const Console& console, const char* line) {
  std::fflush(console.out);
  std::fprintf(console.err, "%s", line);
  return false;
}

}  // namespace

bool parseServerFields(ByteView body, const Console& console, ServerRecord& record,
                       ServerType& type) {
  ByteReader reader(body);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t units = 0;
    ByteView text;
    if (!reader.readU16(units) || !reader.readBytes(2 * std::size_t{units}, text)) {
      return reject(console, "+error: invalid data size\n");
    }
    // The whole string is converted for the type match and the console, even the part beyond
    // what a field stores.
    const std::string display = toDisplayText(text);
    if (display.empty()) {
      return reject(console, "+error: error converting data\n");
    }
    if (i == kPathField) {
      // The match stops at the first U+0000, as a C string comparison would.
      const auto matched = serverTypeForPath(display.c_str());
      if (!matched) {
        return reject(console, "+error: unknown server type\n");
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

void putCountedText(Bytes& out, ByteView utf16le) {
  putU16(out, static_cast<std::uint16_t>(utf16le.size() / 2));
  putBytes(out, utf16le);
}

namespace {

// What both requests start with: the request's first line, the parse, and the key.
struct HostRequest {
  ServerRecord record;
  ServerType type{};
  ServerKey key = 0;
};

std::optional<HostRequest> startRequest(const ServerContext& context, ByteView body,
                                        const char* firstLine) {
  std::fprintf(context.console.out, "%s", firstLine);
  HostRequest request;
  if (!parseServerFields(body, context.console, request.record, request.type)) return std::nullopt;
  request.key = computeServerKey(request.record.fields, context.keyTrace());
  return request;
}

}  // namespace

void handleRegistration(ServerContext& context, ByteView body) {
  auto request = startRequest(context, body, "* server registration\n");
  if (!request) return;
  const Console& console = context.console;
  const ServerKey key = request->key;
  const std::int64_t now = context.wallClock();
  // Stored in 32 bits like the file keeps it; the expiry sweep's arithmetic on it is modular.
  request->record.registrationTime = static_cast<std::int32_t>(static_cast<std::uint32_t>(now));
  std::fprintf(console.out, "registration time: %s\n", asctimeText(now).c_str());

  ServerRegistry& registry = context.registry;
  if (auto found = registry.find(request->type, key); found != registry.end(request->type)) {
    found->second.registrationTime = request->record.registrationTime;
    std::fprintf(console.out,
                 "# server with key: %u was already in the list, registration time updated\n", key);
  } else if (registry.totalCount() >= kMaxServers) {
    std::fprintf(console.err, "+error: server list is full\n");
  } else {
    registry.insert(request->type, key, std::move(request->record));
    std::fprintf(console.out, "# server with key: %u was added to the list\n", key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
}

void handleShutdown(ServerContext& context, ByteView body) {
  const auto request = startRequest(context, body, "* server shutdown\n");
  if (!request) return;
  const Console& console = context.console;
  if (context.registry.erase(request->type, request->key) == 0) {
    std::fprintf(console.err, "+error: no server with key: %u was found for removal\n",
                 request->key);
  } else {
    std::fprintf(console.out, "# server with key: %u was removed from list\n", request->key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", context.registry.totalCount());
}

}  // namespace dirserver
