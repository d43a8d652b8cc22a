#include "registry/registration.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

namespace {

// A registration or shutdown body as parsed, before anything is printed: the record, its type and
// key, how far the parse got, and why it failed.
struct HostRequest {
  ServerRecord record;
  ServerType type{};
  ServerKey key = 0;
  HostOutcome rejected = HostOutcome::Added;  // the reason, when the parse failed
  std::optional<std::string> name, last;      // the third and seventh strings, once parsed
};

// Parses without printing; HostOutcome::Added in `rejected` stands for success.
HostRequest parseRequest(ByteView body) {
  HostRequest request;
  ByteReader reader(body);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t units = 0;
    ByteView text;
    if (!reader.readU16(units) || !reader.readBytes(2 * std::size_t{units}, text)) {
      request.rejected = HostOutcome::InvalidDataSize;
      return request;
    }
    // A string without a whole code unit converts to no text at all: every unit gives at least
    // one character.
    if (text.size() < 2) {
      request.rejected = HostOutcome::ConversionError;
      return request;
    }
    // Only the strings the server reads are converted (whole, even the part beyond what a field
    // stores): the path for the type match, the name and the last for the console.
    const bool read = i == kPathField || i == kNameField || i == kLastField;
    const std::string display = read ? toDisplayText(text) : std::string();
    if (i == kPathField) {
      // The match stops at the first U+0000, as a C string comparison would.
      const auto matched = serverTypeForPath(display.c_str());
      if (!matched) {
        request.rejected = HostOutcome::UnknownType;
        return request;
      }
      request.type = *matched;
    } else if (i == kNameField) {
      request.name = consoleText(display);
    } else if (i == kLastField) {
      request.last = consoleText(display);
    }
    const ByteView stored = text.first(std::min(text.size(), kFieldCapacity));
    request.record.fields[i].data.assign(stored.begin(), stored.end());
  }
  request.key = computeServerKey(request.record.fields);
  return request;
}

// Prints what the parse saw: "name: %s " once the third string was read, " %s\n" once the
// seventh was, then the rejection, if any, on console.err. The output stream is flushed first, so
// that a log of both streams shows the two in the order they happened. Returns whether the
// request was parsed.
bool printParsed(const Console& console, const HostRequest& request) {
  if (request.name) std::fprintf(console.out, "name: %s ", request.name->c_str());
  if (request.last) std::fprintf(console.out, " %s\n", request.last->c_str());
  if (request.rejected == HostOutcome::Added) return true;
  std::fflush(console.out);
  std::fputs(faultRow(*faultOf(request.rejected)).line, console.err);
  return false;
}

// Prints what both requests start with: the request's first line, what the parse saw, and the
// key's trace when it is on. Returns whether the request was parsed.
bool announce(const ServerContext& context, const HostRequest& request, const char* firstLine) {
  std::fprintf(context.console.out, "%s", firstLine);
  if (!printParsed(context.console, request)) return false;
  if (std::FILE* trace = context.keyTrace()) computeServerKey(request.record.fields, trace);
  return true;
}

// Who owns a registered host after `from` registered it again at `now` (the steady clock), and
// since when that owner was seen. The listing hands every host's strings to anyone, so a registration from another
// address renews only the time: the host stays with its owner, who alone may shut it down, and
// counts against no other address. Only a host whose owner has been silent for
// kOwnerSilenceSeconds passes to the address that registers it (a host whose own address
// changed), and one without a known owner to the first that does; neither when that address owns
// kMaxServersPerAddress hosts already, nor when its network owns context.maxHostsPerNetwork and
// the host would come to it from outside.
std::pair<PeerAddress, std::int64_t> ownerAfterRefresh(const ServerContext& context,
                                                       const HostEntry& host, PeerAddress from,
                                                       std::int64_t now) {
  const ServerRegistry& registry = context.registry;
  if (from == host.from) return {from, now};
  const bool ownerGone = host.from == kUnknownAddress ||
                         now - registry.ownerSeenAt(host) >= kOwnerSilenceSeconds;
  const bool networkHasRoom = registry.sameNetwork(from, host.from) ||
                              registry.countInNetwork(from) < context.maxHostsPerNetwork;
  if (from != kUnknownAddress && ownerGone && registry.countFrom(from) < kMaxServersPerAddress &&
      networkHasRoom) {
    return {from, now};
  }
  return {host.from, host.ownerSeenAt};
}

}  // namespace

HostOutcome handleRegistration(ServerContext& context, ByteView body, PeerAddress from) {
  HostRequest request = parseRequest(body);
  ServerRegistry& registry = context.registry;
  const std::int64_t now = context.clock->wallSeconds();
  // The owner's silence and the host's age run on the steady clock; the wall clock only stamps
  // the record.
  const std::int64_t steadyNow = context.clock->steadySeconds();
  request.record.registrationTime = storedTime(now);
  auto found = request.rejected == HostOutcome::Added
                   ? registry.find(request.type, request.key, request.record.fields)
                   : registry.end(request.type);
  if (context.summarizeRefreshes && found != registry.end(request.type)) {
    const auto [owner, seenAt] = ownerAfterRefresh(context, *found, from, steadyNow);
    registry.replace(request.type, found, std::move(request.record), owner, seenAt)->agingSince =
        steadyNow;
    ++context.unprintedRefreshes;
    return HostOutcome::Refreshed;
  }
  if (!announce(context, request, "* server registration\n")) return request.rejected;
  const Console& console = context.console;
  const ServerKey key = request.key;
  std::fprintf(console.out, "registration time: %s\n",
               asctimeText(fullTime(request.record.registrationTime, now)).c_str());

  const ServerType type = request.type;
  HostOutcome outcome = HostOutcome::Added;
  if (found != registry.end(type)) {
    const auto [owner, seenAt] = ownerAfterRefresh(context, *found, from, steadyNow);
    registry.replace(type, found, std::move(request.record), owner, seenAt)->agingSince = steadyNow;
    std::fprintf(console.out,
                 "# server with key: %u was already in the list, registration time updated\n", key);
    outcome = HostOutcome::Refreshed;
  } else if (registry.totalCount() >= context.maxHosts) {
    std::fputs(faultRow(ConsoleError::ListFull).line, console.err);
    outcome = HostOutcome::ListFull;
  } else if (registry.fieldBytes() + storedBytes(request.record.fields) > context.maxHostBytes) {
    std::fputs(faultRow(ConsoleError::StringsFull).line, console.err);
    outcome = HostOutcome::StringsFull;
  } else if (from != kUnknownAddress && registry.countFrom(from) >= kMaxServersPerAddress) {
    std::fputs(faultRow(ConsoleError::AddressFull).line, console.err);
    outcome = HostOutcome::AddressFull;
  } else if (from != kUnknownAddress &&
             registry.countInNetwork(from) >= context.maxHostsPerNetwork) {
    std::fputs(faultRow(ConsoleError::NetworkFull).line, console.err);
    outcome = HostOutcome::NetworkFull;
  } else if (from != kUnknownAddress &&
             !context.newHostRate.take(from, context.clock->steadyNow())) {
    // Last of the checks, so that only a host that is filed takes from the address's rate.
    std::fputs(faultRow(ConsoleError::NewHostRate).line, console.err);
    outcome = HostOutcome::NewHostRate;
  } else {
    registry.insert(type, key, std::move(request.record), from, steadyNow).first->agingSince =
        steadyNow;
    std::fprintf(console.out, "# server with key: %u was added to the list\n", key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
  return outcome;
}

HostOutcome handleShutdown(ServerContext& context, ByteView body, PeerAddress from) {
  const HostRequest request = parseRequest(body);
  if (!announce(context, request, "* server shutdown\n")) return request.rejected;
  const Console& console = context.console;
  ServerRegistry& registry = context.registry;
  HostOutcome outcome = HostOutcome::Removed;
  const auto found = registry.find(request.type, request.key, request.record.fields);
  if (found == registry.end(request.type)) {
    std::fprintf(console.err, faultRow(ConsoleError::NotFound).line, request.key);
    outcome = HostOutcome::NotFound;
  } else if (found->from != kUnknownAddress && found->from != from) {
    // The listing hands every host's strings to anyone: only the host's own address may end it.
    std::fprintf(console.err, faultRow(ConsoleError::OtherAddress).line, request.key);
    outcome = HostOutcome::OtherAddress;
  } else {
    registry.erase(request.type, found);
    std::fprintf(console.out, "# server with key: %u was removed from list\n", request.key);
  }
  std::fprintf(console.out, "> number of servers: %u\n", registry.totalCount());
  return outcome;
}

}  // namespace dirserver
