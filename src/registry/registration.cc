#include "registry/registration.h"

#include <algorithm>
#include <string>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

namespace {

// Reports why a body was rejected. What the parse printed so far ("name: %s ") goes out first, so
// that the console shows the two in the order they happened.
HostOutcome reject(const Console& console, HostOutcome outcome) {
  static constexpr const char* kLines[] = {
      "+error: invalid data size\n", "+error: error converting data\n",
      "+error: unknown server type\n"};
  std::fflush(console.out);
  std::fprintf(console.err, "%s",
               kLines[static_cast<int>(outcome) - static_cast<int>(HostOutcome::InvalidDataSize)]);
  return outcome;
}

// The parse, saying why it failed: HostOutcome::Added stands for success here.
HostOutcome parseFields(ByteView body, const Console& console, ServerRecord& record,
                        ServerType& type) {
  ByteReader reader(body);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t units = 0;
    ByteView text;
    if (!reader.readU16(units) || !reader.readBytes(2 * std::size_t{units}, text)) {
      return reject(console, HostOutcome::InvalidDataSize);
    }
    // The whole string is converted for the type match and the console, even the part beyond
    // what a field stores.
    const std::string display = toDisplayText(text);
    if (display.empty()) {
      return reject(console, HostOutcome::ConversionError);
    }
    if (i == kPathField) {
      // The match stops at the first U+0000, as a C string comparison would.
      const auto matched = serverTypeForPath(display.c_str());
      if (!matched) {
        return reject(console, HostOutcome::UnknownType);
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
  return HostOutcome::Added;
}

}  // namespace

bool parseServerFields(ByteView body, const Console& console, ServerRecord& record,
                       ServerType& type) {
  return parseFields(body, console, record, type) == HostOutcome::Added;
}

namespace {

// What both requests start with: the request's first line, the parse, and the key.
struct HostRequest {
  ServerRecord record;
  ServerType type{};
  ServerKey key = 0;
  HostOutcome rejected = HostOutcome::Added;  // the reason, when the parse failed
};

HostRequest startRequest(const ServerContext& context, ByteView body, const char* firstLine) {
  std::fprintf(context.console.out, "%s", firstLine);
  HostRequest request;
  request.rejected = parseFields(body, context.console, request.record, request.type);
  if (request.rejected == HostOutcome::Added) {
    request.key = computeServerKey(request.record.fields, context.keyTrace());
  }
  return request;
}

}  // namespace

HostOutcome handleRegistration(ServerContext& context, ByteView body, PeerAddress from) {
  auto request = startRequest(context, body, "* server registration\n");
  if (request.rejected != HostOutcome::Added) return request.rejected;
  const Console& console = context.console;
  const ServerKey key = request.key;
  const std::int64_t now = context.wallClock();
  request.record.registrationTime = storedTime(now);
  std::fprintf(console.out, "registration time: %s\n",
               asctimeText(fullTime(request.record.registrationTime, now)).c_str());

  ServerRegistry& registry = context.registry;
  const ServerType type = request.type;
  HostOutcome outcome = HostOutcome::Added;
  if (auto found = registry.find(type, key, request.record.fields); found != registry.end(type)) {
    registry.replace(type, found, std::move(request.record), from);
    std::fprintf(console.out,
                 "# server with key: %u was already in the list, registration time updated\n", key);
    outcome = HostOutcome::Refreshed;
  } else if (registry.totalCount() >= kMaxServers) {
    std::fprintf(console.err, "+error: server list is full\n");
    outcome = HostOutcome::ListFull;
  } else if (from != kUnknownAddress && registry.countFrom(from) >= kMaxServersPerAddress) {
    std::fprintf(console.err, "+error: too many servers registered from this address\n");
    outcome = HostOutcome::AddressFull;
  } else {
    registry.insert(type, key, std::move(request.record), from);
    std::fprintf(console.out, "# server with key: %u was added to the list\n", key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
  return outcome;
}

HostOutcome handleShutdown(ServerContext& context, ByteView body, PeerAddress from) {
  const auto request = startRequest(context, body, "* server shutdown\n");
  if (request.rejected != HostOutcome::Added) return request.rejected;
  const Console& console = context.console;
  ServerRegistry& registry = context.registry;
  HostOutcome outcome = HostOutcome::Removed;
  const auto found = registry.find(request.type, request.key, request.record.fields);
  if (found == registry.end(request.type)) {
    std::fprintf(console.err, "+error: no server with key: %u was found for removal\n",
                 request.key);
    outcome = HostOutcome::NotFound;
  } else if (found->from != kUnknownAddress && found->from != from) {
    // The listing hands every host's strings to anyone: only the host's own address may end it.
    std::fprintf(console.err,
                 "+error: server with key: %u was registered from another address\n",
                 request.key);
    outcome = HostOutcome::OtherAddress;
  } else {
    registry.erase(request.type, found);
    std::fprintf(console.out, "# server with key: %u was removed from list\n", request.key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
  return outcome;
}

}  // namespace dirserver
