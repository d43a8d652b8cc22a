#include "registry/registration.h"

#include <algorithm>
#include <string>
#include <utility>

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

// Who owns a registered host after `from` registered it again at `now`, and since when that owner
// was seen. The listing hands every host's strings to anyone, so a registration from another
// address renews only the time: the host stays with its owner, who alone may shut it down, and
// counts against no other address. Only a host whose owner has been silent for
// kOwnerSilenceSeconds passes to the address that registers it (a host whose own address
// changed), and one without a known owner to the first that does; neither when that address owns
// kMaxServersPerAddress hosts already.
std::pair<PeerAddress, std::int64_t> ownerAfterRefresh(const ServerRegistry& registry,
                                                       const HostEntry& host, PeerAddress from,
                                                       std::int64_t now) {
  if (from == host.from) return {from, now};
  const bool ownerGone = host.from == kUnknownAddress ||
                         now - registry.ownerSeenAt(host) >= kOwnerSilenceSeconds;
  if (from != kUnknownAddress && ownerGone && registry.countFrom(from) < kMaxServersPerAddress) {
    return {from, now};
  }
  return {host.from, host.ownerSeenAt};
}

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
  // Stored in 32 bits like the file keeps it; the expiry sweep's arithmetic on it is modular.
  request.record.registrationTime = static_cast<std::int32_t>(static_cast<std::uint32_t>(now));
  std::fprintf(console.out, "registration time: %s\n", asctimeText(now).c_str());

  ServerRegistry& registry = context.registry;
  const ServerType type = request.type;
  HostOutcome outcome = HostOutcome::Added;
  if (auto found = registry.find(type, key, request.record.fields); found != registry.end(type)) {
    const auto [owner, seenAt] = ownerAfterRefresh(registry, *found, from, now);
    registry.replace(type, found, std::move(request.record), owner, seenAt);
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
    registry.insert(type, key, std::move(request.record), from, now);
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
