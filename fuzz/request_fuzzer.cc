// One request as a peer sends it, through the server core itself: the framing, the limits, the
// dispatch, the answer, the release of everything the connection held, and the save the change
// calls for.
//
// Input: one setup byte, then the bytes the peer sends.
//   bits 0-2  which of the three known hosts (one per game type) are registered beforehand
//   bit 3     the key trace is on
//   bits 4-7  the most bytes each send hands over (0: all at once)
// The peer then waits; if the core still waits for more, its deadline passes. Bytes after the end
// of the request are never acted on: those read along with the header are dropped, the rest are
// left in the socket.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "net/reactor.h"
#include "registry/server_key.h"
#include "persist/list_loader.h"
#include "server/change_path.h"
#include "server/server_core.h"

namespace dirserver::fuzz {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::int32_t kEarlier = kNow - 5000;
constexpr std::uint32_t kPeerAddress = 0x0100007F;  // 127.0.0.1

struct Setup {
  unsigned hosts = 0;
  bool trace = false;
  std::size_t chunk = 0;
};

Setup readSetup(std::uint8_t byte) {
  return {byte & 7u, (byte & 8u) != 0, static_cast<std::size_t>(byte >> 4)};
}

// What the core must make of `input`, worked out the plain way: the header's words as they come,
// each check as soon as its word is whole.
struct Expected {
  const char* line = nullptr;  // the framing line on the error stream, if the frame fails
  bool complete = false;       // a whole request, dispatched
  MessageHeader header;
};

Expected expectedFrame(ByteView input) {
  Expected expected;
  if (input.size() < 4) return {"+error: recv() error - msg size\n", false, {}};
  expected.header.size = loadU32(input.data());
  if (expected.header.size < kHeaderSize || expected.header.size > kMaxMessageSize) {
    return {"+error: invalid msg size\n", false, {}};
  }
  if (input.size() < 8) return {"+error: recv() error - msg id\n", false, {}};
  expected.header.messageId = loadU32(input.data() + 4);
  if (expected.header.messageId != kMessageId) return {"+error: invalid msg id\n", false, {}};
  if (input.size() < 12) return {"+error: recv() error - msg type\n", false, {}};
  expected.header.messageType = loadU32(input.data() + 8);
  if (input.size() < expected.header.size) {
    return {"+error: recv() error - invalid data length\n", false, expected.header};
  }
  expected.complete = true;
  return expected;
}

// Sends `input` to the core in pieces of at most `chunk` bytes, a reactor pass after each, until
// it is all sent or the core has closed its end.
void feed(int peer, ByteView input, std::size_t chunk, Reactor& reactor) {
  const auto pump = [&] {
    for (int pass = 0; pass < 1000 && reactor.runOnce(SteadyClock::duration::zero()); ++pass) {
    }
  };
  while (!input.empty()) {
    const std::size_t count = chunk == 0 ? input.size() : std::min(chunk, input.size());
    const ssize_t sent = ::send(peer, input.data(), count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EAGAIN) {
      pump();
      continue;
    }
    if (sent <= 0) break;  // the core has closed the connection
    input = input.subspan(static_cast<std::size_t>(sent));
    pump();
  }
  pump();
}

Bytes drain(int peer) {
  Bytes out;
  std::uint8_t buffer[65536];
  for (ssize_t n; (n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

// How the request changed the registry: nothing, one record added, one record's time refreshed,
// or one record removed, and nothing else.
enum class Change { None, Added, Refreshed, Removed, Other };

struct Difference {
  Change change = Change::None;
  ServerType type{};
  const ServerRecord* record = nullptr;  // the host as it stands afterwards (or stood, if removed)
};

Difference compare(const ServerRegistry& before, const ServerRegistry& after) {
  Difference difference;
  for (ServerType type : kServerTypes) {
    auto a = before.begin(type);
    auto b = after.begin(type);
    while (a != before.end(type) || b != after.end(type)) {
      Change change;
      const ServerRecord* record;
      if (b == after.end(type) || (a != before.end(type) && HostOrder()(*a, *b))) {
        change = Change::Removed;
        record = a->record.get();
        ++a;
      } else if (a == before.end(type) || HostOrder()(*b, *a)) {
        change = Change::Added;
        record = b->record.get();
        ++b;
      } else {
        const bool sameFields = a->record->fields == b->record->fields;
        const bool sameTime = a->record->registrationTime == b->record->registrationTime;
        record = b->record.get();
        ++a;
        ++b;
        if (sameFields && sameTime) continue;
        change = sameFields ? Change::Refreshed : Change::Other;
      }
      if (difference.change != Change::None) return {Change::Other, type, record};
      difference = {change, type, record};
    }
  }
  return difference;
}

// The registry after a request of `messageType` that started from `before`.
void checkChange(std::uint32_t messageType, const ServerRegistry& before,
                 const ServerRegistry& after) {
  const Difference difference = compare(before, after);
  switch (messageType) {
    case static_cast<std::uint32_t>(MessageType::Registration): {
      FUZZ_REQUIRE(difference.change == Change::None || difference.change == Change::Added ||
                   difference.change == Change::Refreshed);
      if (difference.change == Change::None) break;
      // Hosts whose strings sum alike stand side by side; the one added or refreshed is this one.
      FUZZ_REQUIRE(difference.record->registrationTime == static_cast<std::int32_t>(kNow));
      // A host is filed under the type its path names (the match stops at the first U+0000).
      const std::string path = toDisplayText(difference.record->fields[kPathField].bytes());
      FUZZ_REQUIRE(serverTypeForPath(path.c_str()) == difference.type);
      break;
    }
    case static_cast<std::uint32_t>(MessageType::Shutdown):
      FUZZ_REQUIRE(difference.change == Change::None || difference.change == Change::Removed);
      break;
    default:
      FUZZ_REQUIRE(difference.change == Change::None);
      break;
  }
}

// The answer the peer got for a whole request of `messageType`.
void checkAnswer(std::uint32_t messageType, const Bytes& answer, const ServerRegistry& registry) {
  const Bytes ack(kAckMessage.begin(), kAckMessage.end());
  switch (messageType) {
    case static_cast<std::uint32_t>(MessageType::ListRequest):
      FUZZ_REQUIRE(answer == buildListReply(registry));
      break;
    case static_cast<std::uint32_t>(MessageType::Registration):
    case static_cast<std::uint32_t>(MessageType::Shutdown):
    case static_cast<std::uint32_t>(MessageType::AckRequest):
      FUZZ_REQUIRE(answer == ack);
      break;
    default:
      FUZZ_REQUIRE(answer.empty());
      break;
  }
}

void runRequest(ByteView input) {
  if (input.empty()) return;
  const Setup setup = readSetup(input[0]);
  input = input.subspan(1);

  CapturedConsole console;
  ServerContext context = makeContext(console.console(), kNow);
  context.traceKeys = setup.trace;
  for (ServerType type : kServerTypes) {
    if ((setup.hosts & (1u << index(type))) == 0) continue;
    ServerRecord record = knownHostRecord(type);
    record.registrationTime = kEarlier;
    const ServerKey key = computeServerKey(record.fields);
    context.registry.insert(type, key, std::move(record));
  }
  const ServerRegistry before = context.registry;

  SettableClock clock;
  Reactor reactor(clock);
  struct : Saver {
    void append(std::uint64_t, std::vector<HostChange> changes) override {
      batches.push_back(std::move(changes));
    }
    void checkpoint(SnapshotPtr, bool) override {}
    void retry() override {}
    std::vector<std::vector<HostChange>> batches;
  } saver;
  const CoreSettings settings;
  ServerStatus status;
  ChangePath changes(reactor, context, saver, status);
  changes.attach(0, false);
  ServerCore core(reactor, context, changes, settings);
  int pair[2];
  FUZZ_REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
  core.adopt(pair[1], kPeerAddress);
  feed(pair[0], input, setup.chunk, reactor);
  // The peer sends nothing more: whatever step the core waits in ends with its deadline.
  clock.advance(settings.recvTimeout);
  for (int pass = 0; pass < 1000 && reactor.runOnce(SteadyClock::duration::zero()); ++pass) {
  }
  const Bytes answer = drain(pair[0]);
  ::close(pair[0]);

  // Everything the connection held is given back.
  FUZZ_REQUIRE(core.connectionCount() == 0);
  FUZZ_REQUIRE(core.connectionsFrom(kPeerAddress) == 0);
  FUZZ_REQUIRE(core.bodyBudgetInUse() == 0);

  const Expected expected = expectedFrame(input);
  const std::string err = console.err();
  if (expected.complete) {
    checkAnswer(expected.header.messageType, answer, context.registry);
    checkChange(expected.header.messageType, before, context.registry);
  } else {
    FUZZ_REQUIRE(answer.empty());
    FUZZ_REQUIRE(err == expected.line);
    FUZZ_REQUIRE(sameRegistry(before, context.registry));
  }
  // One batch of changes for the log exactly when the registry changed, and the registry before,
  // with the batch replayed as a start replays the log, is the registry after, owners included.
  if (sameRegistry(before, context.registry)) {
    FUZZ_REQUIRE(saver.batches.empty());
  } else {
    FUZZ_REQUIRE(saver.batches.size() == 1);
    CapturedConsole replayConsole;
    ServerContext replayed = makeContext(replayConsole.console(), kNow);
    replayed.registry = before;
    for (const HostChange& change : saver.batches[0]) {
      std::string why;
      FUZZ_REQUIRE(applyLogEntry(replayed, logEntryOf(change), why));
    }
    FUZZ_REQUIRE(sameRegistry(replayed.registry, context.registry));
    for (ServerType type : kServerTypes) {
      FUZZ_REQUIRE(std::equal(replayed.registry.begin(type), replayed.registry.end(type),
                              context.registry.begin(type), context.registry.end(type),
                              [](const HostEntry& a, const HostEntry& b) { return a.from == b.from; }));
    }
  }
  checkRegistry(context.registry, RecordSource::Requests);
  checkListing(context.registry, buildListReply(context.registry));
  checkConsole(console);
}

}  // namespace
}  // namespace dirserver::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dirserver::fuzz::runRequest(dirserver::ByteView(data, size));
  return 0;
}
