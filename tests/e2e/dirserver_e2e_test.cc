// The real dirserver executable on the fixed port 6001, started in a directory of its own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/text.h"
#include "common/version.h"
#include "net/listener.h"
#include "registry/server_list_file.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver {
namespace {

using testing::hostStrings;
using testing::request;
using testing::requestBody;

std::optional<Bytes> ask(ByteView bytes) { return testing::roundTrip(kListenPort, bytes); }

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

TEST(DirserverExecutable, HelpVersionAndBadCommandLinesEndAtOnceWithoutTouchingTheDirectory) {
  // The argument lines, the exit code and the start of what is printed (standard output for
  // code 0, standard error otherwise).
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--version"}, 0, std::string("dirserver ") + kVersion + "\n"},
      {{"trace", "--help"}, 0, "usage: dirserver [--http ADDRESS:PORT] [trace]\n"},
      {{"-h"}, 0, "usage: dirserver"},
      {{"trace", "--bogus"}, 2, "dirserver: unknown option '--bogus'"},
      {{"--http", "localhost:80"}, 2, "dirserver: --http 'localhost:80'"}};
  for (const auto& [args, status, start] : cases) {
    testing::TestContext t;
    const auto begun = std::chrono::steady_clock::now();
    const testing::Finished run = testing::runToEnd(t.dir, DIRSERVER_BINARY, args);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
    EXPECT_EQ(run.status, status) << start;
    EXPECT_EQ((status == 0 ? run.out : run.err).rfind(start, 0), 0u) << run.out << run.err;
    EXPECT_EQ(status == 0 ? run.err : run.out, "") << start;
    // Only the files that hold what it printed.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(t.dir)) {
      EXPECT_TRUE(entry.path().filename().string().starts_with("dirserver.")) << entry.path();
      ++files;
    }
    EXPECT_EQ(files, 2u) << start;
  }
}

TEST(DirserverExecutable, ErrorLinesCarryTheirPriorityOnlyWhenStandardErrorIsTheJournal) {
  testing::TestContext t;
  const int holder = bindListener(kListenPort);
  ASSERT_GE(holder, 0) << "port 6001 is in use on this machine";
  ASSERT_EQ(::listen(holder, 1), 0);
  // The file the server's standard error goes to stands in for the journal's stream socket.
  testing::writeFile(t.dir / "server.err", {});
  struct stat status {};
  ASSERT_EQ(::stat((t.dir / "server.err").c_str(), &status), 0);
  const std::string journal = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  for (const std::string& stream : {journal, journal + "1"}) {
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    testing::Process server(t.dir, "server", DIRSERVER_BINARY);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(server.waitExit(), 1);
    EXPECT_EQ(server.err(),
              stream == journal ? "<3>+error: bind() error\n" : "+error: bind() error\n");
  }
  ::close(holder);
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
  }  // killed with SIGKILL
  EXPECT_EQ(std::filesystem::file_size(t.dir / "server_list.dat"), 12 + 2 * kFileRecordSize);
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

}  // namespace
}  // namespace dirserver
