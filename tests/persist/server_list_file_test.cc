#include "persist/server_list_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "persist/list_saver.h"
#include "registry/server_key.h"
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

// The system's file operations, each recorded by name (with the file it is about), and any one of
// them made to fail with EIO.
class RecordingFileSystem final : public FileSystem {
 public:
  std::vector<std::string> calls;
  std::string failing;  // the call, as recorded, to fail

  int open(const std::string& path, int flags, mode_t mode) override {
    const std::string name = std::string((flags & O_DIRECTORY) ? "open dir" : "open ") +
                             ((flags & O_DIRECTORY) ? "" : tail(path)) +
                             ((flags & O_EXCL) && (flags & O_NOFOLLOW) ? " new" : "");
    if (fail(name)) return -1;
    const int fd = ::open(path.c_str(), flags, mode);
    names_[fd] = (flags & O_DIRECTORY) ? "dir" : tail(path);
    return fd;
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (calls.empty() || calls.back() != "write " + names_[fd]) {
      if (fail("write " + names_[fd])) return -1;
    }
    return ::write(fd, data, size);
  }
  int fsync(int fd) override { return fail("fsync " + names_[fd]) ? -1 : ::fsync(fd); }
  int close(int fd) override {
    const bool failed = fail("close " + names_[fd]);
    ::close(fd);
    return failed ? -1 : 0;
  }
  int rename(const std::string& from, const std::string& to) override {
    return fail("rename " + tail(from) + " " + tail(to)) ? -1 : std::rename(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override {
    return fail("unlink " + tail(path)) ? -1 : ::unlink(path.c_str());
  }

 private:
  static std::string tail(const std::string& path) { return fs::path(path).filename().string(); }
  bool fail(const std::string& call) {
    calls.push_back(call);
    if (call != failing) return false;
    errno = EIO;
    return true;
  }
  std::map<int, std::string> names_;
};

TEST(ServerListFile, SaveStepsComeInTheirCrashSafeOrder) {
  TestContext t;
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  const RegistrySnapshot snapshot = t.context.registry.snapshot();
  RecordingFileSystem recorder;
  ASSERT_EQ(writeServerList(snapshot, t.context.listFile, recorder), SaveOutcome::Saved);
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{
                                "unlink server_list.dat.tmp",
                                "open server_list.dat.tmp new",  // exclusive, never through a link
                                "write server_list.dat.tmp",
                                "fsync server_list.dat.tmp",  // the data is on disk...
                                "close server_list.dat.tmp",  // ...and complete...
                                "rename server_list.dat.tmp server_list.dat",  // ...before it counts
                                "open dir",
                                "fsync dir",  // and the rename survives a power loss
                                "close dir",
                            }));
  EXPECT_EQ(readFile(t.context.listFile).size(), 12 + kFileRecordSize);
}

TEST(ServerListFile, AFailedStepLeavesTheOldFileAndNoTemporaryFile) {
  TestContext t;
  saveServerList(t.context);
  const Bytes old = readFile(t.context.listFile);
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  const RegistrySnapshot snapshot = t.context.registry.snapshot();
  for (const char* step : {"open server_list.dat.tmp new", "write server_list.dat.tmp",
                           "fsync server_list.dat.tmp", "close server_list.dat.tmp",
                           "rename server_list.dat.tmp server_list.dat"}) {
    RecordingFileSystem recorder;
    recorder.failing = step;
    EXPECT_EQ(writeServerList(snapshot, t.context.listFile, recorder), SaveOutcome::Failed) << step;
    EXPECT_EQ(readFile(t.context.listFile), old) << step;
    EXPECT_FALSE(fs::exists(t.context.listFile + ".tmp")) << step;
  }
  // Only the directory sync failed: the new file is in place, but not known to be durable.
  for (const char* step : {"open dir", "fsync dir"}) {
    RecordingFileSystem recorder;
    recorder.failing = step;
    EXPECT_EQ(writeServerList(snapshot, t.context.listFile, recorder), SaveOutcome::NotDurable);
    EXPECT_EQ(readFile(t.context.listFile).size(), 12 + kFileRecordSize);
  }
  reportSave(SaveOutcome::Failed, t.context.console);
  reportSave(SaveOutcome::NotDurable, t.context.console);
  reportSave(SaveOutcome::Saved, t.context.console);
  EXPECT_EQ(t.console.err(),
            "- could not save server list\n"
            "- server list saved, but its directory could not be synced: the save may not "
            "survive a power loss\n");
}

TEST(ServerListFile, LinksAreNeverFollowedToAPlantedPlaceButTheListsOwnLinkIsKept) {
  TestContext t;
  // A link planted where the temporary file goes must not lead the save to another file.
  const fs::path victim = t.dir / "victim";
  writeFile(victim, Bytes{1, 2, 3});
  fs::create_symlink(victim, t.context.listFile + ".tmp");
  EXPECT_EQ(saveServerList(t.context), SaveOutcome::Saved);
  EXPECT_EQ(readFile(victim), (Bytes{1, 2, 3}));
  EXPECT_EQ(readFile(t.context.listFile), Bytes(12, 0));
  // A list file that is a link to the real one elsewhere: the save goes beside the target, and
  // the link stays a link to the current list.
  fs::create_directories(t.dir / "data");
  const fs::path real = t.dir / "data" / "list.dat";
  fs::remove(t.context.listFile);
  fs::create_symlink("data/list.dat", t.context.listFile);
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  EXPECT_EQ(saveServerList(t.context), SaveOutcome::Saved);
  EXPECT_TRUE(fs::is_symlink(t.context.listFile));
  EXPECT_EQ(readFile(real).size(), 12 + kFileRecordSize);
  EXPECT_FALSE(fs::exists(real.string() + ".tmp"));
}

TEST(ServerListFile, SavesTheExactLayout) {
  TestContext t;
  saveServerList(t.context);
  EXPECT_EQ(readFile(t.context.listFile), Bytes(12, 0));

  ServerRecord record = host("Bob", -2);
  record.fields[1].data = {0x31, 0x00, 0x32, 0x00};
  t.context.registry.insert(ServerType::Melee, 0xA1B2C3D4, record);
  t.context.registry.insert(ServerType::Melee, 5, host("Low"));
  saveServerList(t.context);
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
  EXPECT_FALSE(fs::exists(t.context.listFile + ".tmp"));
}

TEST(ServerListFile, KillAtAnyMomentLeavesAWholeFile) {
  // A child saves registries of 40 and 39 records over and over and is killed at some moment;
  // what it leaves must always load whole.
  TestContext t;
  for (int round = 0; round < 8; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TestContext writer;
      writer.context.listFile = t.context.listFile;
      for (ServerKey key = 1; key <= 40; ++key) {
        writer.context.registry.insert(ServerType::Melee, key, host("H" + std::to_string(key)));
      }
      const ServerRecord last = host("H40");
      // Half the rounds save on the calling thread, half through the background saver, which
      // is then killed in the middle of its writing.
      std::mutex mutex;
      std::condition_variable done;
      bool finished = true;
      BackgroundSaver saver(writer.context.listFile, [&](SaveOutcome, auto) {
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
      });
      auto save = [&] {
        if (round % 2 == 0) {
          saveServerList(writer.context);
          return;
        }
        std::unique_lock lock(mutex);
        finished = false;
        saver.save(std::make_shared<RegistrySnapshot>(writer.context.registry.snapshot()));
        done.wait(lock, [&] { return finished; });
      };
      for (;;) {
        save();
        writer.context.registry.erase(ServerType::Melee, 40, last.fields);
        save();
        writer.context.registry.insert(ServerType::Melee, 40, last);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 13 * round));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    TestContext reader;
    reader.context.listFile = t.context.listFile;
    loadServerList(reader.context);
    const auto count = reader.context.registry.totalCount();
    const std::string err = reader.console.err();
    // Killed before the first save completed, there is no file yet; never a damaged one.
    EXPECT_TRUE(err.empty() ? count == 39 || count == 40
                            : err == "- starting with empty server list\n")
        << count << " " << err;
  }
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
  // sections (both stay), a record whose path names another type, and bytes after the end.
  Bytes bytes = sections({{{1, mixed}, {2, full}, {3, later}}, {}, {{4, mixed}}});
  bytes.insert(bytes.end(), 100, 0xEE);
  writeFile(t.context.listFile, bytes);
  t.context.checksumTrace = true;
  t.context.maxHostBytes = 100;  // a bound for new hosts only: stored hosts all load
  EXPECT_TRUE(loadServerList(t.context).rewrite);
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
  saveServerList(t.context);
  TestContext again;
  again.context.listFile = t.context.listFile;
  EXPECT_FALSE(loadServerList(again.context).rewrite);
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
  EXPECT_FALSE(loadServerList(t.context).rewrite);
  EXPECT_EQ(t.context.registry.size(ServerType::Melee), 2u);
  // The same hosts in the other order, and a duplicate: loaded as before, written back.
  TestContext again;
  writeFile(again.context.listFile, sections({{}, {{key, b}, {key, a}, {key, b}}, {}}));
  EXPECT_TRUE(loadServerList(again.context).rewrite);
  EXPECT_EQ(again.console.out(), "- loaded 2 servers\n");
  EXPECT_TRUE(std::equal(t.context.registry.begin(ServerType::Melee),
                         t.context.registry.end(ServerType::Melee),
                         again.context.registry.begin(ServerType::Melee),
                         again.context.registry.end(ServerType::Melee)));
}

TEST(ServerListFile, MissingFileStartsEmpty) {
  TestContext t;
  EXPECT_TRUE(loadServerList(t.context).readable);
  EXPECT_EQ(t.console.err(), "- starting with empty server list\n");
  EXPECT_EQ(t.console.out(), "");
}

TEST(ServerListFile, DamagedFileKeepsWhatWasWholeAndIsMovedAside) {
  const Bytes good = sections({{{0, host("A")}, {0, host("B")}}, {{0, host("C")}}, {}});
  const std::size_t second = 4 + kFileRecordSize;  // the second record of section 0
  Bytes countTooLarge = good;
  storeU32(countTooLarge.data() + 4 + 2 * kFileRecordSize, 0xFFFFFFFF);  // section 1
  Bytes lengthTooLarge = good;
  storeU32(lengthTooLarge.data() + second + 8 + 4 * kFileFieldSize, 4097);  // field 4
  const std::pair<Bytes, std::uint32_t> cases[] = {
      {{}, 0},
      {Bytes(good.begin(), good.end() - 2), 3},               // inside the last count
      {Bytes(good.begin(), good.begin() + second + 100), 1},  // inside a record
      {countTooLarge, 3},  // the one whole record after the count is still read
      {lengthTooLarge, 1},
  };
  for (const auto& [bytes, kept] : cases) {
    TestContext t;
    writeFile(t.context.listFile, bytes);
    EXPECT_TRUE(loadServerList(t.context).readable);
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
    saveServerList(t.context);
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
    loadServerList(start.context);
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
    loadServerList(start.context);
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
  EXPECT_FALSE(loadServerList(t.context).readable);
  EXPECT_EQ(t.console.err(), line + "Is a directory\n");
  EXPECT_EQ(t.console.out(), "");
  EXPECT_TRUE(fs::is_directory(t.context.listFile));

  // A pipe with no writer: refused at once, not waited on.
  TestContext pipe;
  ASSERT_EQ(::mkfifo(pipe.context.listFile.c_str(), 0600), 0);
  EXPECT_FALSE(loadServerList(pipe.context).readable);
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
    return !loadServerList(start.context).readable && start.console.out().empty() &&
           start.console.err() == "+error: cannot read server list " + denied.context.listFile +
                                      ": Permission denied\n";
  }));
  EXPECT_EQ(readFile(denied.context.listFile), three);

  // Nothing was moved aside or written next to them.
  for (const fs::path& dir : {t.dir, pipe.dir, denied.dir}) {
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << dir;
  }
}

// A stream that yields `bytes` and then fails with EIO, like a disk with a bad sector.
std::FILE* failingStream(Bytes& bytes) {
  struct Cookie {
    Bytes* bytes;
    std::size_t offset = 0;
  };
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
    auto* at = static_cast<Cookie*>(cookie);
    const std::size_t left = at->bytes->size() - at->offset;
    if (left == 0) {
      errno = EIO;
      return -1;
    }
    const std::size_t n = std::min(left, size);
    std::copy_n(at->bytes->data() + at->offset, n, buffer);
    at->offset += n;
    return static_cast<ssize_t>(n);
  };
  io.close = [](void* cookie) {
    delete static_cast<Cookie*>(cookie);
    return 0;
  };
  return ::fopencookie(new Cookie{&bytes}, "rb", io);
}

TEST(ServerListReader, AnIoErrorIsNoDamage) {
  // The file claims two records; the read of the second fails.
  Bytes bytes = sections({{{0, host("A")}, {0, host("B")}}, {}, {}});
  const std::uint64_t size = bytes.size();
  bytes.resize(4 + kFileRecordSize + 10);
  std::FILE* stream = failingStream(bytes);
  ServerListReader reader(stream, size);
  ServerListReader::Entry entry;
  EXPECT_EQ(reader.next(entry), ServerListReader::Result::Record);
  EXPECT_EQ(reader.next(entry), ServerListReader::Result::ReadError);
  EXPECT_EQ(reader.readError(), "Input/output error");
  EXPECT_EQ(reader.next(entry), ServerListReader::Result::ReadError);
  std::fclose(stream);
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
  t.context.checksumTrace = true;
  EXPECT_TRUE(loadServerList(t.context).readable);
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
  saveServerList(t.context);
  EXPECT_EQ(readFile(t.context.listFile), bytes);
}

}  // namespace
}  // namespace dirserver
