// What the fuzz targets share: the check that stops the process on a broken invariant, a scratch
// directory for server list files, captured console streams, and the invariants of the registry,
// the server list file and the listing reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "common/console.h"
#include "registry/server_context.h"
#include "registry/server_registry.h"
#include "support/test_support.h"

// Every fuzz target defines this; libFuzzer calls it once per input, the replay main once per file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace dirserver::fuzz {

[[noreturn]] void fail(const char* condition, const char* file, int line);

}  // namespace dirserver::fuzz

// Stops the process (abort) when `condition` does not hold, naming it on standard error. Unlike
// assert it stays on in optimised builds.
#define FUZZ_REQUIRE(condition) \
  ((condition) ? void() : ::dirserver::fuzz::fail(#condition, __FILE__, __LINE__))

namespace dirserver::fuzz {

// A directory of this process's own, on tmpfs when the machine has /dev/shm (so that the syncs of
// saveServerList cost nothing), removed when the process exits. Directories left behind by
// processes that died (a crash found by the fuzzer ends the process at once) are removed when the
// next one is made.
const std::string& scratchDirectory();

// The server list file path in scratchDirectory(), with nothing left from the previous input:
// the file, its temporary file and its damaged copies are removed.
std::string freshListFile();

bool fileExists(const std::string& path);

// Writes `bytes` as the whole file at `path`.
void writeWhole(const std::string& path, ByteView bytes);

using testing::CapturedConsole;
using testing::requestBody;

// The seven strings of a well-formed host of `type`, one per game type; the request target can
// register them beforehand, and the seed corpus refreshes and shuts them down.
std::vector<std::string> knownHostStrings(ServerType type);

// The record that registering knownHostStrings(type) files (its time left at 0).
ServerRecord knownHostRecord(ServerType type);

// Writes the list the log target's inputs follow (the known hosts of every type, each owned by
// 192.0.2.1) as `listFile`, with its owners file; yields its fingerprint.
std::uint64_t writeKnownList(const std::string& listFile);

// A context for one input: its console captured, its clock fixed at `now`, its list file fresh.
ServerContext makeContext(const Console& console, std::int64_t now);

// A clock standing still at `wallSeconds` (and at one steady time), living as long as the program.
const Clock& clockAt(std::int64_t wallSeconds);

// Whatever a peer or a file sent, the console shows no control character but the line ends
// (no forged lines, no terminal escape sequences). Checks both captured streams.
void checkConsole(CapturedConsole& console);

// Where the records of a registry came from. Requests store whole UTF-16 code units; a server
// list file may hold a field of odd length, which the server keeps as it is.
enum class RecordSource { Requests, File };

// Every record is filed under the key computed from its fields, every field holds at most
// kFieldCapacity bytes (whole code units when all records came from requests), and the registry
// holds at most kMaxServers records.
void checkRegistry(const ServerRegistry& registry, RecordSource source);

// The same keys in the same maps, with equal records.
bool sameRegistry(const ServerRegistry& a, const ServerRegistry& b);

// The file that saveServerList just wrote for `context` has the size its records call for, and
// loads back whole, undamaged, into a fresh context as the same registry.
void checkSavedFile(const ServerContext& context);

// Saves the registry of `context` and checks the file (checkSavedFile).
void checkSaveAndLoad(const ServerContext& context);

// The listing of `registry` as the server sends it: the header's size is the reply's size, the
// entry count is the registry's plus the four directories (low 16 bits), the length is what the
// records call for, and the reply decodes into exactly the registry's records (a field of odd
// length without its last byte).
void checkListing(const ServerRegistry& registry, ByteView reply);

}  // namespace dirserver::fuzz
