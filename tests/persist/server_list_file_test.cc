#include "persist/server_list_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "persist/list_loader.h"
#include "persist/list_saver.h"
#include "registry/server_key.h"
#include "support/recording_env.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::readFile;
using testing::TestContext;
using testing::writeFile;
namespace fs = std::filesystem;

ServerRecord host(std::string name, std::int32_t time = 1'000) {
  return testing::makeRecord({"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "bb", "ccc", "z"},
                             time);
}

// A file of three sections built by hand, for what the server itself would never write.
Bytes sections(const std::vector<std::vector<std::pair<ServerKey, ServerRecord>>>& content) {
  Bytes out;
  for (const auto& section : content) {
    putU32(out, static_cast<std::uint32_t>(section.size()));
    for (const auto& [key, record] : section) appendFileRecord(out, key, record);
  }
  return out;
}

SaveOutcome save(TestContext& t) {
  return writeServerList(t.env, t.context.registry.snapshot(), listPaths(t.env, t.context.listFile))
      .outcome;
}

LoadResult load(TestContext& t) { return loadServerList(t.context, t.env); }

TEST(ServerListFile, CheckpointStepsComeInTheirCrashSafeOrderAndAFailedOneChangesNothing) {
  TestContext t;
  t.context.registry.insert(ServerType::Melee, 5, host("Low"), 0x0100007F);
  const RegistrySnapshot snapshot = t.context.registry.snapshot();
  const ListPaths paths = listPaths(t.env, t.context.listFile);
  testing::RecordingEnv recorder;
  const CheckpointWritten written = writeServerList(recorder, snapshot, paths, nullptr,
                                                  [&](std::uint64_t) { return true; });
  ASSERT_EQ(written.outcome, SaveOutcome::Saved);
  EXPECT_EQ(recorder.calls(), (std::vector<std::string>{
                                  "open server_list.dat.tmp new",  // a name of its own, never a link
                                  "write server_list.dat.tmp",
                                  "fsync server_list.dat.tmp",  // the data is on disk...
                                  "close server_list.dat.tmp",  // ...and complete...
                                  "open server_list.owners.tmp new",
                                  "write server_list.owners.tmp",
                                  "fsync server_list.owners.tmp",
                                  "close server_list.owners.tmp",
                                  // the owners (of both lists) go first, then the list
                                  "rename server_list.owners.tmp server_list.owners",
                                  "rename server_list.dat.tmp server_list.dat",
                                  "open dir",
                                  "fsync dir",  // and the renames survive a power loss
                                  "close dir",
                              }));
  EXPECT_EQ(readFile(t.context.listFile).size(), listFileSize(1));
  EXPECT_EQ(written.owners.owners, std::vector<PeerAddress>{0x0100007F});

  // Any step that fails leaves the old files and no temporary one.
  const Bytes old = readFile(t.context.listFile);
  t.context.registry.insert(ServerType::Melee, 6, host("More"));
  const RegistrySnapshot larger = t.context.registry.snapshot();
  for (std::size_t step = 0; step < 10; ++step) {
    testing::RecordingEnv failing;
    failing.fail(recorder.calls()[step]);
    const CheckpointWritten written = writeServerList(failing, larger, paths);
    EXPECT_EQ(written.outcome, SaveOutcome::Failed) << step;
    // The line names the step and the reason.
    EXPECT_TRUE(written.error.ends_with(": Input/output error")) << step << " " << written.error;
    EXPECT_EQ(readFile(t.context.listFile), old) << step;
    EXPECT_EQ(std::distance(fs::directory_iterator(t.dir), fs::directory_iterator()), 2) << step;
  }
  // Only the directory sync failed: the new files are in place, but not known to be durable.
  testing::RecordingEnv dirFails;
  dirFails.fail("fsync dir");
  const CheckpointWritten notDurable = writeServerList(dirFails, larger, paths);
  EXPECT_EQ(notDurable.outcome, SaveOutcome::NotDurable);
  EXPECT_EQ(readFile(t.context.listFile).size(), listFileSize(2));
  testing::RecordingEnv syncFails;
  syncFails.fail("fsync server_list.dat.tmp");
  const CheckpointWritten failed = writeServerList(syncFails, larger, paths);
  reportSave(failed.outcome, t.context.console, failed.error);
  reportSave(notDurable.outcome, t.context.console, notDurable.error);
  reportSave(SaveOutcome::Saved, t.context.console);
  const std::string err = t.console.err();
  EXPECT_TRUE(err.starts_with("- could not save server list (sync " + t.context.listFile + ".tmp-"))
      << err;
  EXPECT_TRUE(err.ends_with(": Input/output error)\n"
                            "- server list saved, but its directory could not be synced (sync the "
                            "directory of " + t.context.listFile + ": Input/output error): the "
                            "save may not survive a power loss\n"))
      << err;
}

TEST(ServerListFile, WhateverStandsAtATemporaryNameNeverBlocksOrMisleadsASave) {
  TestContext t;
  // A directory where earlier versions put their temporary file must not stop saves; a link or a
  // pipe at a name of ours must neither stop a save nor lead it to another file.
  const fs::path victim = t.dir / "victim";
  writeFile(victim, Bytes{1, 2, 3});
  fs::create_directory(t.context.listFile + ".tmp");
  const std::string ours = t.context.listFile + ".tmp-" + std::to_string(::getpid()) + "-";
  for (int n = 0; n < 20; n += 2) {
    fs::create_symlink(victim, ours + std::to_string(n));
    ASSERT_EQ(::mkfifo((ours + std::to_string(n + 1)).c_str(), 0600), 0);
  }
  fs::create_directory(t.dir / "server_list.owners.tmp");
  for (int round = 0; round < 3; ++round) EXPECT_EQ(save(t), SaveOutcome::Saved);
  EXPECT_EQ(readFile(victim), (Bytes{1, 2, 3}));
  EXPECT_EQ(readFile(t.context.listFile), Bytes(12, 0));
  // A regular file left at a temporary name by a killed save is removed at start; what is not a
  // regular file is not ours and stays.
  writeFile(t.context.listFile + ".tmp-1-7", Bytes(100, 1));
  load(t);
  EXPECT_FALSE(fs::exists(t.context.listFile + ".tmp-1-7"));
  EXPECT_TRUE(fs::is_directory(t.context.listFile + ".tmp"));
  EXPECT_TRUE(fs::is_symlink(ours + "0"));
  EXPECT_EQ(readFile(victim), (Bytes{1, 2, 3}));
}

TEST(ServerListFile, AListThatIsALinkStaysALinkToTheCurrentListAlsoWhenDamaged) {
  TestContext t;
  fs::create_directories(t.dir / "data");
  const fs::path real = t.dir / "data" / "list.dat";
  fs::create_symlink("data/list.dat", t.context.listFile);
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  EXPECT_EQ(save(t), SaveOutcome::Saved);
  EXPECT_TRUE(fs::is_symlink(t.context.listFile));
  EXPECT_EQ(readFile(real).size(), listFileSize(1));
  EXPECT_TRUE(fs::exists(t.dir / "data" / "list.owners"));  // beside the list it belongs to
  // Damaged: the file the link leads to is kept aside, and the written-back list takes its place.
  Bytes damaged = readFile(real);
  damaged.pop_back();
  writeFile(real, damaged);
  TestContext start;
  start.context.listFile = t.context.listFile;
  LoadResult loaded = load(start);
  EXPECT_TRUE(loaded.rewrite);
  EXPECT_TRUE(writeBackIfNeeded(start.context, loaded, start.env));
  EXPECT_TRUE(fs::is_symlink(t.context.listFile));
  EXPECT_EQ(readFile(damagedListFile(real.string(), start.now)), damaged);
  EXPECT_EQ(readFile(real).size(), listFileSize(1));
}

TEST(ServerListFile, SavesTheExactLayout) {
  TestContext t;
  save(t);
  EXPECT_EQ(readFile(t.context.listFile), Bytes(12, 0));

  ServerRecord record = host("Bob", -2);
  record.fields[1].data = {0x31, 0x00, 0x32, 0x00};
  t.context.registry.insert(ServerType::Melee, 0xA1B2C3D4, record);
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  save(t);
  const Bytes bytes = readFile(t.context.listFile);
  ASSERT_EQ(bytes.size(), 12 + 2 * kFileRecordSize);
  EXPECT_EQ(loadU32(&bytes[0]), 0u);
  EXPECT_EQ(loadU32(&bytes[4]), 2u);
  EXPECT_EQ(loadU32(&bytes[8]), 5u);  // ascending unsigned key order
  const std::uint8_t* rec = &bytes[8 + kFileRecordSize];
  EXPECT_EQ(loadU32(rec), 0xA1B2C3D4u);
  EXPECT_EQ(loadU32(rec + 4), 0xFFFFFFFEu);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const std::uint8_t* at = rec + 8 + i * kFileFieldSize;  // 8, 4106, 8204, ... 24596
    const ServerField& field = record.fields[i];
    ASSERT_EQ(loadU16(at), field.length()) << i;
    EXPECT_TRUE(std::equal(field.data.begin(), field.data.end(), at + 2)) << i;
    EXPECT_TRUE(std::all_of(at + 2 + field.length(), at + kFileFieldSize,
                            [](std::uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(loadU32(&bytes[8 + 2 * kFileRecordSize]), 0u);
  EXPECT_EQ(t.console.err(), "");
}

TEST(ServerListFile, LoadsWhatWasSavedUnderRecomputedKeys) {
  TestContext t;
  ServerRecord mixed = host("Mixed", 77);
  mixed.fields[3].data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  mixed.fields[4].data.clear();
  ServerRecord full = host("Full", -5);
  full.fields[5].data.assign(kFieldCapacity, 0x7A);
  const ServerRecord later = [&] {
    auto r = full;
    r.registrationTime = 9;
    return r;
  }();
  // Wrong stored keys, a duplicate in section 0 (the first stays), the same record in two
  // sections (both stay), and a record whose path names another type.
  const Bytes bytes = sections({{{1, mixed}, {2, full}, {3, later}}, {}, {{4, mixed}}});
  writeFile(t.context.listFile, bytes);
  t.context.traceKeys = true;
  t.context.maxHostBytes = 100;  // a bound for new hosts only: stored hosts all load
  EXPECT_TRUE(load(t).rewrite);
  const std::string out = t.console.out();
  EXPECT_EQ(out.find(">> computing checksum: \n"), 0u);
  EXPECT_EQ(out.substr(out.size() - 19), "- loaded 3 servers\n");
  EXPECT_EQ(t.console.err(), "");
  const ServerRegistry& registry = t.context.registry;
  EXPECT_EQ(*registry.find(ServerType::GetTheQuorv, computeServerKey(full.fields), full.fields)
                 ->record,
            full);
  EXPECT_EQ(
      *registry.find(ServerType::TeamMelee, computeServerKey(mixed.fields), mixed.fields)->record,
      mixed);
  EXPECT_EQ(registry.size(ServerType::GetTheQuorv), 2u);

  // Saving writes the computed keys, and loading that gives the same maps.
  save(t);
  TestContext again;
  again.context.listFile = t.context.listFile;
  EXPECT_FALSE(load(again).rewrite);
  for (ServerType type : kServerTypes) {
    EXPECT_TRUE(std::equal(registry.begin(type), registry.end(type),
                           again.context.registry.begin(type), again.context.registry.end(type)));
  }
}

TEST(ServerListFile, HostsWhoseStringsSumAlikeAreAllLoaded) {
  TestContext t;
  // Two hosts of one key, in the order a save writes them, and a third, identical to the first.
  ServerRecord a = host("N");
  a.fields[1] = testing::rawField({0x41, 0x00, 0x42, 0x00});
  a.fields[3] = testing::rawField({0x43, 0x00, 0x44, 0x00});
  ServerRecord b = a;
  b.fields[1] = a.fields[3];
  b.fields[3] = a.fields[1];
  const ServerKey key = computeServerKey(a.fields);
  ASSERT_EQ(key, computeServerKey(b.fields));
  writeFile(t.context.listFile, sections({{}, {{key, a}, {key, b}}, {}}));
  EXPECT_FALSE(load(t).rewrite);
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 2u);
  // The same hosts in the other order, and a duplicate: loaded as before, written back.
  TestContext again;
  writeFile(again.context.listFile, sections({{}, {{key, b}, {key, a}, {key, b}}, {}}));
  EXPECT_TRUE(load(again).rewrite);
  EXPECT_EQ(again.console.out(), "- loaded 2 servers\n");
  EXPECT_TRUE(std::equal(t.context.registry.begin(ServerType::Melee),
                         t.context.registry.end(ServerType::Melee),
                         again.context.registry.begin(ServerType::Melee),
                         again.context.registry.end(ServerType::Melee)));
}

TEST(ServerListFile, DamagedFileKeepsWhatWasWholeAndIsMovedAside) {
  const Bytes good = sections({{{0, host("A")}, {0, host("B")}}, {{0, host("C")}}, {}});
  const std::size_t second = 4 + kFileRecordSize;  // the second record of section 0
  Bytes countTooLarge = good;
  storeU32(countTooLarge.data() + 4 + 2 * kFileRecordSize, 0xFFFFFFFF);  // section 1
  Bytes lengthTooLarge = good;
  storeU32(lengthTooLarge.data() + second + 8 + 4 * kFileFieldSize, 4097);  // field 4
  // Section 1 counts one record less than it holds: its last record is read as bytes after the
  // third section, which are never taken for records.
  Bytes countTooSmall = good;
  storeU32(countTooSmall.data() + 4 + 2 * kFileRecordSize, 0);
  Bytes trailing = good;
  trailing.push_back(0);
  const std::pair<Bytes, std::uint32_t> cases[] = {
      {{}, 0},
      {Bytes(good.begin(), good.end() - 2), 3},               // inside the last count
      {Bytes(good.begin(), good.begin() + second + 100), 1},  // inside a record
      {countTooLarge, 3},  // the one whole record after the count is still read
      {lengthTooLarge, 1},
      {countTooSmall, 2},
      {trailing, 3},
  };
  for (const auto& [bytes, kept] : cases) {
    TestContext t;
    writeFile(t.context.listFile, bytes);
    EXPECT_TRUE(load(t).readable);
    const std::string err = t.console.err();
    const std::string aside = damagedListFile(t.context.listFile, t.now);
    EXPECT_EQ(err.rfind("- server list is damaged (", 0), 0u) << err;
    EXPECT_TRUE(err.ends_with("kept " + std::to_string(kept) +
                              " servers read before it; the damaged file is kept as " + aside +
                              "\n"))
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(t.console.out(), "- loaded " + std::to_string(kept) + " servers\n");
    EXPECT_EQ(t.context.registry.totalCount(), kept);
    // Moved aside, where the next save does not touch it.
    save(t);
    EXPECT_EQ(readFile(aside), bytes);
    EXPECT_EQ(readFile(t.context.listFile).size(), 12 + kept * kFileRecordSize);
  }
}

// Runs `check` in a child process that, when the tests run as the superuser, first becomes the
// unprivileged user "nobody", so that file permissions apply to it. True when `check` returned
// true there.
bool asUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(2);
    }
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ServerListFile, EveryDamagedFileKeepsANameOfItsOwn) {
  TestContext t;
  // 1'700'000'000 is 2023-11-14 22:13:20 UTC.
  const std::string first = t.context.listFile + ".damaged-20231114T221320Z";
  EXPECT_EQ(damagedListFile(t.context.listFile, t.now), first);
  EXPECT_EQ(damagedListFile(t.context.listFile, t.now, 3), first + "-3");
  // Something the operator put at the third name is passed over, not replaced.
  fs::create_directory(first + "-3");
  const Bytes damaged[] = {{1}, {2, 2}, {3, 3, 3}, {4, 4, 4, 4}};
  const std::string expected[] = {first, first + "-2", first + "-4", first + "-5"};
  for (std::size_t i = 0; i < std::size(damaged); ++i) {
    TestContext start;  // a start of its own, at the same second
    start.context.listFile = t.context.listFile;
    writeFile(t.context.listFile, damaged[i]);
    load(start);
    EXPECT_TRUE(start.console.err().ends_with("the damaged file is kept as " + expected[i] + "\n"))
        << start.console.err();
  }
  for (std::size_t i = 0; i < std::size(damaged); ++i) {
    EXPECT_EQ(readFile(expected[i]), damaged[i]) << expected[i];
  }
  EXPECT_TRUE(fs::is_directory(first + "-3"));
  EXPECT_FALSE(fs::exists(t.context.listFile));

  // A damaged file that cannot be moved stays, and the line says why.
  writeFile(t.context.listFile, damaged[0]);
  fs::permissions(t.dir, fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_TRUE(asUnprivilegedUser([&] {
    TestContext start;
    start.context.listFile = t.context.listFile;
    start.now = t.now + 1;
    load(start);
    return start.console.err().ends_with("could not keep the damaged file as " +
                                         t.context.listFile +
                                         ".damaged-20231114T221321Z (Permission denied)\n");
  }));
  EXPECT_EQ(readFile(t.context.listFile), damaged[0]);
}

TEST(ServerListFile, AFileThatIsThereButUnreadableEndsTheStartUntouched) {
  TestContext t;
  const std::string line = "+error: cannot read server list " + t.context.listFile + ": ";
  fs::create_directory(t.context.listFile);
  EXPECT_FALSE(load(t).readable);
  EXPECT_EQ(t.console.err(), line + "Is a directory\n");
  EXPECT_EQ(t.console.out(), "");
  EXPECT_TRUE(fs::is_directory(t.context.listFile));

  // A pipe with no writer: refused at once, not waited on.
  TestContext pipe;
  ASSERT_EQ(::mkfifo(pipe.context.listFile.c_str(), 0600), 0);
  EXPECT_FALSE(load(pipe).readable);
  EXPECT_EQ(pipe.console.err(),
            "+error: cannot read server list " + pipe.context.listFile + ": not a regular file\n");
  EXPECT_TRUE(fs::is_fifo(pipe.context.listFile));

  // A file the server may not read: its first save would replace the hosts in it.
  TestContext denied;
  const Bytes three = sections({{}, {{1, host("A")}, {2, host("B")}, {3, host("C")}}, {}});
  writeFile(denied.context.listFile, three);
  fs::permissions(denied.context.listFile, fs::perms::none);
  EXPECT_TRUE(asUnprivilegedUser([&] {
    TestContext start;
    start.context.listFile = denied.context.listFile;
    return !load(start).readable && start.console.out().empty() &&
           start.console.err() == "+error: cannot read server list " + denied.context.listFile +
                                      ": Permission denied\n";
  }));
  EXPECT_EQ(readFile(denied.context.listFile), three);

  // Nothing was moved aside or written next to them.
  for (const fs::path& dir : {t.dir, pipe.dir, denied.dir}) {
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << dir;
  }
}

TEST(ServerListFile, AnIoErrorIsNoDamageAndEndsTheStart) {
  // The file's second record cannot be read: the file is no damaged one, and stays.
  TestContext t;
  const Bytes bytes = sections({{{0, host("A")}, {0, host("B")}}, {}, {}});
  writeFile(t.context.listFile, bytes);
  testing::RecordingEnv env(t.clock);
  env.fail("read server_list.dat", 3);
  EXPECT_FALSE(loadServerList(t.context, env).readable);
  EXPECT_EQ(t.console.err(),
            "+error: cannot read server list " + t.context.listFile + ": Input/output error\n");
  EXPECT_EQ(readFile(t.context.listFile), bytes);
}

TEST(ServerListFile, OddLengthFieldsLoadAndSaveAsTheyCame) {
  // Two hosts with a field of odd length, one after them; a save writes back the very bytes.
  TestContext t;
  ServerRecord odd = host("Odd", 500);
  odd.fields[1].data.push_back(0x37);  // 17 bytes
  ServerRecord oddName = host("OddName", 600);
  oddName.fields[kNameField].data = {0x4E, 0x00, 0x7F};
  std::vector<std::pair<ServerKey, ServerRecord>> melee;
  for (const ServerRecord& record : {odd, oddName, host("After", 700)}) {
    melee.emplace_back(computeServerKey(record.fields), record);
  }
  std::sort(melee.begin(), melee.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  const Bytes bytes = sections({{}, melee, {}});
  writeFile(t.context.listFile, bytes);
  t.context.traceKeys = true;
  EXPECT_TRUE(load(t).readable);
  EXPECT_EQ(t.console.err(), "");
  const std::string out = t.console.out();
  EXPECT_TRUE(out.ends_with("- loaded 3 servers\n")) << out;
  // The key trace shows the odd last byte as a padded word, as for any length not a multiple of 4.
  EXPECT_NE(out.find("1: 3145777 3145774 3145774 3211310 55[padding] \n"), std::string::npos)
      << out;
  for (const auto& [key, record] : melee) {
    const auto found = t.context.registry.find(ServerType::Melee, key, record.fields);
    ASSERT_NE(found, t.context.registry.end(ServerType::Melee));
    EXPECT_EQ(*found->record, record);
  }
  save(t);
  EXPECT_EQ(readFile(t.context.listFile), bytes);
}

// Records the ranges handed to the disk (`wait` false) and waited for, in order.
class WriteBackEnv final : public SystemEnv {
 public:
  struct Range {
    off_t offset, size;
    bool wait;
  };
  void writeBack(int fd, off_t offset, off_t size, bool wait) override {
    ranges.push_back({offset, size, wait});
    SystemEnv::writeBack(fd, offset, size, wait);
  }
  std::vector<Range> ranges;
};

// Paced, the list goes to the disk a megabyte at a time, so that little of it is ever queued
// ahead of a commit's sync; unpaced (a hurried checkpoint, or no pacing at all), in 8 MiB slices
// for speed. Either way every slice is handed over once, in order, and waited for one slice later.
TEST(ServerListFile, APacedWriterHandsItsListToTheDiskInSmallSlicesAnUnpacedOneInLargeOnes) {
  constexpr off_t kMiB = 1 << 20;
  TestContext t;
  for (std::uint32_t i = 0; i < 700; ++i) {  // some 19 MiB
    t.context.registry.insert(ServerType::Melee, i, host("H" + std::to_string(i)), 0x0100007F);
  }
  const RegistrySnapshot snapshot = t.context.registry.snapshot();
  const ListPaths paths = listPaths(t.env, t.context.listFile);
  // The writer is hurried after `pacedWrites` paced writes (-1: never).
  const auto slices = [&](int pacedWrites) {
    WriteBackEnv env;
    int writes = 0;
    const auto pace = [&](std::uint64_t) { return pacedWrites < 0 || writes++ < pacedWrites; };
    EXPECT_EQ(writeServerList(env, snapshot, paths, nullptr, {}, pace).outcome, SaveOutcome::Saved);
    off_t handedOver = 0, waitedFor = 0;
    std::vector<off_t> ends;  // of each range handed over
    for (const WriteBackEnv::Range& range : env.ranges) {
      off_t& next = range.wait ? waitedFor : handedOver;
      EXPECT_EQ(range.offset, next);
      next += range.size;
      EXPECT_LE(waitedFor, handedOver);
      if (!range.wait) ends.push_back(handedOver);
    }
    return ends;
  };
  const std::vector<off_t> paced = slices(-1);
  ASSERT_GE(paced.size(), 18u);
  for (std::size_t i = 0; i < paced.size(); ++i) {
    EXPECT_EQ(paced[i] % kMiB, 0) << i;
    if (i > 0) {
      EXPECT_LE(paced[i] - paced[i - 1], 2 * kMiB) << i;
    }
  }
  EXPECT_EQ(slices(0), (std::vector<off_t>{8 * kMiB, 16 * kMiB}));
  // Hurried halfway, it goes on from the next 8 MiB.
  const std::vector<off_t> hurried = slices(5);
  ASSERT_GE(hurried.size(), 3u);
  EXPECT_LT(hurried[0], 8 * kMiB);
  EXPECT_EQ(hurried[hurried.size() - 2], 8 * kMiB);
  EXPECT_EQ(hurried.back(), 16 * kMiB);
}

}  // namespace
}  // namespace dirserver
