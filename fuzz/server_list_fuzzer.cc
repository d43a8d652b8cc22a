// The server list file as the server reads it at start: the input is the whole file.
//
// The loaded registry is compared with what a plain walk over the bytes finds: the records read
// whole before the first damage (a file cut short, a count beyond the file, a field length above
// 4096, bytes after the third section), each under its recomputed key, the first of identical records in a section kept; a field of odd
// length is kept as stored. A damaged file must be moved aside to a name of its own, an intact one
// left in place. The registry then goes through the listing, a save and a load, and the expiry
// sweep.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "registry/expiry.h"
#include "registry/server_key.h"
#include "persist/list_loader.h"

namespace dirserver::fuzz {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;

struct Expected {
  ServerRegistry registry;
  bool damaged = false;
  bool rewrite = false;  // a save of the registry would not give back the same bytes
};

// What the file holds, read straight from its bytes.
Expected walkFile(ByteView file) {
  Expected expected;
  std::size_t offset = 0;
  for (ServerType type : kServerTypes) {
    if (file.size() - offset < kFileCountSize) {
      expected.damaged = expected.rewrite = true;
      return expected;
    }
    // The previous record of the section, to tell whether they stand in ascending order.
    std::optional<std::pair<ServerKey, ServerFields>> previous;
    const std::uint32_t count = loadU32(file.data() + offset);
    offset += kFileCountSize;
    const std::size_t room = (file.size() - offset) / kFileRecordSize;
    for (std::size_t i = 0; i < std::min<std::size_t>(count, room); ++i) {
      const std::uint8_t* at = file.data() + offset;
      ServerRecord record;
      record.registrationTime = static_cast<std::int32_t>(loadU32(at + 4));
      for (std::size_t field = 0; field < kFieldCount; ++field) {
        const std::uint8_t* stored = at + 8 + field * kFileFieldSize;
        const std::uint16_t length = loadU16(stored);
        if (length > kFieldCapacity) {
          expected.damaged = expected.rewrite = true;
          return expected;
        }
        record.fields[field].data.assign(stored + 2, stored + 2 + length);
      }
      const ServerKey key = computeServerKey(record.fields);
      if (key != loadU32(at)) expected.rewrite = true;
      // Ascending by key, then by fields; an equal pair is a duplicate, dropped.
      if (previous && !(std::pair(key, record.fields) > *previous)) expected.rewrite = true;
      if (!previous || std::pair(key, record.fields) > *previous) previous = {key, record.fields};
      expected.registry.insert(type, key, std::move(record));
      offset += kFileRecordSize;
    }
    if (count > room) {
      expected.damaged = expected.rewrite = true;
      return expected;
    }
  }
  // Nothing may follow the third section.
  if (offset != file.size()) expected.damaged = expected.rewrite = true;
  return expected;
}

// The sweep removes exactly the records more than a day old by the clock (modular age).
void checkSweep(const ServerRegistry& before, const ServerRegistry& after) {
  checkRegistry(after, RecordSource::File);
  for (ServerType type : kServerTypes) {
    auto kept = after.begin(type);
    for (auto position = before.begin(type); position != before.end(type); ++position) {
      const auto age =
          static_cast<std::int32_t>(static_cast<std::uint32_t>(kNow) -
                                    static_cast<std::uint32_t>(position->record->registrationTime));
      if (age > kExpirySeconds) continue;
      FUZZ_REQUIRE(kept != after.end(type));
      FUZZ_REQUIRE(*kept == *position);
      ++kept;
    }
    FUZZ_REQUIRE(kept == after.end(type));
  }
}

void runFile(ByteView file) {
  CapturedConsole console;
  ServerContext context = makeContext(console.console(), kNow);
  writeWhole(context.listFile, file);
  SystemEnv env(clockAt(kNow));
  const LoadResult result = loadServerList(context, env);

  const Expected expected = walkFile(file);
  FUZZ_REQUIRE(result.rewrite == expected.rewrite);
  checkRegistry(context.registry, RecordSource::File);
  FUZZ_REQUIRE(sameRegistry(context.registry, expected.registry));
  FUZZ_REQUIRE(fileExists(context.listFile) != expected.damaged);
  FUZZ_REQUIRE(fileExists(damagedListFile(context.listFile, kNow)) == expected.damaged);
  FUZZ_REQUIRE(console.err().empty() != expected.damaged);
  const std::string loaded =
      "- loaded " + std::to_string(context.registry.totalCount()) + " servers\n";
  FUZZ_REQUIRE(console.out().ends_with(loaded));

  checkListing(context.registry, buildListReply(context.registry));
  checkSaveAndLoad(context);

  const ServerRegistry before = context.registry;
  expireServers(context);
  checkSweep(before, context.registry);
  checkConsole(console);
}

}  // namespace
}  // namespace dirserver::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dirserver::fuzz::runFile(dirserver::ByteView(data, size));
  return 0;
}
