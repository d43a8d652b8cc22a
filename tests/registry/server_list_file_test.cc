#include "registry/server_list_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::makeRecord;
using testing::readFile;
using testing::TestContext;
using testing::writeFile;

namespace fs = std::filesystem;

ServerRecord host(std::string name, std::int32_t time = 1'000) {
  return makeRecord({"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "bb", "ccc", "z"}, time);
}

void file(TestContext& t, const ServerRegistry& registry) {
  TestContext writer;
  writer.context.listFile = t.context.listFile;
  for (ServerType type : kServerTypes) {
    for (auto it = registry.begin(type); it != registry.end(type); ++it) {
      writer.context.registry.insert(type, it->first, it->second);
    }
  }
  saveServerList(writer.context);
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

// ---------------------------------------------------------------------------------------------
// Saving: the exact layout.

TEST(ServerListSave, EmptyRegistryIsThreeZeroCounts) {
  TestContext t;
  saveServerList(t.context);
  EXPECT_EQ(readFile(t.context.listFile), Bytes(12, 0));
  EXPECT_EQ(t.console.err(), "");
  EXPECT_FALSE(fs::exists(t.context.listFile + ".tmp"));
}

TEST(ServerListSave, OneMeleeRecordLayout) {
  TestContext t;
  ServerRecord record = host("Bob", -2);
  record.fields[1].data = {0x31, 0x00, 0x32};  // an odd length, as only a file can give
  t.context.registry.insert(ServerType::Melee, 0xA1B2C3D4, record);
  saveServerList(t.context);
  const Bytes bytes = readFile(t.context.listFile);
  ASSERT_EQ(bytes.size(), 28706u);
  EXPECT_EQ(loadU32(&bytes[0]), 0u);
  EXPECT_EQ(loadU32(&bytes[4]), 1u);
  const std::uint8_t* rec = &bytes[8];
  EXPECT_EQ(loadU32(rec + 0), 0xA1B2C3D4u);
  EXPECT_EQ(loadU32(rec + 4), 0xFFFFFFFEu);
  const std::size_t fieldOffsets[] = {8, 4106, 8204, 12302, 16400, 20498, 24596};
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const std::uint8_t* at = rec + fieldOffsets[i];
    const ServerField& field = record.fields[i];
    ASSERT_EQ(loadU16(at), field.length()) << i;
    EXPECT_TRUE(std::equal(field.data.begin(), field.data.end(), at + 2)) << i;
    EXPECT_TRUE(std::all_of(at + 2 + field.length(), at + 2 + kFieldCapacity, [](std::uint8_t b) {
      return b == 0;
    })) << i;
  }
  EXPECT_EQ(loadU32(&bytes[8 + kFileRecordSize]), 0u);
}

TEST(ServerListSave, RecordsStandInUnsignedKeyOrder) {
  TestContext t;
  t.context.registry.insert(ServerType::GetTheQuorv, 0x80000001, host("High"));
  t.context.registry.insert(ServerType::GetTheQuorv, 5, host("Low"));
  saveServerList(t.context);
  const Bytes bytes = readFile(t.context.listFile);
  ASSERT_EQ(bytes.size(), 12 + 2 * kFileRecordSize);
  EXPECT_EQ(loadU32(&bytes[4]), 5u);
  EXPECT_EQ(loadU32(&bytes[4 + kFileRecordSize]), 0x80000001u);
}

TEST(ServerListSave, FailureKeepsThePreviousFileAndSaysSo) {
  TestContext t;
  t.context.registry.insert(ServerType::Melee, 1, host("Old"));
  saveServerList(t.context);
  const Bytes previous = readFile(t.context.listFile);
  t.context.registry.insert(ServerType::Melee, 2, host("New"));

  // The temporary file cannot be created: a directory stands in its place.
  fs::create_directory(t.context.listFile + ".tmp");
  saveServerList(t.context);
  EXPECT_EQ(t.console.err(), "- could not save server list\n");
  EXPECT_EQ(readFile(t.context.listFile), previous);
  fs::remove(t.context.listFile + ".tmp");

  // The next save tries again and succeeds.
  saveServerList(t.context);
  EXPECT_EQ(readFile(t.context.listFile).size(), 12 + 2 * kFileRecordSize);

  // A directory that does not exist.
  TestContext missing;
  missing.context.listFile = (missing.dir / "no such dir" / "server_list.dat").string();
  saveServerList(missing.context);
  EXPECT_EQ(missing.console.err(), "- could not save server list\n");
}

TEST(ServerListSave, KillAtAnyMomentLeavesAWholeFile) {
  // A child saves two registries of different sizes over and over and is killed at a random
  // moment; what it leaves must always load whole as one of the two.
  TestContext t;
  file(t, ServerRegistry{});
  for (int round = 0; round < 8; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TestContext writer;
      writer.context.listFile = t.context.listFile;
      for (ServerKey key = 1; key <= 40; ++key) {
        writer.context.registry.insert(ServerType::Melee, key, host("H" + std::to_string(key)));
      }
      for (;;) {
        saveServerList(writer.context);
        writer.context.registry.erase(ServerType::Melee, 40);
        saveServerList(writer.context);
        writer.context.registry.insert(ServerType::Melee, 40, host("H40"));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 13 * round));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    TestContext reader;
    reader.context.listFile = t.context.listFile;
    loadServerList(reader.context);
    EXPECT_EQ(reader.console.err(), "") << "round " << round;
    const auto count = reader.context.registry.totalCount();
    EXPECT_TRUE(count == 0 || count == 39 || count == 40) << count;
  }
}

// ---------------------------------------------------------------------------------------------
// Loading.

TEST(ServerListLoad, MissingFileStartsEmpty) {
  TestContext t;
  loadServerList(t.context);
  EXPECT_EQ(t.console.err(), "- starting with empty server list\n");
  EXPECT_EQ(t.console.out(), "");
  EXPECT_EQ(t.context.registry.totalCount(), 0u);
}

TEST(ServerListLoad, SaveThenLoadGivesTheSameMaps) {
  TestContext t;
  ServerRegistry& registry = t.context.registry;
  ServerRecord odd = host("Odd", 77);
  odd.fields[3].data = {0x01, 0x02, 0x03};
  odd.fields[4].data.clear();
  ServerRecord full = host("Full", -5);
  full.fields[5].data.assign(kFieldCapacity, 0x7A);
  for (ServerRecord* record : {&odd, &full}) {
    for (ServerType type : {ServerType::GetTheQuorv, ServerType::TeamMelee}) {
      registry.insert(type, computeServerKey(record->fields), *record);
    }
  }
  saveServerList(t.context);
  TestContext loaded;
  loaded.context.listFile = t.context.listFile;
  loadServerList(loaded.context);
  EXPECT_EQ(loaded.console.out(), "- loaded 4 servers\n");
  for (ServerType type : kServerTypes) {
    ASSERT_EQ(loaded.context.registry.size(type), registry.size(type));
    auto a = registry.begin(type);
    for (auto b = loaded.context.registry.begin(type); b != loaded.context.registry.end(type);
         ++a, ++b) {
      EXPECT_EQ(a->first, b->first);
      EXPECT_EQ(a->second, b->second);
    }
  }
}

TEST(ServerListLoad, KeysAreRecomputedAndDuplicatesWithinASectionDropped) {
  TestContext t;
  const ServerRecord bob = host("Bob", 1);
  ServerRecord bobLater = bob;
  bobLater.registrationTime = 2;
  const ServerRecord eve = host("Eve", 3);
  writeFile(t.context.listFile,
            sections({{{12345, bob}, {999, bobLater}}, {}, {{1, eve}, {2, bob}}}));
  loadServerList(t.context);
  EXPECT_EQ(t.console.out(), "- loaded 3 servers\n");
  EXPECT_EQ(t.console.err(), "");
  const ServerRegistry& registry = t.context.registry;
  ASSERT_EQ(registry.size(ServerType::GetTheQuorv), 1u);
  EXPECT_EQ(registry.begin(ServerType::GetTheQuorv)->first, computeServerKey(bob.fields));
  EXPECT_EQ(registry.begin(ServerType::GetTheQuorv)->second.registrationTime, 1);
  // A record stands in the map of its section whatever its path says.
  EXPECT_EQ(registry.size(ServerType::TeamMelee), 2u);
}

TEST(ServerListLoad, TraceOfEveryRecordComesBeforeTheCount) {
  TestContext t;
  writeFile(t.context.listFile, sections({{{0, host("A")}}, {{0, host("B")}}, {}}));
  t.context.checksumTrace = true;
  loadServerList(t.context);
  const std::string out = t.console.out();
  EXPECT_EQ(out.find(">> computing checksum: \n"), 0u);
  EXPECT_NE(out.find(">> computing checksum: \n", 1), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 19), "- loaded 2 servers\n");
}

TEST(ServerListLoad, BytesAfterTheThirdSectionAreIgnored) {
  TestContext t;
  Bytes bytes = sections({{}, {{0, host("A")}}, {}});
  bytes.insert(bytes.end(), 100, 0xEE);
  writeFile(t.context.listFile, bytes);
  loadServerList(t.context);
  EXPECT_EQ(t.console.out(), "- loaded 1 servers\n");
  EXPECT_EQ(t.console.err(), "");
  EXPECT_TRUE(fs::exists(t.context.listFile));
}

// Damaged files keep what was read whole before the damage, and are moved aside.
class DamagedServerList : public ::testing::Test {
 protected:
  void load(const Bytes& bytes) {
    writeFile(t.context.listFile, bytes);
    loadServerList(t.context);
  }
  void expectKeptAside(const Bytes& original, std::uint32_t kept) {
    const std::string err = t.console.err();
    EXPECT_EQ(err.rfind("- server list is damaged (", 0), 0u) << err;
    EXPECT_NE(err.find("kept " + std::to_string(kept) + " servers"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(t.console.out(), "- loaded " + std::to_string(kept) + " servers\n");
    EXPECT_EQ(t.context.registry.totalCount(), kept);
    EXPECT_FALSE(fs::exists(t.context.listFile));
    EXPECT_EQ(readFile(damagedListFile(t.context.listFile)), original);
  }

  TestContext t;
  const Bytes good = sections({{{0, host("A")}, {0, host("B")}}, {{0, host("C")}}, {}});
};

TEST_F(DamagedServerList, EmptyFile) {
  load({});
  expectKeptAside({}, 0);
}

TEST_F(DamagedServerList, EndsInsideACount) {
  const Bytes cut(good.begin(), good.end() - 2);
  load(cut);
  expectKeptAside(cut, 3);
}

TEST_F(DamagedServerList, EndsInsideARecord) {
  const Bytes cut(good.begin(), good.begin() + 4 + kFileRecordSize + 100);
  load(cut);
  expectKeptAside(cut, 1);
}

TEST_F(DamagedServerList, CountNeedsMoreBytesThanTheFileHolds) {
  Bytes bytes = good;
  storeU32(bytes.data() + 4 + 2 * kFileRecordSize, 0xFFFFFFFF);  // section 1
  load(bytes);
  // The one whole record that does follow the count is still read.
  expectKeptAside(bytes, 3);
}

TEST_F(DamagedServerList, FieldLengthAboveCapacity) {
  Bytes bytes = good;
  // Field 4 of the second record of section 0.
  const std::size_t at = 4 + kFileRecordSize + 8 + 4 * kFileFieldSize;
  bytes[at] = 0x01;
  bytes[at + 1] = 0x10;  // 4097
  load(bytes);
  expectKeptAside(bytes, 1);
}

TEST_F(DamagedServerList, NextSaveDoesNotTouchTheDamagedCopy) {
  const Bytes cut(good.begin(), good.end() - 1);
  load(cut);
  saveServerList(t.context);
  EXPECT_EQ(readFile(damagedListFile(t.context.listFile)), cut);
  EXPECT_EQ(readFile(t.context.listFile).size(), 12 + 3 * kFileRecordSize);
}

}  // namespace
}  // namespace dirserver
