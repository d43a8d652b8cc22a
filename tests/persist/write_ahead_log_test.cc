#include "persist/write_ahead_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <functional>
#include <filesystem>

#include "persist/list_loader.h"
#include "persist/list_saver.h"
#include "persist/owners_file.h"
#include "registry/host_id.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "support/recording_env.h"
#include "support/saving.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::sameOwners;
using testing::TestContext;
using testing::writeFile;

constexpr PeerAddress kOwnerA = 0x0100000A;  // 10.0.0.1
constexpr PeerAddress kOwnerB = 0x0200000A;  // 10.0.0.2

LogEntry set(const std::string& name, std::int32_t time = 1'000, PeerAddress owner = kOwnerA) {
  LogEntry entry;
  entry.type = ServerType::Melee;
  entry.record = testing::makeRecord(
      {"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "b", "c", "d"}, time);
  entry.owner = owner;
  return entry;
}

LogEntry removal(const std::string& name) {
  LogEntry entry = set(name);
  entry.operation = LogOperation::Remove;
  return entry;
}

// A refresh of `name` (as set() makes it) naming the host by key and id.
LogEntry refresh(const std::string& name, std::int32_t time, PeerAddress owner) {
  const LogEntry host = set(name);
  LogEntry entry;
  entry.operation = LogOperation::Refresh;
  entry.type = host.type;
  entry.key = computeServerKey(host.record.fields);
  entry.id = computeHostId(host.type, host.record.fields);
  entry.record.registrationTime = time;
  entry.owner = owner;
  return entry;
}

// `list` with `entries` applied in turn; with `steps`, what each prefix of them makes.
ServerRegistry replayed(const ServerRegistry& list, const std::vector<LogEntry>& entries,
                        std::vector<ServerRegistry>* steps = nullptr) {
  TestContext replay;
  replay.context.registry = list;
  if (steps != nullptr) steps->push_back(list);
  for (const LogEntry& entry : entries) {
    std::string why;
    EXPECT_TRUE(applyLogEntry(replay.context, entry, why)) << why;
    if (steps != nullptr) steps->push_back(replay.context.registry);
  }
  return replay.context.registry;
}

// A list of two hosts (A, B) written in `t`'s directory; yields its fingerprint.
std::uint64_t writeList(TestContext& t, ServerRegistry& registry) {
  std::string why;
  applyLogEntry(t.context, set("A"), why);
  applyLogEntry(t.context, set("B", 1'000, kOwnerB), why);
  registry = t.context.registry;
  t.context.registry = ServerRegistry();
  return writeServerList(t.env, registry.snapshot(), listPaths(t.env, t.context.listFile))
      .owners.fingerprint;
}

// A log of `entries`, numbered from `first`, after the list of `base` holding changes to
// `first - 1`; `ends` gets where each entry ends.
Bytes logOf(std::uint64_t seq, std::uint64_t base, std::uint64_t first,
            const std::vector<LogEntry>& entries, std::vector<std::size_t>* ends = nullptr,
            std::uint32_t version = kLogVersion) {
  Bytes bytes = encodeLogHeader({seq, base, first - 1, first, version});
  for (const LogEntry& entry : entries) {
    appendLogEntry(bytes, entry);
    if (ends != nullptr) ends->push_back(bytes.size());
  }
  return bytes;
}

// A kill inside a commit leaves the log cut at any byte of the entries it was writing, followed by
// the zeros of the room taken ahead or by nothing: that is no damage. Anything but zeros after
// such a cut is.
TEST(WriteAheadLog, ALogCutAtAnyByteOfItsLastEntriesLoadsExactlyItsWholeEntries) {
  TestContext base;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(base, list);
  const std::vector<LogEntry> entries = {set("C"), removal("A"), set("B", 2'000, kOwnerA),
                                         set("D", 3'000, kOwnerB)};
  std::vector<std::size_t> ends;
  const Bytes whole = logOf(1, fingerprint, 1, entries, &ends);
  // What the list and the first k entries make.
  std::vector<ServerRegistry> after;
  replayed(list, entries, &after);
  for (std::size_t cut = ends[1]; cut <= whole.size(); ++cut) {
    // Cut short, cut short with room taken ahead (zeros) after it, and with a stray byte after
    // that room.
    for (const std::size_t zeros : {std::size_t{0}, std::size_t{4096}, std::size_t{30'000}}) {
      const bool stray = zeros == 30'000;
      if (stray && cut % 5 != 0 && std::find(ends.begin(), ends.end(), cut) == ends.end()) continue;
      Bytes bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      bytes.resize(cut + zeros, 0);
      if (stray) bytes.push_back(1);
      // The entries whose every byte is there (a cut that took only zeros off the last one, put
      // back by the room after it, takes nothing), and whether only zeros follow them.
      std::size_t kept = 0;
      while (kept < ends.size() && ends[kept] <= bytes.size() &&
             std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(ends[kept]),
                        bytes.begin())) {
        ++kept;
      }
      const std::size_t from = ends[kept - 1];
      const auto nonZero = [](std::uint8_t b) { return b != 0; };
      const bool boundary = std::none_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                         bytes.end(), nonZero);
      // The bytes of the entry the kill cut short that made it to the file.
      const auto last = std::find_if(bytes.rbegin(), bytes.rend(), nonZero);
      const std::size_t written = static_cast<std::size_t>(bytes.rend() - last) - from;
      TestContext t;
      fs::copy(base.dir / "server_list.dat", t.dir / "server_list.dat");
      fs::copy(base.dir / "server_list.owners", t.dir / "server_list.owners");
      writeFile(t.dir / "server_list.wal.1", bytes);
      const LoadResult loaded = loadServerList(t.context, t.env);
      ASSERT_TRUE(sameOwners(t.context.registry, after[kept])) << cut << " " << zeros;
      EXPECT_EQ(loaded.changesReplayed, kept);
      const std::string err = t.console.err();
      const std::string out = t.console.out();
      const fs::path copy = t.dir / "server_list.wal.1.damaged-20231114T221320Z";
      if (boundary) {
        EXPECT_EQ(err, "") << cut;
        EXPECT_EQ(out.find("cut short"), std::string::npos) << cut;
        EXPECT_EQ(loaded.appendable->end, from);
      } else if (!stray) {
        // One line, on the standard output, with the bytes of the commit never acknowledged; no
        // copy; the log is cut back, ready to go on.
        EXPECT_EQ(err, "") << cut << " " << zeros;
        EXPECT_NE(out.find("- server list log " + t.dir.string() +
                           "/server_list.wal.1 ends in a commit cut short by a stop: dropped " +
                           std::to_string(written) + " bytes of changes never acknowledged\n"),
                  std::string::npos)
            << cut << " " << zeros << " " << out;
        EXPECT_FALSE(fs::exists(copy));
        EXPECT_EQ(fs::file_size(t.dir / "server_list.wal.1"), from);
        EXPECT_EQ(loaded.appendable->end, from);
      } else {
        // One line, with the bytes dropped; the log is kept aside and cut back, ready to go on.
        EXPECT_TRUE(err.find("is damaged (") != std::string::npos &&
                    err.ends_with("): replayed " + std::to_string(kept) + " changes before it, dropped " +
                                  std::to_string(bytes.size() - from) +
                                  " bytes; the damaged log is kept as " + copy.string() + "\n"))
            << cut << " " << err;
        EXPECT_EQ(readFile(copy), bytes);
        EXPECT_EQ(fs::file_size(t.dir / "server_list.wal.1"), from);
      }
    }
  }
}

// A refresh costs the log the same few bytes whatever its host's strings, and names the host by
// key and id: replaying it sets the stored host's time and owner; one that names no stored host
// (another host of the same key, or none) is damage.
TEST(WriteAheadLog, ARefreshNamesItsHostAndOneOfAHostNotStoredIsDamage) {
  ServerRegistry registry;
  ServerRecord big = testing::makeRecord({"/Aviantorvale/Melee Game"});
  for (ServerField& field : big.fields) field.data.assign(4'004, 'x');
  const ServerKey key = computeServerKey(big.fields);
  registry.insert(ServerType::Melee, key, big, kOwnerA);
  big.registrationTime = 5'000;
  registry.takeChanges();
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), big, kOwnerB);
  Bytes bytes;
  appendLogEntry(bytes, registry.takeChanges().at(0));
  EXPECT_EQ(bytes.size(), kLogEntryHeaderSize + kLogRefreshPayload);
  EXPECT_EQ(bytes.size(), 38u);

  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  // The same strings as A's in another order: the same key, another host.
  LogEntry other = refresh("A", 2'500, kOwnerA);
  ServerFields permuted = set("A").record.fields;
  std::swap(permuted[3], permuted[4]);
  ASSERT_EQ(computeServerKey(permuted), other.key);
  other.id = computeHostId(ServerType::Melee, permuted);
  std::vector<std::size_t> ends;
  const Bytes log = logOf(1, fingerprint, 1,
                          {refresh("A", 2'000, kOwnerB), set("C"), refresh("C", 3'000, kOwnerA),
                           other, refresh("B", 4'000, kOwnerA)},
                          &ends);
  writeFile(t.dir / "server_list.wal.1", log);
  const LoadResult loaded = loadServerList(t.context, t.env);
  EXPECT_EQ(loaded.changesReplayed, 3u);
  EXPECT_TRUE(sameOwners(t.context.registry,
                         replayed(list, {set("A", 2'000, kOwnerB), set("C"), set("C", 3'000, kOwnerA)})));
  const std::string dir = t.dir.string() + "/";
  EXPECT_EQ(t.console.err(),
            "- server list log " + dir + "server_list.wal.1 is damaged (it refreshes host " +
                hostIdText(other.id) + ", which is not stored): replayed 3 changes before it, " +
                "dropped " + std::to_string(log.size() - ends[2]) + " bytes; the damaged log is " +
                "kept as " + dir + "server_list.wal.1.damaged-20231114T221320Z\n");
  EXPECT_EQ(readFile(t.dir / "server_list.wal.1.damaged-20231114T221320Z"), log);
  // A refresh of a host that is not there at all.
  std::string why;
  EXPECT_FALSE(applyLogEntry(t.context, refresh("Z", 1, kOwnerA), why));
  EXPECT_NE(why.find("which is not stored"), std::string::npos);
}

// A log of the version before, whose refreshes restate the whole host, still replays, and is never
// appended to: the next commit begins a log of this version after it. A refresh entry is no entry
// of that version, and a version this server does not know is set aside whole, unreplayed.
TEST(WriteAheadLog, AnOlderVersionsLogReplaysAndAnUnknownVersionIsSetAside) {
  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  writeFile(t.dir / "server_list.wal.1",
            logOf(1, fingerprint, 1, {set("C"), set("A", 2'000, kOwnerB)}, nullptr, 1));
  LoadResult loaded = loadServerList(t.context, t.env);
  EXPECT_EQ(t.console.err(), "");
  EXPECT_EQ(loaded.changesReplayed, 2u);
  EXPECT_EQ(t.context.registry.find(ServerType::Melee, refresh("A", 0, 0).key, set("A").record.fields)
                ->record->registrationTime,
            2'000);
  ASSERT_TRUE(loaded.appendable.has_value());
  EXPECT_EQ(loaded.appendable->header.version, 1u);
  t.context.registry.takeChanges();  // what loading did is in the files already
  {
    testing::Saving saving(t, t.env, loaded);
    std::string why;
    applyLogEntry(t.context, refresh("C", 3'000, kOwnerA), why);
    ASSERT_TRUE(saving.commit().ok);
  }
  const Bytes older = readFile(t.dir / "server_list.wal.1");
  TestContext again;
  again.context.listFile = t.context.listFile;
  loaded = loadServerList(again.context, again.env);
  EXPECT_EQ(again.console.err(), "");
  EXPECT_EQ(loaded.changesReplayed, 3u);
  EXPECT_TRUE(sameOwners(again.context.registry, t.context.registry));
  ASSERT_TRUE(loaded.appendable.has_value());
  EXPECT_EQ(loaded.appendable->header.seq, 2u);
  EXPECT_EQ(loaded.appendable->header.version, kLogVersion);
  EXPECT_EQ(readFile(t.dir / "server_list.wal.1"), older);

  TestContext o;
  const std::uint64_t base = writeList(o, list);
  std::vector<std::size_t> ends;
  writeFile(o.dir / "server_list.wal.1",
            logOf(1, base, 1, {set("C"), refresh("C", 3'000, kOwnerA)}, &ends, 1));
  const Bytes unknown = logOf(2, base, 3, {set("D")}, nullptr, kLogVersion + 1);
  writeFile(o.dir / "server_list.wal.2", unknown);
  loaded = loadServerList(o.context, o.env);
  EXPECT_EQ(loaded.changesReplayed, 1u);
  const std::string dir = o.dir.string() + "/";
  const std::string err = o.console.err();
  EXPECT_NE(err.find("- server list log " + dir + "server_list.wal.2 is not replayed (log version " +
                     std::to_string(kLogVersion + 1) + " is not known); it is kept as " + dir +
                     "server_list.wal.2.damaged-20231114T221320Z\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("server_list.wal.1 is damaged (the entry at offset " + std::to_string(ends[0]) +
                     " does not hold a change)"),
            std::string::npos)
      << err;
  EXPECT_EQ(readFile(o.dir / "server_list.wal.2.damaged-20231114T221320Z"), unknown);
  EXPECT_FALSE(fs::exists(o.dir / "server_list.wal.2"));
}

TEST(WriteAheadLog, DamageInTheMiddleEndsTheReplayAndLogsOfOtherListsAreKeptAside) {
  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  std::vector<std::size_t> ends;
  Bytes bad = logOf(1, fingerprint, 1, {set("C"), set("D"), set("E")}, &ends);
  bad[ends[0] + 20] ^= 1;  // inside the second entry: its checksum no longer matches
  writeFile(t.dir / "server_list.wal.1", bad);
  // Another log goes on after the third change, which the damage lost: not replayed.
  writeFile(t.dir / "server_list.wal.2", logOf(2, fingerprint, 4, {set("F")}));
  // A log of another list (restored from a backup, say), and a file that is no log at all.
  writeFile(t.dir / "server_list.wal.3", logOf(3, fingerprint + 1, 1, {set("G")}));
  writeFile(t.dir / "server_list.wal.4", Bytes(100, 7));
  const LoadResult loaded = loadServerList(t.context, t.env);
  EXPECT_EQ(loaded.changesReplayed, 1u);
  EXPECT_EQ(t.context.registry.totalCount(), 3u);  // A, B and C
  const std::string dir = t.dir.string() + "/";
  EXPECT_EQ(t.console.err(),
            "- server list log " + dir + "server_list.wal.4 is not replayed (not a log of this "
            "server); it is kept as " + dir + "server_list.wal.4.unused-20231114T221320Z\n"
            "- server list log " + dir + "server_list.wal.1 is damaged (the checksum of the entry at "
            "offset " + std::to_string(ends[0]) + " does not match): replayed 1 changes before it, "
            "dropped " + std::to_string(bad.size() - ends[0]) + " bytes; the damaged log is kept as " +
            dir + "server_list.wal.1.damaged-20231114T221320Z\n"
            "- server list log " + dir + "server_list.wal.2 is not replayed (it begins at change 4, "
            "after a gap); it is kept as " + dir + "server_list.wal.2.unused-20231114T221320Z\n"
            "- server list log " + dir + "server_list.wal.3 is not replayed (a log before it is "
            "damaged); it is kept as " + dir + "server_list.wal.3.unused-20231114T221320Z\n");
  EXPECT_EQ(readFile(t.dir / "server_list.wal.1.damaged-20231114T221320Z"), bad);
  EXPECT_EQ(loaded.nextLogSeq, 5u);
  // With no log of its own, a list whose logs all follow another list replays none of them.
  TestContext other;
  writeServerList(other.env, list.snapshot(), listPaths(other.env, other.context.listFile));
  writeFile(other.dir / "server_list.wal.1", logOf(1, fingerprint + 1, 1, {set("G")}));
  loadServerList(other.context, other.env);
  EXPECT_EQ(other.context.registry.totalCount(), 2u);
  EXPECT_NE(other.console.err().find("is not replayed (it follows another server list)"),
            std::string::npos);
}

// A log is replayed only where it goes on from the logs before it. One that takes over from
// another repeats some of its changes unchanged (after a failed sync, at the same list; for a
// checkpoint whose rename never came, at a later one) and is replayed; one of another history,
// by its list or by a change it repeats with other contents, is set aside with every log after it.
TEST(WriteAheadLog, ALogIsReplayedOnlyWhereItGoesOnFromTheLogsBeforeIt) {
  const auto chained = [](std::uint64_t seq, std::uint64_t base, std::uint64_t baseChange,
                          std::uint64_t first, const std::vector<LogEntry>& entries) {
    Bytes bytes = encodeLogHeader({seq, base, baseChange, first, kLogVersion});
    for (const LogEntry& entry : entries) appendLogEntry(bytes, entry);
    return bytes;
  };
  const std::string aside = ".unused-20231114T221320Z";
  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  writeFile(t.dir / "server_list.wal.1", chained(1, fingerprint, 0, 1, {set("C"), set("D")}));
  writeFile(t.dir / "server_list.wal.2", chained(2, fingerprint, 0, 2, {set("D"), set("E")}));
  writeFile(t.dir / "server_list.wal.3", chained(3, fingerprint + 1, 3, 3, {set("E"), set("F")}));
  // Numbered on from the others, but after a list at a change before theirs.
  writeFile(t.dir / "server_list.wal.4", chained(4, fingerprint + 2, 2, 5, {set("G")}));
  writeFile(t.dir / "server_list.wal.5", chained(5, fingerprint + 2, 2, 6, {set("H")}));
  const LoadResult loaded = loadServerList(t.context, t.env);
  EXPECT_EQ(loaded.changesReplayed, 4u);
  EXPECT_EQ(loaded.lastChange, 4u);
  EXPECT_EQ(t.context.registry.totalCount(), 6u);  // A to F
  EXPECT_NE(t.console.err().find("server_list.wal.4 is not replayed (it follows a server list at "
                                 "change 2 and begins at change 5, which the logs before it do not "
                                 "lead to)"),
            std::string::npos)
      << t.console.err();
  EXPECT_TRUE(fs::exists(t.dir / ("server_list.wal.4" + aside)));
  EXPECT_TRUE(fs::exists(t.dir / ("server_list.wal.5" + aside)));
  EXPECT_TRUE(fs::exists(t.dir / "server_list.wal.3"));

  // A log that repeats the first change with another host.
  TestContext u;
  const std::uint64_t other = writeList(u, list);
  writeFile(u.dir / "server_list.wal.1", chained(1, other, 0, 1, {set("C")}));
  const Bytes astray = chained(2, other + 1, 0, 1, {set("G"), set("H")});
  writeFile(u.dir / "server_list.wal.2", astray);
  EXPECT_EQ(loadServerList(u.context, u.env).changesReplayed, 1u);
  EXPECT_EQ(u.context.registry.totalCount(), 3u);  // A, B, C
  EXPECT_NE(u.console.err().find("server_list.wal.2 is not replayed (its change 1 is not the one "
                                 "replayed before)"),
            std::string::npos)
      << u.console.err();
  EXPECT_EQ(readFile(u.dir / ("server_list.wal.2" + aside)), astray);
}

// Only a file with no entry bytes is what a crash before a log's header leaves; a header that
// cannot be read in front of entries, and an entry that does not hold a change although its
// checksum matches, are damage, kept for whoever looks into it.
TEST(WriteAheadLog, AHeaderOrEntryThatCannotBeTrustedIsDamageAndOnlyAnEmptyFileIsRemoved) {
  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  const std::string dir = t.dir.string() + "/";
  // The header's checksum no longer matches what it covers (the first change's number).
  Bytes badSum = logOf(1, fingerprint, 1, {set("C")});
  badSum[40] ^= 1;
  writeFile(t.dir / "server_list.wal.1", badSum);
  // A header that reads as zeros, with entries behind it.
  Bytes zeroHead = logOf(2, fingerprint, 1, {set("D")});
  std::fill(zeroHead.begin(), zeroHead.begin() + kLogHeaderSize, 0);
  writeFile(t.dir / "server_list.wal.2", zeroHead);
  // What a crash while a log was created leaves: zeros, or less than a header.
  writeFile(t.dir / "server_list.wal.3", Bytes(4096, 0));
  writeFile(t.dir / "server_list.wal.4", Bytes(20, 7));
  const LoadResult loaded = loadServerList(t.context, t.env);
  EXPECT_EQ(loaded.changesReplayed, 0u);
  EXPECT_TRUE(sameOwners(t.context.registry, list));
  const std::string err = t.console.err();
  EXPECT_NE(err.find("- server list log " + dir + "server_list.wal.1 is not replayed (its header's "
                     "checksum does not match); it is kept as " + dir +
                     "server_list.wal.1.damaged-20231114T221320Z\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("- server list log " + dir + "server_list.wal.2 is not replayed (its header is "
                     "zeros, but entries follow); it is kept as " + dir +
                     "server_list.wal.2.damaged-20231114T221320Z\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  EXPECT_EQ(readFile(t.dir / "server_list.wal.2.damaged-20231114T221320Z"), zeroHead);
  for (const char* gone : {"server_list.wal.1", "server_list.wal.2", "server_list.wal.3",
                           "server_list.wal.4"}) {
    EXPECT_FALSE(fs::exists(t.dir / gone)) << gone;
  }

  // A field longer than a field holds, in an entry whose checksum matches.
  TestContext f;
  const std::uint64_t base = writeList(f, list);
  LogEntry tooLong = set("E");
  tooLong.record.fields[6].data.assign(kFieldCapacity + 1, 'x');
  std::vector<std::size_t> ends;
  writeFile(f.dir / "server_list.wal.1", logOf(1, base, 1, {set("C"), tooLong}, &ends));
  const LoadResult partial = loadServerList(f.context, f.env);
  EXPECT_EQ(partial.changesReplayed, 1u);
  EXPECT_EQ(f.context.registry.totalCount(), 3u);
  EXPECT_NE(f.console.err().find("is damaged (the entry at offset " + std::to_string(ends[0]) +
                                 " does not hold a change): replayed 1 changes before it"),
            std::string::npos)
      << f.console.err();

  // Logs older than the list's own are unneeded: removed, unless damaged (one a start could keep
  // no copy of): that one is kept aside.
  TestContext o;
  const std::uint64_t listed = writeList(o, list);
  writeFile(o.dir / "server_list.wal.1", logOf(1, listed + 1, 1, {set("C")}));
  Bytes older = logOf(2, listed + 1, 2, {set("D"), set("E"), set("G")}, &ends);
  older[ends[0] + 20] ^= 1;  // in the middle: the last entry's could be a commit cut short
  writeFile(o.dir / "server_list.wal.2", older);
  writeFile(o.dir / "server_list.wal.3", logOf(3, listed, 1, {set("F")}));
  const LoadResult own = loadServerList(o.context, o.env);
  EXPECT_EQ(own.changesReplayed, 1u);
  EXPECT_FALSE(fs::exists(o.dir / "server_list.wal.1"));
  EXPECT_EQ(readFile(o.dir / "server_list.wal.2.damaged-20231114T221320Z"), older);
  EXPECT_EQ(o.console.err(), "- server list log " + o.dir.string() + "/server_list.wal.2 is not "
            "replayed (it is damaged, and older than the server list); it is kept as " +
            o.dir.string() + "/server_list.wal.2.damaged-20231114T221320Z\n");
}

// Whatever holds a log's name but is no regular file ends the start; a link to a log is followed.
TEST(WriteAheadLog, ANonRegularFileAtALogsNameEndsTheStartAndALinkToALogIsFollowed) {
  const auto start = [](const std::function<void(TestContext&, std::uint64_t)>& plant,
                        std::string& err, std::size_t& hosts) {
    TestContext t;
    ServerRegistry list;
    plant(t, writeList(t, list));
    const LoadResult loaded = loadServerList(t.context, t.env);
    err = t.console.err();
    hosts = t.context.registry.totalCount();
    return loaded.readable;
  };
  std::string err;
  std::size_t hosts = 0;
  EXPECT_FALSE(start([](TestContext& t, std::uint64_t) { fs::create_directory(t.dir / "server_list.wal.1"); },
                     err, hosts));
  EXPECT_TRUE(err.starts_with("+error: cannot read server list ") && err.ends_with("server_list.wal.1: Is a directory\n"))
      << err;
  EXPECT_FALSE(start([](TestContext& t, std::uint64_t) { ::mkfifo((t.dir / "server_list.wal.1").c_str(), 0600); },
                     err, hosts));
  EXPECT_TRUE(err.ends_with("server_list.wal.1: not a regular file\n")) << err;
  EXPECT_FALSE(start([](TestContext& t, std::uint64_t) {
                       fs::create_symlink(t.dir / "nowhere", t.dir / "server_list.wal.1");
                     },
                     err, hosts));
  EXPECT_TRUE(err.ends_with("server_list.wal.1: a symbolic link that leads nowhere\n")) << err;
  EXPECT_TRUE(start([](TestContext& t, std::uint64_t base) {
                      writeFile(t.dir / "elsewhere", logOf(1, base, 1, {set("C")}));
                      fs::create_symlink(t.dir / "elsewhere", t.dir / "server_list.wal.1");
                    },
                    err, hosts));
  EXPECT_EQ(err, "");
  EXPECT_EQ(hosts, 3u);
}

// What the write-back at start folds into the list, it takes off the logs.
TEST(WriteAheadLog, TheWriteBackAtStartLeavesNoLogItFoldedIn) {
  TestContext t;
  ServerRegistry list;
  const std::uint64_t fingerprint = writeList(t, list);
  writeFile(t.dir / "server_list.wal.1", logOf(1, fingerprint, 1, {set("C"), removal("A")}));
  LoadResult loaded = loadServerList(t.context, t.env);
  ASSERT_EQ(loaded.liveLogs.size(), 1u);
  loaded.rewrite = true;  // as a damaged list or a stored key that is not the computed one makes it
  ASSERT_TRUE(writeBackIfNeeded(t.context, loaded, t.env));
  EXPECT_FALSE(fs::exists(t.dir / "server_list.wal.1"));
  EXPECT_TRUE(loaded.liveLogs.empty());
  const testing::Loaded again = testing::loadAgain(t);
  EXPECT_TRUE(testing::sameOwners(again.hosts, testing::hostsOf(t.context.registry)));
  EXPECT_EQ(again.err, "");
}

// The owners file speaks for its list only when every byte is as written.
TEST(WriteAheadLog, AnOwnersFileWhoseChecksumDoesNotMatchGivesNoOwners) {
  TestContext t;
  ServerRegistry list;
  writeList(t, list);
  Bytes owners = readFile(t.dir / "server_list.owners");
  owners[owners.size() - 5] ^= 1;  // the last owner's address
  writeFile(t.dir / "server_list.owners", owners);
  loadServerList(t.context, t.env);
  ASSERT_EQ(t.context.registry.totalCount(), 2u);
  for (auto at = t.context.registry.begin(ServerType::Melee); at != t.context.registry.end(ServerType::Melee); ++at) {
    EXPECT_EQ(at->from, kUnknownAddress);
  }
  EXPECT_NE(t.console.err().find("cannot be used (its checksum does not match)"), std::string::npos)
      << t.console.err();
}

// Commits a change, then crashes a snapshot after each of its steps in turn: whatever the files
// hold then loads to the registry of the last commit.
TEST(WriteAheadLog, ACrashAtAnyStepOfACheckpointLeavesFilesThatLoadToTheLastCommit) {
  std::size_t steps = 0;
  for (std::size_t step = 0; step == 0 || step <= steps; ++step) {
    TestContext t;
    testing::RecordingEnv env(t.clock);
    testing::Saving saving(t, env);
    std::string why;
    for (const char* name : {"A", "B"}) applyLogEntry(t.context, set(name), why);
    saving.commit();
    // A first snapshot, then changes in the log after it, then the snapshot that crashes.
    saving.checkpoint();
    applyLogEntry(t.context, removal("A"), why);
    applyLogEntry(t.context, set("C", 2'000, kOwnerB), why);
    saving.commit();
    const std::size_t before = env.calls().size();
    if (step > 0) env.crashAfter(before + step - 1);
    saving.checkpoint(true);
    saving.stop();
    if (step == 0) steps = env.calls().size() - before;
    const testing::Loaded start = testing::loadAgain(t);
    EXPECT_TRUE(testing::sameOwners(start.hosts, testing::hostsOf(t.context.registry))) << step;
    EXPECT_EQ(start.err, "") << step;
  }
  EXPECT_GE(steps, 18u);  // the list, its owners, the new log, the renames, the logs removed
}

TEST(WriteAheadLog, HostsKeepTheirOwnersAcrossARestartFromTheLogAndFromTheOwnersFile) {
  TestContext t;
  const Bytes body = testing::requestBody(testing::hostStrings("/Aviantorvale/Melee Game", "Own"));
  // Starts again on the files; A's host must still be A's, so that B can neither take it over by
  // registering it (A has its whole time to come back after the start) nor shut it down; then A
  // refreshes it, and the run ends with a kill or, when `orderly`, with the stop's snapshot.
  const auto run = [&](bool orderly) {
    t.context.registry = ServerRegistry();
    const LoadResult loaded = loadServerList(t.context, t.env);
    if (t.context.registry.totalCount() > 0) {
      EXPECT_EQ(t.context.registry.begin(ServerType::Melee)->from, kOwnerA);
      handleRegistration(t.context, body, kOwnerB);
      handleShutdown(t.context, body, kOwnerB);
      EXPECT_EQ(t.context.registry.totalCount(), 1u);
    }
    testing::Saving saving(t, t.env, loaded);
    handleRegistration(t.context, body, kOwnerA);
    saving.commit();
    if (orderly) saving.checkpoint(true);
  };
  run(false);  // A registers; the log holds the change and its owner
  run(false);  // the owner comes back from the log
  run(true);   // the stop writes the list and its owners file, and removes the log
  EXPECT_FALSE(fs::exists(t.dir / "server_list.wal.1"));
  run(true);   // the owner comes back from the owners file
  const std::string err = t.console.err();
  // Three starts before there is a list, and three refusals.
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 6) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '+'), 3) << err;
  // A list without an owners file (an older version's, or one made by hand): nobody's hosts.
  fs::remove(t.dir / "server_list.owners");
  TestContext start;
  start.context.listFile = t.context.listFile;
  loadServerList(start.context, start.env);
  ASSERT_EQ(start.context.registry.totalCount(), 1u);
  EXPECT_EQ(start.context.registry.begin(ServerType::Melee)->from, kUnknownAddress);
}

}  // namespace
}  // namespace dirserver
