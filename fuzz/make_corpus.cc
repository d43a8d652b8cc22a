// Writes the seed corpus of the fuzz targets: well-formed inputs of every kind and the known-bad
// ones, each a file named after what it holds, in <dir>/request, <dir>/server_list,
// <dir>/list_reply and <dir>/listing_pieces. Usage: fuzz_make_corpus DIR

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "protocol/message.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"
#include "persist/write_ahead_log.h"
#include "registry/host_id.h"

namespace dirserver::fuzz {
namespace {

std::filesystem::path gRoot;
std::size_t gWritten = 0;

void writeSeed(const std::string& target, const std::string& name, ByteView bytes) {
  const std::filesystem::path dir = gRoot / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
    std::exit(1);
  }
  ++gWritten;
}

// ---------------------------------------------------------------------------------------------
// Requests: one setup byte (known hosts registered beforehand, key trace, receive size), then the
// bytes of the request.

constexpr std::uint8_t kNoHosts = 0;
constexpr std::uint8_t kAllHosts = 7;
constexpr std::uint8_t kTrace = 8;
std::uint8_t hostBit(ServerType type) { return static_cast<std::uint8_t>(1u << index(type)); }
std::uint8_t receiveSize(std::uint8_t bytes) { return static_cast<std::uint8_t>(bytes << 4); }

Bytes frame(std::uint32_t type, ByteView body) {
  Bytes out;
  putHeader(out, {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId, type});
  putBytes(out, body);
  return out;
}

Bytes frame(MessageType type, ByteView body = {}) {
  return frame(static_cast<std::uint32_t>(type), body);
}

void request(const std::string& name, std::uint8_t setup, ByteView bytes) {
  Bytes input{setup};
  putBytes(input, bytes);
  writeSeed("request", name, input);
}

std::vector<std::string> strings(ServerType type, const std::string& name) {
  std::vector<std::string> host = knownHostStrings(type);
  host[kNameField] = name;
  return host;
}

void writeRequests() {
  constexpr auto kQuorv = ServerType::GetTheQuorv;
  constexpr auto kMelee = ServerType::Melee;
  constexpr auto kTeam = ServerType::TeamMelee;
  const auto registration = [](const std::vector<std::string>& host) {
    return frame(MessageType::Registration, requestBody(host));
  };
  const auto shutdown = [](const std::vector<std::string>& host) {
    return frame(MessageType::Shutdown, requestBody(host));
  };

  // Every type the server handles, and some it does not.
  request("ack-request", kNoHosts, frame(MessageType::AckRequest));
  request("ack-request-with-body", kAllHosts, frame(MessageType::AckRequest, Bytes(9, 0x41)));
  request("list-request-empty", kNoHosts, frame(MessageType::ListRequest));
  request("list-request-three-hosts", kAllHosts, frame(MessageType::ListRequest, Bytes{1, 2, 3}));
  for (std::uint32_t type : {0u, 1u, 3u, 5u, 7u, 9u, 0xFFu, 0x12345678u}) {
    request("unhandled-type-" + std::to_string(type), kAllHosts, frame(type, {}));
  }

  // Registration and shutdown of new, known and unknown hosts of every type.
  for (ServerType type : kServerTypes) {
    const std::string suffix = "-type-" + std::to_string(index(type));
    request("register-new" + suffix, kNoHosts, registration(knownHostStrings(type)));
    request("register-refresh" + suffix, hostBit(type), registration(knownHostStrings(type)));
    request("shutdown-known" + suffix, kAllHosts, shutdown(knownHostStrings(type)));
    request("shutdown-unknown" + suffix, kNoHosts, shutdown(knownHostStrings(type)));
  }
  request("register-beside-others", hostBit(kQuorv) | hostBit(kTeam),
          registration(strings(kMelee, "Another host")));
  request("register-with-trace", kTrace | kAllHosts, registration(strings(kTeam, "Traced")));
  request("shutdown-with-trace", kTrace | kAllHosts, shutdown(knownHostStrings(kMelee)));

  // Arriving a few bytes at a time.
  request("register-1-byte-receives", receiveSize(1), registration(knownHostStrings(kQuorv)));
  request("register-5-byte-receives", receiveSize(5) | hostBit(kMelee),
          registration(knownHostStrings(kMelee)));
  request("shutdown-15-byte-receives", receiveSize(15) | kAllHosts,
          shutdown(knownHostStrings(kTeam)));
  request("list-3-byte-receives", receiveSize(3) | kAllHosts, frame(MessageType::ListRequest));

  // Bodies the handlers must refuse or cut.
  std::vector<std::string> host = knownHostStrings(kMelee);
  host.pop_back();
  request("register-six-strings", kNoHosts, registration(host));
  Bytes body = requestBody(knownHostStrings(kMelee));
  body.pop_back();
  request("register-cut-inside-last-string", kNoHosts, frame(MessageType::Registration, body));
  Bytes overCount;
  putU16(overCount, 0xFFFF);
  putBytes(overCount, toUtf16le("/Aviantorvale/Melee Game"));
  request("register-count-beyond-body", kNoHosts, frame(MessageType::Registration, overCount));
  host = knownHostStrings(kMelee);
  host[4] = "";
  request("register-empty-string", kNoHosts, registration(host));
  host = knownHostStrings(kMelee);
  host[kPathField] = "/Aviantorvale/Melee game";
  request("register-unknown-path", kNoHosts, registration(host));
  host[kPathField] = std::string("/Aviantorvale/Melee Game\0trailing", 33);
  request("register-path-then-nul", kNoHosts, registration(host));
  host = knownHostStrings(kQuorv);
  host[5] = std::string(3000, 'x');  // 6000 bytes, stored as the first 4096
  request("register-long-string", kNoHosts, registration(host));
  host = knownHostStrings(kQuorv);
  host.push_back("an eighth string");
  request("register-eight-strings", kNoHosts, registration(host));
  request("register-empty-body", kNoHosts, frame(MessageType::Registration));
  request("shutdown-empty-body", kAllHosts, frame(MessageType::Shutdown));

  // Names that try to reach the operator's terminal.
  request("register-name-forges-line", kNoHosts,
          registration(strings(kMelee, "x\n# server with key: 1 was removed from list")));
  request("register-name-escape", kNoHosts,
          registration(strings(kMelee,
                               "\x1b[2J\x1b]0;title\x07 \xc2\x9b"
                               "31m")));
  Bytes surrogates;
  for (std::uint16_t unit : {0xD800, 0x41, 0xDC00, 0xD83D, 0xDE00, 0xDBFF}) {
    putU16(surrogates, unit);
  }
  body = requestBody({std::string(kServerTypePaths[index(kTeam)]), "addr"});
  putU16(body, static_cast<std::uint16_t>(surrogates.size() / 2));
  putBytes(body, surrogates);
  putBytes(body, requestBody({"1", "2", "3", "\x7f"}));
  request("register-unpaired-surrogates", kNoHosts, frame(MessageType::Registration, body));

  // Frames the framing must refuse, or that end early.
  Bytes bad = frame(MessageType::AckRequest);
  storeU32(bad.data(), kHeaderSize - 1);
  request("size-too-small", kNoHosts, bad);
  storeU32(bad.data(), kMaxMessageSize + 1);
  request("size-too-large", kNoHosts, bad);
  storeU32(bad.data(), 0xFFFFFFFF);
  request("size-all-ones", kNoHosts, bad);
  bad = frame(MessageType::AckRequest);
  storeU32(bad.data() + 4, kMessageId + 1);
  request("wrong-id", kNoHosts, bad);
  request("cut-inside-size", kNoHosts, Bytes{0x20, 0x00});
  request("cut-inside-id", kNoHosts, Bytes{0x20, 0x00, 0x00, 0x00, 0x1E});
  request("cut-inside-type", kNoHosts, Bytes{0x20, 0x00, 0x00, 0x00, 0x1E, 0, 0, 0, 4});
  Bytes cut = registration(knownHostStrings(kQuorv));
  cut.resize(cut.size() - 7);
  request("cut-inside-body", kAllHosts, cut);
  Bytes trailing = frame(MessageType::AckRequest);
  putBytes(trailing, frame(MessageType::ListRequest));
  request("bytes-after-request", kNoHosts, trailing);
  request("empty", kNoHosts, {});
}

// ---------------------------------------------------------------------------------------------
// Server list files.

ServerRecord hostRecord(ServerType type, const std::string& name, std::int32_t time) {
  ServerRecord record;
  const std::vector<std::string> host = strings(type, name);
  for (std::size_t i = 0; i < kFieldCount; ++i) record.fields[i].data = toUtf16le(host[i]);
  record.registrationTime = time;
  return record;
}

// A file of the given sections, each a list of records, written as the server writes them but in
// the order given and under their computed keys.
Bytes listFile(const std::vector<std::vector<ServerRecord>>& sections) {
  Bytes out;
  for (const auto& section : sections) {
    putU32(out, static_cast<std::uint32_t>(section.size()));
    for (const ServerRecord& record : section) {
      appendFileRecord(out, computeServerKey(record.fields), record);
    }
  }
  return out;
}

constexpr std::int32_t kRecent = 1'700'000'000 - 60;
constexpr std::int32_t kOld = 1'700'000'000 - 90'000;

// Offset of field `i`'s length within the file record at `record`.
std::size_t fieldAt(std::size_t record, std::size_t i) { return record + 8 + i * kFileFieldSize; }

void writeFiles(const std::string& target, bool all) {
  constexpr auto kQuorv = ServerType::GetTheQuorv;
  constexpr auto kMelee = ServerType::Melee;
  constexpr auto kTeam = ServerType::TeamMelee;
  const ServerRecord a = hostRecord(kQuorv, "Alpha", kRecent);
  const ServerRecord b = hostRecord(kMelee, "Bravo", kOld);  // expires at the sweep
  const ServerRecord c = hostRecord(kTeam, "Charlie", kRecent);
  const ServerRecord d = hostRecord(kTeam, "Delta", -5);

  writeSeed(target, "file-no-records", listFile({{}, {}, {}}));
  const Bytes one = listFile({{}, {b}, {}});
  writeSeed(target, "file-one-record", one);
  if (!all) return;

  writeSeed(target, "file-three-records", listFile({{a}, {}, {c, d}}));
  writeSeed(target, "file-empty", {});

  // Damage: cut short, counts beyond the file, lengths beyond a field.
  Bytes cut(one.begin(), one.begin() + 6);
  writeSeed(target, "file-cut-inside-count", cut);
  cut.assign(one.begin(), one.begin() + 100);
  writeSeed(target, "file-cut-inside-record", cut);
  cut.assign(one.begin(), one.end() - 2);
  writeSeed(target, "file-cut-inside-last-count", cut);
  Bytes file = listFile({{}, {b}, {}});
  storeU32(file.data() + 4, 2);
  writeSeed(target, "file-count-one-too-many", file);
  storeU32(file.data() + 4, 0xFFFFFFFF);
  writeSeed(target, "file-count-all-ones", file);
  file = listFile({{a, c}, {}, {}});
  file[fieldAt(4 + kFileRecordSize, 3)] = 0x01;
  file[fieldAt(4 + kFileRecordSize, 3) + 1] = 0x10;  // 4097
  writeSeed(target, "file-length-4097-second-record", file);
  file = listFile({{}, {b}, {}});
  file[fieldAt(8, 0)] = 0xFF;
  file[fieldAt(8, 0) + 1] = 0xFF;
  writeSeed(target, "file-length-all-ones", file);

  // Odd, but no damage.
  file = listFile({{a}, {}, {}});
  storeU32(file.data() + 4, 0xDEADBEEF);
  writeSeed(target, "file-stored-key-wrong", file);
  writeSeed(target, "file-duplicate-key", listFile({{a, a}, {}, {}}));
  writeSeed(target, "file-same-record-two-sections", listFile({{c}, {c}, {}}));
  file = listFile({{}, {b}, {}});
  putBytes(file, Bytes(40, 0xAB));
  writeSeed(target, "file-trailing-bytes", file);
  ServerRecord edges = hostRecord(kMelee, "Edges", kRecent);
  edges.fields[4].data.clear();
  edges.fields[5].data.assign(kFieldCapacity, 0x30);
  writeSeed(target, "file-empty-and-full-fields", listFile({{}, {edges}, {}}));
  ServerRecord odd = edges;
  odd.fields[1].data.push_back(0x7A);  // 27 bytes: half a code unit
  writeSeed(target, "file-odd-length", listFile({{}, {odd}, {}}));
  ServerRecord controls = hostRecord(kQuorv, "line\n- loaded 99 servers\x1b[0m", kOld);
  writeSeed(target, "file-expiring-name-with-controls", listFile({{controls}, {}, {}}));
}

// ---------------------------------------------------------------------------------------------
// Logs, after the list writeKnownList writes.

void writeLogs() {
  const std::string target = "server_list_log";
  const std::uint64_t base = writeKnownList(freshListFile());
  const auto entry = [](LogOperation operation, ServerType type, const std::string& name,
                        PeerAddress owner) {
    LogEntry made;
    made.operation = operation;
    made.type = type;
    made.record = knownHostRecord(type);
    made.record.fields[kNameField].data = toUtf16le(name);
    made.record.registrationTime = 1'700'000'100;
    made.owner = owner;
    return made;
  };
  // A refresh of the list's host of `type`, named by its key and id; `other` names a host that is
  // not stored (the id of another name under the same key).
  const auto refresh = [](ServerType type, PeerAddress owner, bool other = false) {
    LogEntry made;
    made.operation = LogOperation::Refresh;
    made.type = type;
    ServerRecord host = knownHostRecord(type);
    made.key = computeServerKey(host.fields);
    if (other) host.fields[kNameField].data.push_back(0);
    made.id = computeHostId(type, host.fields);
    made.record.registrationTime = 1'700'000'200;
    made.owner = owner;
    return made;
  };
  const auto log = [&](std::uint64_t listed, std::uint64_t first, const std::vector<LogEntry>& entries,
                       std::uint64_t held = 0, std::uint32_t version = kLogVersion) {
    Bytes bytes = encodeLogHeader({1, listed, held, first, version});
    for (const LogEntry& made : entries) appendLogEntry(bytes, made);
    return bytes;
  };
  const std::vector<LogEntry> changes = {
      entry(LogOperation::Set, ServerType::Melee, "New", 0x0A00000A),
      entry(LogOperation::Set, ServerType::Melee, "Melee host", 0x0B00000A),  // a refresh
      entry(LogOperation::Remove, ServerType::TeamMelee, "Team host", 0),
      entry(LogOperation::Remove, ServerType::Melee, "Nobody", 0x0A00000A),
  };
  const Bytes whole = log(base, 1, changes);
  writeSeed(target, "log-header-only", log(base, 1, {}));
  writeSeed(target, "log-four-changes", whole);
  Bytes room = whole;
  room.resize(room.size() + 4096, 0);
  writeSeed(target, "log-room-ahead", room);
  writeSeed(target, "log-cut-inside-entry", Bytes(whole.begin(), whole.end() - 7));
  Bytes bad = whole;
  bad[kLogHeaderSize + 30] ^= 0x40;
  writeSeed(target, "log-bad-checksum-first-entry", bad);
  bad = room;
  bad[bad.size() - 10] = 1;
  writeSeed(target, "log-bytes-after-zeroed-end", bad);
  writeSeed(target, "log-overlaps-list", log(base, 1, changes, 2));
  writeSeed(target, "log-after-a-gap", log(base, 5, changes));
  writeSeed(target, "log-of-another-list", log(base ^ 1, 1, changes));
  writeSeed(target, "log-cut-inside-header", Bytes(whole.begin(), whole.begin() + 20));
  writeSeed(target, "log-zeros", Bytes(100, 0));
  Bytes huge = log(base, 1, {entry(LogOperation::Set, ServerType::GetTheQuorv, "Full", 0)});
  storeU32(huge.data() + kLogHeaderSize + 4, 0xFFFFFFF0);
  writeSeed(target, "log-length-all-ones", huge);
  // Refreshes that name their host, one after the host was re-added, one of a host not stored.
  writeSeed(target, "log-refreshes",
            log(base, 1,
                {refresh(ServerType::Melee, 0x0B00000A), changes[0],
                 refresh(ServerType::GetTheQuorv, 0), changes[2],
                 refresh(ServerType::TeamMelee, 0x0A00000A)}));
  writeSeed(target, "log-refresh-of-host-not-stored",
            log(base, 1, {changes[0], refresh(ServerType::Melee, 0x0B00000A, true), changes[3]}));
  // An earlier version's log, whose refreshes restate the host; a refresh entry is not one of its
  // entries. A version not known is set aside.
  writeSeed(target, "log-version-1", log(base, 1, changes, 0, 1));
  writeSeed(target, "log-version-1-with-refresh",
            log(base, 1, {changes[0], refresh(ServerType::Melee, 0)}, 0, 1));
  writeSeed(target, "log-version-unknown", log(base, 1, changes, 0, kLogVersion + 1));
}

// ---------------------------------------------------------------------------------------------
// Listing replies.

void writeReplies() {
  ServerRegistry registry;
  writeSeed("list_reply", "reply-empty", buildListReply(registry));
  ServerRecord one = hostRecord(ServerType::Melee, "Solo", kRecent);
  registry.insert(ServerType::Melee, computeServerKey(one.fields), one);
  const Bytes single = buildListReply(registry);
  writeSeed("list_reply", "reply-one-host", single);
  for (ServerType type : kServerTypes) {
    ServerRecord record = hostRecord(type, "Host of " + std::to_string(index(type)), kRecent);
    record.fields[6].data.assign(kFieldCapacity, 0x62);
    registry.insert(type, computeServerKey(record.fields), record);
  }
  writeSeed("list_reply", "reply-four-hosts", buildListReply(registry));

  Bytes bad = single;
  bad.resize(bad.size() - 3);
  writeSeed("list_reply", "reply-cut-short", bad);
  bad = single;
  storeU32(bad.data(), static_cast<std::uint32_t>(bad.size() - 3));
  writeSeed("list_reply", "reply-size-smaller", bad);
  bad = single;
  storeU32(bad.data() + 4, 31);
  writeSeed("list_reply", "reply-wrong-id", bad);
  bad = single;
  storeU32(bad.data() + 8, static_cast<std::uint32_t>(MessageType::Ack));
  writeSeed("list_reply", "reply-wrong-type", bad);
  bad = single;
  bad[12] = 1;
  writeSeed("list_reply", "reply-reserved-not-zero", bad);
  bad = single;
  bad[kListReplyHeaderSize] = 'X';
  writeSeed("list_reply", "reply-unknown-tag", bad);
  bad = single;
  bad[kListReplyHeaderSize + 1] = 0xFF;  // the root's parent runs past the end
  writeSeed("list_reply", "reply-text-past-end", bad);
  writeSeed("list_reply", "reply-header-only", ByteView(single).first(kListReplyHeaderSize));
  writeSeed("list_reply", "reply-cut-inside-header", ByteView(single).first(9));

  // A field of odd length (only a server list file holds one) goes out as its whole code units,
  // so the host after it decodes too.
  ServerRegistry oddRegistry;
  ServerRecord odd = hostRecord(ServerType::TeamMelee, "Odd", kRecent);
  odd.fields[3].data.push_back(0x21);
  oddRegistry.insert(ServerType::TeamMelee, computeServerKey(odd.fields), odd);
  ServerRecord next = hostRecord(ServerType::TeamMelee, "Next", kRecent);
  oddRegistry.insert(ServerType::TeamMelee, computeServerKey(next.fields), next);
  writeSeed("list_reply", "reply-odd-field", buildListReply(oddRegistry));
}

// ---------------------------------------------------------------------------------------------
// Changes of a registry kept in pieces: for each starting size and kind of field, every kind of
// change in turn on hosts spread over the registry.

void writePieceScripts() {
  const char* sizes[] = {"0", "1", "2", "40", "130", "700", "1500", "2500"};
  const char* fields[] = {"tiny", "ordinary", "large", "mixed"};
  for (std::uint8_t start = 0; start < 32; ++start) {
    Bytes script{start, static_cast<std::uint8_t>(start * 37)};
    for (std::uint8_t step = 0; step < 48; ++step) {
      script.push_back(static_cast<std::uint8_t>((step * 53) << 2 | (step % 4)));
    }
    writeSeed("listing_pieces", std::string("start-") + sizes[start & 7] + "-" +
                                    fields[(start >> 3) & 3] + "-every-change",
              script);
  }
}

}  // namespace
}  // namespace dirserver::fuzz

int main(int argc, char** argv) {
  using namespace dirserver::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  writeRequests();
  writeFiles("server_list", true);
  writeFiles("list_reply", false);
  writeReplies();
  writeLogs();
  writePieceScripts();
  std::printf("wrote %zu seeds under %s\n", gWritten, gRoot.c_str());
  return 0;
}
