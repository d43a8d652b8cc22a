// One request as a peer sends it, through the framing, the dispatch and the save that follows, as
// the event loop does it.
//
// Input: one setup byte, then the bytes the peer sends.
//   bits 0-2  which of the three known hosts (one per game type) are registered beforehand
//   bit 3     the key trace is on
//   bits 4-7  the most bytes each receive hands over (0: as many as the current step takes)
// Bytes after the end of the request are not read, as the server leaves them in the socket.

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "net/dispatch.h"
#include "net/framing.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"

namespace dirserver::fuzz {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::int32_t kEarlier = kNow - 5000;

struct Setup {
  unsigned hosts = 0;
  bool trace = false;
  std::size_t chunk = 0;
};

Setup readSetup(std::uint8_t byte) {
  return {byte & 7u, (byte & 8u) != 0, static_cast<std::size_t>(byte >> 4)};
}

// Feeds `input` to the reader as receives of at most `chunk` bytes would. Returns the number of
// bytes taken; the reader is then Done, Rejected, or waiting for more.
std::size_t feed(FrameReader& frame, ByteView input, std::size_t chunk) {
  std::size_t taken = 0;
  for (;;) {
    const auto step = frame.step();
    if (step == FrameReader::Step::Done || step == FrameReader::Step::Rejected) break;
    // The event loop may hold a body back until it has room for it.
    if (step == FrameReader::Step::Body && !frame.bodyAllocated()) {
      FUZZ_REQUIRE(frame.space().empty());
      frame.allocateBody();
    }
    const auto space = frame.space();
    FUZZ_REQUIRE(!space.empty());
    if (taken == input.size()) {
      // The peer stops here: every unfinished step has its line.
      FUZZ_REQUIRE(frame.failureLine() != nullptr);
      break;
    }
    std::size_t count = std::min(space.size(), input.size() - taken);
    if (chunk != 0) count = std::min(count, chunk);
    std::memcpy(space.data(), input.data() + taken, count);
    taken += count;
    const char* rejection = frame.received(count);
    FUZZ_REQUIRE((rejection != nullptr) == (frame.step() == FrameReader::Step::Rejected));
  }
  if (frame.step() == FrameReader::Step::Done || frame.step() == FrameReader::Step::Rejected) {
    FUZZ_REQUIRE(frame.space().empty());
  }
  return taken;
}

// What the framing must have made of the first bytes of `input`.
void checkFrame(const FrameReader& frame, ByteView input, std::size_t taken) {
  if (frame.step() == FrameReader::Step::Rejected) {
    // Refused on the size as soon as its word is in, else on the id.
    FUZZ_REQUIRE(taken >= 4 && taken <= kHeaderSize);
    const std::uint32_t size = loadU32(input.data());
    if (size >= kHeaderSize && size <= kMaxMessageSize) {
      FUZZ_REQUIRE(taken >= 8 && loadU32(input.data() + 4) != kMessageId);
    }
    return;
  }
  if (frame.step() != FrameReader::Step::Done) {
    FUZZ_REQUIRE(taken == input.size());
    return;
  }
  const MessageHeader& header = frame.header();
  FUZZ_REQUIRE(taken == header.size);
  FUZZ_REQUIRE(header.size == loadU32(input.data()));
  FUZZ_REQUIRE(header.size >= kHeaderSize && header.size <= kMaxMessageSize);
  FUZZ_REQUIRE(header.messageId == kMessageId);
  FUZZ_REQUIRE(header.messageType == loadU32(input.data() + 8));
  FUZZ_REQUIRE(frame.body().size() == header.size - kHeaderSize);
  FUZZ_REQUIRE(std::equal(frame.body().begin(), frame.body().end(), input.begin() + kHeaderSize));
}

// How the request changed the registry: nothing, one record added, one record's time refreshed,
// or one record removed, and nothing else.
enum class Change { None, Added, Refreshed, Removed, Other };

struct Difference {
  Change change = Change::None;
  ServerType type{};
  ServerKey key = 0;
};

Difference compare(const ServerRegistry& before, const ServerRegistry& after) {
  Difference difference;
  for (ServerType type : kServerTypes) {
    auto a = before.begin(type);
    auto b = after.begin(type);
    while (a != before.end(type) || b != after.end(type)) {
      Change change;
      ServerKey key;
      if (b == after.end(type) || (a != before.end(type) && a->first < b->first)) {
        change = Change::Removed;
        key = a->first;
        ++a;
      } else if (a == before.end(type) || b->first < a->first) {
        change = Change::Added;
        key = b->first;
        ++b;
      } else {
        const bool sameFields = a->second.fields == b->second.fields;
        const bool sameTime = a->second.registrationTime == b->second.registrationTime;
        key = a->first;
        ++a;
        ++b;
        if (sameFields && sameTime) continue;
        change = sameFields ? Change::Refreshed : Change::Other;
      }
      if (difference.change != Change::None) return {Change::Other, type, key};
      difference = {change, type, key};
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
      const auto position =
          std::find_if(after.begin(difference.type), after.end(difference.type),
                       [&](const auto& entry) { return entry.first == difference.key; });
      FUZZ_REQUIRE(position != after.end(difference.type));
      FUZZ_REQUIRE(position->second.registrationTime == static_cast<std::int32_t>(kNow));
      // A host is filed under the type its path names (the match stops at the first U+0000).
      const std::string path = toDisplayText(position->second.fields[kPathField].bytes());
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

void checkAnswer(std::uint32_t messageType, const Dispatched& dispatched,
                 const ServerRegistry& registry) {
  const bool ack = dispatched.answer != nullptr &&
                   std::equal(dispatched.answer->begin(), dispatched.answer->end(),
                              kAckMessage.begin(), kAckMessage.end());
  switch (messageType) {
    case static_cast<std::uint32_t>(MessageType::ListRequest):
      FUZZ_REQUIRE(dispatched.answer != nullptr && !dispatched.save);
      FUZZ_REQUIRE(*dispatched.answer == buildListReply(registry));
      break;
    case static_cast<std::uint32_t>(MessageType::Registration):
    case static_cast<std::uint32_t>(MessageType::Shutdown):
      FUZZ_REQUIRE(ack && dispatched.save);
      break;
    case static_cast<std::uint32_t>(MessageType::AckRequest):
      FUZZ_REQUIRE(ack && !dispatched.save);
      break;
    default:
      FUZZ_REQUIRE(dispatched.answer == nullptr && !dispatched.save);
      break;
  }
}

void runRequest(ByteView input) {
  if (input.empty()) return;
  const Setup setup = readSetup(input[0]);
  input = input.subspan(1);

  CapturedConsole console;
  ServerContext context = makeContext(console.console(), kNow);
  context.checksumTrace = setup.trace;
  for (ServerType type : kServerTypes) {
    if ((setup.hosts & (1u << index(type))) == 0) continue;
    ServerRecord record = knownHostRecord(type);
    record.registrationTime = kEarlier;
    const ServerKey key = computeServerKey(record.fields);
    context.registry.insert(type, key, std::move(record));
  }
  const ServerRegistry before = context.registry;

  FrameReader frame;
  const std::size_t taken = feed(frame, input, setup.chunk);
  checkFrame(frame, input, taken);

  if (frame.step() == FrameReader::Step::Done) {
    ListReplyCache listing;
    const Dispatched dispatched = handleConnection(context, listing, frame.header(), frame.body());
    checkAnswer(frame.header().messageType, dispatched, context.registry);
    checkChange(frame.header().messageType, before, context.registry);
    if (dispatched.save) {
      saveServerList(context);
      checkSavedFile(context);
    }
  } else {
    FUZZ_REQUIRE(sameRegistry(before, context.registry));
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
