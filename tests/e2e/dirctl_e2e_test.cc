// The dirctl executable against the real dirserver executable on port 6001, both started as an
// operator starts them, in a directory of their own.
#include <gtest/gtest.h>

#include "registry/server_key.h"
#include "support/process.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(DirctlExecutable, RegistersListsAndShutsDownAHostOnTheRealServer) {
  testing::TestContext t;
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(server.waitServing()) << server.err();
  const auto dirctl = [&](const std::vector<std::string>& args) {
    return testing::runToEnd(t.dir, DIRCTL_BINARY, args);
  };

  // The last string holds a control character and a quote, which the JSON carries escaped.
  const std::vector<std::string> bob = {
      "/Aviantorvale/Melee Game", "10.0.0.1:7000", "Bob", "v1.0", "4", "16", "a\x01z\"q"};
  const std::string key = std::to_string(computeServerKey(testing::makeRecord(bob).fields));
  std::vector<std::string> args{"register"};
  args.insert(args.end(), bob.begin(), bob.end());
  const testing::Finished registered = dirctl(args);
  EXPECT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.out, "127.0.0.1:6001 acknowledged the registration of \"Bob\" (key " + key +
                                ", /Aviantorvale/Melee Game)\n"
                                "127.0.0.1:6001 lists \"Bob\" now, as a new host\n");

  const testing::Finished listed = dirctl({"list", "--json"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            R"({"server":"127.0.0.1:6001","hosts":1,"entryCount":5,"directories":[)"
            R"({"path":"/Aviantorvale","type":null,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Get The Quorv Game","type":0,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Melee Game","type":1,"hosts":[{"name":"Bob","key":)" +
                key +
                R"(,"fields":["/Aviantorvale/Melee Game","10.0.0.1:7000","Bob","v1.0","4","16",)"
                R"("a\u0001z\"q"]}]},)"
                R"({"path":"/Aviantorvale/Team Melee Game","type":2,"hosts":[]}]})"
                "\n");

  args[0] = "shutdown";
  const testing::Finished shutDown = dirctl(args);
  EXPECT_EQ(shutDown.status, 0) << shutDown.err;
  EXPECT_EQ(shutDown.out, "127.0.0.1:6001 acknowledged the shutdown of \"Bob\" (key " + key +
                              ", /Aviantorvale/Melee Game)\n"
                              "127.0.0.1:6001 no longer lists \"Bob\"\n");
  const testing::Finished emptied = dirctl({"list", "--json"});
  EXPECT_EQ(emptied.out.rfind(R"({"server":"127.0.0.1:6001","hosts":0,)", 0), 0u) << emptied.out;

  // The server acknowledges a shutdown of a host it does not have; dirctl does not call it done.
  const testing::Finished again = dirctl(args);
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err,
            "dirctl: 127.0.0.1:6001 did not list \"Bob\", so the shutdown removed nothing\n");
  // The health check: ping's exit status.
  EXPECT_EQ(dirctl({"ping"}).status, 0);
  server.kill();
  EXPECT_EQ(dirctl({"ping", "--timeout", "1"}).status, 1);
}

}  // namespace
}  // namespace dirserver
