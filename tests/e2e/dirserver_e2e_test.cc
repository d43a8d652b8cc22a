// The real dirserver executable on the fixed port 6001, started in a directory of its own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "common/text.h"
#include "net/listener.h"
#include "registry/server_key.h"
#include "registry/server_list_file.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver {
namespace {

using testing::hostStrings;
using testing::request;
using testing::requestBody;

std::optional<Bytes> ask(ByteView bytes) { return testing::roundTrip(kListenPort, bytes); }

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Waits, at most `limit`, until the file at `path` has `size` bytes: the background save of the
// last change has landed.
bool fileReaches(const std::filesystem::path& path, std::uintmax_t size,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == size && !error) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(DirserverExecutable, BindFailureEndsWithCodeOneWithoutTouchingTheFile) {
  testing::TestContext t;
  const Bytes damaged{1, 2, 3};
  testing::writeFile(t.dir / "server_list.dat", damaged);
  // Another socket listens on the port (with address reuse, as connections of earlier tests may
  // linger); address reuse does not let a second one bind.
  const int holder = bindListener(kListenPort);
  ASSERT_GE(holder, 0) << "port 6001 is in use on this machine";
  ASSERT_EQ(::listen(holder, 1), 0);
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  EXPECT_EQ(server.waitExit(), 1);
  ::close(holder);
  EXPECT_EQ(server.err(), "+error: bind() error\n");
  EXPECT_EQ(server.out(), "");
  EXPECT_EQ(testing::readFile(t.dir / "server_list.dat"), damaged);
}

TEST(DirserverExecutable, RegistryAndListingSurviveAKill) {
  testing::TestContext t;
  const auto melee = requestBody(hostStrings("/Aviantorvale/Melee Game", "Bob"));
  const auto quorv = requestBody(hostStrings("/Aviantorvale/Get The Quorv Game", "Ann"));
  Bytes before;
  {
    testing::Process server(t.dir, "server", DIRSERVER_BINARY);
    ASSERT_TRUE(server.waitServing()) << server.err();
    EXPECT_EQ(hexText(*ask(request(MessageType::Registration, melee))),
              "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00");
    ask(request(MessageType::Registration, quorv));
    ask(request(MessageType::Registration, melee));  // a refresh
    before = ask(request(MessageType::ListRequest)).value();
    EXPECT_EQ(loadU16(before.data() + 14), 6u);
    EXPECT_EQ(server.err(), "- starting with empty server list\n");
    const std::string out = server.out();
    EXPECT_NE(out.find("* server registration\nname: Bob  open\nregistration time: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("was already in the list, registration time updated\n"
                       "> number of servers: 2\n"),
              std::string::npos)
        << out;
    // Saved in the background, soon after the acknowledgement.
    EXPECT_TRUE(fileReaches(t.dir / "server_list.dat", 12 + 2 * kFileRecordSize));
  }  // killed with SIGKILL
  testing::Process restarted(t.dir, "server", DIRSERVER_BINARY, {"trace"});
  ASSERT_TRUE(restarted.waitServing()) << restarted.err();
  EXPECT_EQ(ask(request(MessageType::ListRequest)).value(), before);
  ask(request(MessageType::Shutdown, quorv));
  const auto after = ask(request(MessageType::ListRequest)).value();
  EXPECT_EQ(loadU16(after.data() + 14), 5u);
  restarted.kill();
  const std::string out = restarted.out();
  // The trace switch prints every key computed while loading, before the count.
  EXPECT_EQ(out.find(">> computing checksum: \n"), 0u) << out;
  EXPECT_NE(out.find("- loaded 2 servers\n"), std::string::npos) << out;
  EXPECT_NE(out.find("was removed from list\n> number of servers: 1\n"), std::string::npos);
}

TEST(DirserverExecutable, EveryDistinctHostIsListedThoughTheirStringsSumAlike) {
  // Names and maps numbered alike sum to few distinct keys: 1,500 hosts share a few hundred.
  testing::TestContext t;
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server.waitServing()) << server.err();
  std::set<ServerKey> keys;
  for (int i = 1; i <= 1500; ++i) {
    char name[16], map[16];
    std::snprintf(name, sizeof name, "Server %04d", i);
    std::snprintf(map, sizeof map, "Map %02d", i % 20);
    const std::vector<std::string> strings = {"/Aviantorvale/Melee Game", "10.0.0.1:7000", name,
                                              map, "4", "16", "open"};
    keys.insert(computeServerKey(testing::makeRecord(strings).fields));
    ASSERT_TRUE(ask(request(MessageType::Registration, requestBody(strings))).has_value());
  }
  EXPECT_LT(keys.size(), 400u);
  const Bytes listing = ask(request(MessageType::ListRequest)).value();
  EXPECT_EQ(loadU16(listing.data() + 14), 1504u);
  const std::string out = server.out();
  EXPECT_EQ(countOf(out, " was added to the list\n"), 1500u);
  EXPECT_EQ(countOf(out, "was already in the list"), 0u);
  // And they all come back after a restart.
  EXPECT_TRUE(fileReaches(t.dir / "server_list.dat", 12 + 1500 * kFileRecordSize));
  server.kill();
  testing::Process restarted(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(restarted.waitServing()) << restarted.err();
  EXPECT_EQ(ask(request(MessageType::ListRequest)).value(), listing);
}

TEST(DirserverExecutable, StopSignalSavesWhatIsPendingAndExitsCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    testing::TestContext t;
    const auto bob = requestBody(hostStrings("/Aviantorvale/Melee Game", "Bob"));
    {
      testing::Process server(t.dir, "server", DIRSERVER_BINARY);
      ASSERT_TRUE(server.waitServing()) << server.err();
      ask(request(MessageType::Registration, bob));
      server.signal(signal);  // at once: the save of the registration may not even have begun
      EXPECT_EQ(server.waitExit(), 0) << server.err();
      EXPECT_EQ(server.err(), "- starting with empty server list\n");
    }
    EXPECT_EQ(std::filesystem::file_size(t.dir / "server_list.dat"), 12 + kFileRecordSize);
    testing::Process restarted(t.dir, "server", DIRSERVER_BINARY);
    ASSERT_TRUE(restarted.waitServing()) << restarted.err();
    EXPECT_EQ(loadU16(ask(request(MessageType::ListRequest))->data() + 14), 5u);
    restarted.signal(SIGTERM);
    EXPECT_EQ(restarted.waitExit(), 0);
  }
}

}  // namespace
}  // namespace dirserver
