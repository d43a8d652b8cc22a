// The dirctl executable against the real dirserver executable on port 6001, both started as an
// operator starts them, in a directory of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "persist/server_list_file.h"
#include "registry/server_key.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

// Where the server of these tests listens.
const testing::ServerAddress kServer;

// dirctl run to its end in `t`'s directory, where the server of the test runs.
testing::Finished dirctl(const testing::TestContext& t, const std::vector<std::string>& args) {
  return testing::runToEnd(t.dir, DIRCTL_BINARY, args);
}

TEST(DirctlExecutable, RegistersListsAndShutsDownAHostOnTheRealServer) {
  testing::TestContext t;
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server.waitServing()) << server.err();

  // The last string holds a control character and a quote, which the JSON carries escaped.
  const std::vector<std::string> bob = {
      "/Aviantorvale/Melee Game", "10.0.0.1:7000", "Bob", "v1.0", "4", "16", "a\x01z\"q"};
  const std::string key = std::to_string(computeServerKey(testing::makeRecord(bob).fields));
  std::vector<std::string> args{"register"};
  args.insert(args.end(), bob.begin(), bob.end());
  const testing::Finished registered = dirctl(t, args);
  EXPECT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.out, "127.0.0.1:6001 acknowledged the registration of \"Bob\" (key " + key +
                                ", /Aviantorvale/Melee Game)\n"
                                "127.0.0.1:6001 lists \"Bob\" now, as a new host\n");

  // The JSON carries the last string escaped (its layout is the JSON listing test's).
  const testing::Finished listed = dirctl(t, {"list", "--json"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find(R"("name":"Bob","key":)" + key), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(R"("a\u0001z\"q"]}]})"), std::string::npos) << listed.out;

  args[0] = "shutdown";
  const testing::Finished shutDown = dirctl(t, args);
  EXPECT_EQ(shutDown.status, 0) << shutDown.err;
  EXPECT_EQ(shutDown.out, "127.0.0.1:6001 acknowledged the shutdown of \"Bob\" (key " + key +
                              ", /Aviantorvale/Melee Game)\n"
                              "127.0.0.1:6001 no longer lists \"Bob\"\n");
  const testing::Finished emptied = dirctl(t, {"list", "--json"});
  EXPECT_EQ(emptied.out.rfind(R"({"server":"127.0.0.1:6001","hosts":0,)", 0), 0u) << emptied.out;
  EXPECT_EQ(dirctl(t, {"ping"}).status, 0);  // the health check

  // Before the first snapshot there is no list: dump shows the log that holds both changes.
  ASSERT_FALSE(std::filesystem::exists(t.dir / "server_list.dat"));
  const testing::Finished dumped = dirctl(t, {"dump"});
  EXPECT_EQ(dumped.status, 0) << dumped.err;
  EXPECT_NE(dumped.out.find("Bob"), std::string::npos) << dumped.out;
  EXPECT_NE(dumped.out.find("no server_list.dat yet: the 1 log above holds every change\n"),
            std::string::npos)
      << dumped.out;
}

// A server that trusts this machine as a load balancer goes by the address dirctl's header names,
// and wants a header on every connection from it.
TEST(DirctlExecutable, SourceNamesThePeerForAServerThatTrustsThisMachine) {
  testing::TestContext t;
  testing::Process server(t.dir, "server", DIRSERVER_BINARY, {"--proxy-from", "127.0.0.1/32"});
  bool serving = false;
  for (int attempt = 0; attempt < 50 && !serving; ++attempt) {
    serving = dirctl(t, {"ping", "--source", "127.0.0.1", "--timeout", "1"}).status == 0;
    if (!serving) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(serving) << server.err();
  EXPECT_EQ(dirctl(t, {"ping", "--timeout", "5"}).status, 1);
  std::vector<std::string> args = {"register", "/Aviantorvale/Melee Game", "a", "Carol", "b",
                                   "c", "d", "e", "--source", "203.0.113.7"};
  const testing::Finished registered = dirctl(t, args);
  EXPECT_EQ(registered.status, 0) << registered.err;
  args[0] = "shutdown";
  args.back() = "203.0.113.8";
  const testing::Finished notTheOwner = dirctl(t, args);
  EXPECT_EQ(notTheOwner.status, 1);
  EXPECT_NE(notTheOwner.err.find("still lists \"Carol\""), std::string::npos) << notTheOwner.err;
  args.back() = "203.0.113.7";
  const testing::Finished owner = dirctl(t, args);
  EXPECT_EQ(owner.status, 0) << owner.err;
  const std::string err = server.err();
  EXPECT_NE(err.find("+error: invalid PROXY header from a trusted balancer\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("was registered from another address\n"), std::string::npos) << err;
}

TEST(DirctlExecutable, AnOperatorBansRemovesAndSnapshotsWhileTheServerRuns) {
  namespace fs = std::filesystem;
  testing::TestContext t;
  const std::string handEdited = "# the operator's notes\n192.0.2.0/24 old abuse\nbogus\n";
  testing::writeFile(t.dir / "bans.txt", Bytes(handEdited.begin(), handEdited.end()));
  auto server = std::make_unique<testing::Process>(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server->waitServing()) << server->err();
  const auto hostsListed = [&] {
    const std::string json = dirctl(t, {"list", "--json"}).out;
    std::smatch count;
    return std::regex_search(json, count, std::regex(R"("hosts":([0-9]+),)")) ? std::stoi(count[1])
                                                                             : -1;
  };
  const auto registerFrom = [](const char* source, const std::string& name) {
    return testing::roundTrip(kServer, testing::registration(name), source);
  };
  const Bytes ping = testing::request(MessageType::AckRequest);
  for (const auto& [source, name] : {std::pair{"127.0.0.2", "Spam1"},
                                     {"127.0.0.2", "Spam2"},
                                     {"127.0.0.3", "Later"},
                                     {"127.0.0.1", "Good"}}) {
    ASSERT_TRUE(registerFrom(source, name)) << name;
  }
  ASSERT_EQ(hostsListed(), 4);

  // A range banned: its hosts gone at once, its connections closed unanswered, the line written.
  testing::Finished run = dirctl(t, {"ban", "127.0.0.2/32", "spam", "bot"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "127.0.0.2 is banned: 2 servers removed\n");
  EXPECT_EQ(hostsListed(), 2);
  EXPECT_EQ(testing::roundTrip(kServer, ping, "127.0.0.2"), Bytes{});
  EXPECT_EQ(dirctl(t, {"bans"}).out, "127.0.0.2 spam bot\n192.0.2.0/24 old abuse\n2 bans in force\n");

  // A line added by hand takes effect at SIGHUP.
  std::ofstream(t.dir / "bans.txt", std::ios::app) << "127.0.0.3 by hand\n";
  server->signal(SIGHUP);
  ASSERT_TRUE(server->waitOutput("- reloaded 3 bans from bans.txt: 1 servers removed\n"));
  EXPECT_EQ(hostsListed(), 1);
  EXPECT_NE(dirctl(t, {"bans"}).out.find("\n127.0.0.3 by hand\n"), std::string::npos);

  run = dirctl(t, {"unban", "127.0.0.2"});
  EXPECT_EQ(run.out, "127.0.0.2 is no longer banned\n");
  EXPECT_EQ(testing::roundTrip(kServer, ping, "127.0.0.2")->size(), kAckMessage.size());

  // A snapshot while registrations go on leaves a whole file with at least what came before it.
  std::atomic<bool> stop = false;
  std::thread registering([&] {
    for (int i = 0; !stop; ++i) registerFrom("127.0.0.4", "Busy" + std::to_string(i));
  });
  while (hostsListed() < 10) std::this_thread::yield();
  run = dirctl(t, {"snapshot"});
  stop = true;
  registering.join();
  std::smatch saved;
  ASSERT_TRUE(
      std::regex_match(run.out, saved, std::regex("([0-9]+) servers saved, durable, in (/.*)\n")))
      << run.out << run.err;
  EXPECT_GE(std::stoul(saved[1]), 10u);
  EXPECT_EQ(fs::path(saved[2].str()), fs::canonical(t.dir / "server_list.dat"));
  const auto size = fs::file_size(t.dir / "server_list.dat");
  EXPECT_EQ((size - 3 * kFileCountSize) % kFileRecordSize, 0u);
  EXPECT_GE((size - 3 * kFileCountSize) / kFileRecordSize, std::stoul(saved[1]));
  run = dirctl(t, {"status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("bans: 2 ranges; 1 connections closed at accept, 3 hosts removed\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(server->err().find("+error: control"), std::string::npos) << server->err();

  // Killed, the server leaves its socket behind; the next one takes it over, keeps the bans, and
  // applies one added while it was down to the hosts it loads, which keep their addresses.
  server.reset();
  EXPECT_TRUE(fs::exists(t.dir / "dirserver.sock"));
  std::ofstream(t.dir / "bans.txt", std::ios::app) << "127.0.0.4 while down\n";
  server = std::make_unique<testing::Process>(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server->waitServing()) << server->err();
  // The console's lines reach the file a moment after the server answers.
  EXPECT_TRUE(server->waitOutput("- removed ")) << server->out();
  EXPECT_NE(server->out().find("- loaded 3 bans from bans.txt\n"), std::string::npos);
  EXPECT_EQ(hostsListed(), 1);
  EXPECT_EQ(dirctl(t, {"bans"}).out,
            "127.0.0.3 by hand\n127.0.0.4 while down\n192.0.2.0/24 old abuse\n3 bans in force\n");
  server->signal(SIGTERM);
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_FALSE(fs::exists(t.dir / "dirserver.sock"));
}

TEST(DirctlExecutable, AControlSocketThatCannotBeMadeCostsOnlyTheCommandsUnlessNamed) {
  namespace fs = std::filesystem;
  testing::TestContext t;
  // A socket that cannot be made at the default path costs only the commands: the server serves,
  // and SIGHUP still reads the bans.
  fs::create_directory(t.dir / "dirserver.sock");
  {
    testing::Process server(t.dir, "server", DIRSERVER_BINARY);
    ASSERT_TRUE(server.waitServing()) << server.err();
    EXPECT_TRUE(server.waitOutput("+warning: control socket: ", true)) << server.err();
    std::ofstream(t.dir / "bans.txt") << "192.0.2.0/24 by hand\n";
    server.signal(SIGHUP);
    EXPECT_TRUE(server.waitOutput("- reloaded 1 bans from bans.txt: 0 servers removed\n"))
        << server.out() << server.err();
  }
  // Asked for by name, it ends the start.
  testing::Process named(t.dir, "named", DIRSERVER_BINARY, {"--control", "dirserver.sock"});
  EXPECT_EQ(named.waitExit(), 1);
  EXPECT_NE(named.err().find("+error: control socket: "), std::string::npos) << named.err();
}

TEST(DirctlExecutable, AFifoAtTheBansFilesNameHoldsNothingUp) {
  namespace fs = std::filesystem;
  testing::TestContext t;
  const std::string bans = (t.dir / "bans.txt").string();
  ASSERT_EQ(::mkfifo(bans.c_str(), 0600), 0);
  // At start it ends the start at once, before the list is read: a damaged list is not even
  // moved aside.
  testing::writeFile(t.dir / "server_list.dat", Bytes{1, 2, 3});
  testing::Process refused(t.dir, "refused", DIRSERVER_BINARY);
  EXPECT_EQ(refused.waitExit(), 1);
  EXPECT_EQ(refused.err(), "+error: cannot read bans bans.txt: not a regular file\n");
  EXPECT_EQ(testing::readFile(t.dir / "server_list.dat"), (Bytes{1, 2, 3}));
  fs::remove(t.dir / "server_list.dat");

  // Later, a reload keeps the bans in force and says why, a ban command fails at once, and the
  // server still stops when told.
  fs::remove(bans);
  std::ofstream(bans) << "192.0.2.0/24 spam\n";
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server.waitServing()) << server.err();
  fs::remove(bans);
  ASSERT_EQ(::mkfifo(bans.c_str(), 0600), 0);
  server.signal(SIGHUP);
  EXPECT_TRUE(server.waitOutput("+error: cannot read bans bans.txt: not a regular file; the bans "
                                "in force stay as they were\n",
                                true));
  const testing::Finished ban = dirctl(t, {"ban", "198.51.100.7"});
  EXPECT_EQ(ban.status, 1);
  EXPECT_NE(ban.err.find("not a regular file"), std::string::npos) << ban.err;
  EXPECT_EQ(dirctl(t, {"bans"}).out, "192.0.2.0/24 spam\n1 bans in force\n");
  server.signal(SIGTERM);
  EXPECT_EQ(server.waitExit(), 0);
}

}  // namespace
}  // namespace dirserver
