// The real dirserver executable on the fixed port 6001, started in a directory of its own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/text.h"
#include "common/version.h"
#include "net/listener.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"
#include "persist/write_ahead_log.h"
#include "support/loopback.h"
#include "support/process.h"

namespace dirserver {
namespace {

// Where the server of these tests listens.
const testing::ServerAddress kServer;

using namespace std::chrono_literals;
using testing::hostStrings;
using testing::request;
using testing::requestBody;

std::optional<Bytes> ask(ByteView bytes, const char* source = nullptr) {
  return testing::roundTrip(kServer, bytes, source);
}

// Waits, at most `limit`, until the logs in `dir` hold `changes` changes: the commits of the
// changes acknowledged so far have landed.
bool logReaches(const std::filesystem::path& dir, std::uint64_t changes,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::uint64_t held = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (!entry.path().filename().string().starts_with("server_list.wal.")) continue;
      const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
      LogReader reader(systemEnv(), fd, std::filesystem::file_size(entry.path()));
      LogHeader header;
      LogEntry change;
      if (reader.readHeader(header)) {
        while (reader.next(change) == LogReader::Result::Entry) ++held;
      }
      ::close(fd);
    }
    if (held >= changes) return true;
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
  // The error line carries its priority only when standard error is the journal's stream (the
  // file it goes to stands in for the journal's socket); without the variable, lines are bare in
  // every other test here.
  testing::writeFile(t.dir / "server.err", {});
  struct stat status {};
  ASSERT_EQ(::stat((t.dir / "server.err").c_str(), &status), 0);
  const std::string journal = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  for (const std::string& stream : {journal, journal + "1"}) {
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    testing::Process server(t.dir, "server", DIRSERVER_BINARY);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(server.waitExit(), 1);
    EXPECT_EQ(server.err(), (stream == journal ? "<3>" : "") + std::string("+error: bind() error\n"));
    EXPECT_EQ(server.out(), "");
  }
  ::close(holder);
  EXPECT_EQ(testing::readFile(t.dir / "server_list.dat"), damaged);
}

TEST(DirserverExecutable, HelpVersionAndBadCommandLinesEndAtOnceWithoutTouchingTheDirectory) {
  // The argument lines, the exit code and the start of what is printed (standard output for
  // code 0, standard error otherwise).
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--version"}, 0, std::string("dirserver ") + kVersion + "\n"},
      {{"trace", "--help"}, 0,
       "usage: dirserver [--http ADDRESS:PORT] [--max-host-bytes BYTES] [--console full|summary]\n"
       "                 [--control PATH] [--listen ADDRESS:PORT]... [--proxy-from CIDR]...\n"
       "                 [--max-hosts-per-net N] [--net-prefix P] [--new-hosts-per-minute N]\n"
       "                 [--listings-per-minute N]\n"
       "                 [--cluster nats://HOST:PORT[,...] [--cluster-bucket NAME]\n"},
      {{"trace", "--bogus"}, 2, "dirserver: unknown option '--bogus'"},
      {{"--http", "localhost:80"}, 2, "dirserver: --http 'localhost:80'"}};
  for (const auto& [args, status, start] : cases) {
    testing::TestContext t;
    const testing::Finished run = testing::runToEnd(t.dir, DIRSERVER_BINARY, args);
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
    EXPECT_TRUE(server.waitOutput("registration time updated\n> number of servers: 2\n"));
    EXPECT_EQ(server.err(), "- starting with empty server list\n");
    // Committed to the log in the background, soon after the acknowledgement (the refresh only
    // when it came in a later second than the registration: otherwise it changed nothing kept).
    EXPECT_TRUE(logReaches(t.dir, 2));
  }  // killed with SIGKILL
  testing::Process restarted(t.dir, "server", DIRSERVER_BINARY, {"trace"});
  ASSERT_TRUE(restarted.waitServing()) << restarted.err();
  EXPECT_EQ(ask(request(MessageType::ListRequest)).value(), before);
  ask(request(MessageType::Shutdown, quorv));
  const auto after = ask(request(MessageType::ListRequest)).value();
  EXPECT_EQ(loadU16(after.data() + 14), 5u);
  EXPECT_TRUE(restarted.waitOutput("was removed from list\n> number of servers: 1\n"));
  restarted.kill();
  const std::string out = restarted.out();
  // The trace switch prints every key computed while loading, before the count.
  EXPECT_EQ(out.find(">> computing checksum: \n"), 0u) << out;
  EXPECT_TRUE(out.find("- replayed 2 changes from the server list log: 2 servers\n") !=
                  std::string::npos ||
              out.find("- replayed 3 changes from the server list log: 2 servers\n") !=
                  std::string::npos)
      << out;
  EXPECT_NE(out.find("was removed from list\n> number of servers: 1\n"), std::string::npos);
}

// A datagram socket at `path` standing in for the one systemd names in NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ~NotifySocket() { ::close(fd_); }

  // The next message, "" when none comes within `limit`.
  std::string next(std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return "";
    char text[256];
    const ssize_t size = ::recv(fd_, text, sizeof text, 0);
    return size > 0 ? std::string(text, static_cast<std::size_t>(size)) : "";
  }

 private:
  const int fd_;
};

TEST(DirserverExecutable, StopSignalSavesWhatIsPendingAndExitsZeroOnlyIfTheLastSaveLanded) {
  for (int signal : {SIGTERM, SIGINT}) {
    testing::TestContext t;
    const auto bob = requestBody(hostStrings("/Aviantorvale/Melee Game", "Bob"));
    {
      // Started as systemd starts a unit of Type=notify with a watchdog of 100 ms (SIGTERM), and
      // as anything else starts it (SIGINT).
      const NotifySocket systemd(t.dir / "notify");
      if (signal == SIGTERM) {
        ::setenv("NOTIFY_SOCKET", (t.dir / "notify").c_str(), 1);
        ::setenv("WATCHDOG_USEC", "100000", 1);
      }
      testing::Process server(t.dir, "server", DIRSERVER_BINARY);
      ::unsetenv("NOTIFY_SOCKET");
      ::unsetenv("WATCHDOG_USEC");
      ASSERT_TRUE(server.waitServing()) << server.err();
      if (signal == SIGTERM) {
        EXPECT_EQ(systemd.next(), "READY=1");
        // The loop keeps telling, every 50 ms.
        for (int beat = 0; beat < 3; ++beat) EXPECT_EQ(systemd.next(), "WATCHDOG=1");
      }
      ask(request(MessageType::Registration, bob));
      server.signal(signal);  // at once: the save of the registration may not even have begun
      EXPECT_EQ(server.waitExit(), 0) << server.err();
      EXPECT_EQ(server.err(), "- starting with empty server list\n");
      std::string told;
      while (told != "STOPPING=1" && !(told = systemd.next(100ms)).empty()) {
      }
      EXPECT_EQ(told, signal == SIGTERM ? "STOPPING=1" : "");
    }
    // The stop leaves the list alone with its owners: every change in it, no log.
    EXPECT_EQ(std::filesystem::file_size(t.dir / "server_list.dat"), listFileSize(1));
    EXPECT_TRUE(std::filesystem::exists(t.dir / "server_list.owners"));
    EXPECT_FALSE(std::filesystem::exists(t.dir / "server_list.wal.1"));
    testing::Process restarted(t.dir, "server", DIRSERVER_BINARY);
    ASSERT_TRUE(restarted.waitServing()) << restarted.err();
    EXPECT_EQ(loadU16(ask(request(MessageType::ListRequest))->data() + 14), 5u);
    // A stop whose last save cannot land (the list's name is taken by a directory) keeps the
    // log and ends with code 1.
    ask(request(MessageType::Registration, requestBody(hostStrings("/Aviantorvale/Melee Game", "Cy"))));
    std::filesystem::remove(t.dir / "server_list.dat");
    std::filesystem::create_directories(t.dir / "server_list.dat" / "taken");
    restarted.signal(SIGTERM);
    EXPECT_EQ(restarted.waitExit(), 1) << restarted.err();
    EXPECT_EQ(restarted.err(),
              "- could not save server list (rename a new server_list.dat: Is a directory)\n");
    EXPECT_TRUE(logReaches(t.dir, 1, 0ms));
  }
}

// The server list file bytes of the given Melee hosts, in the order the server keeps them.
Bytes meleeFile(std::vector<ServerRecord> hosts) {
  std::sort(hosts.begin(), hosts.end(), [](const ServerRecord& a, const ServerRecord& b) {
    return computeServerKey(a.fields) < computeServerKey(b.fields);
  });
  Bytes file;
  putU32(file, 0);
  putU32(file, static_cast<std::uint32_t>(hosts.size()));
  for (const ServerRecord& host : hosts)
    appendFileRecord(file, computeServerKey(host.fields), host);
  putU32(file, 0);
  return file;
}

// An unreadable bans file ends the start the same way (the FIFO at its name in dirctl's tests).
TEST(DirserverExecutable, AListThatIsThereButUnreadableEndsTheStartWithCodeOne) {
  testing::TestContext t;
  std::filesystem::create_directory(t.dir / "server_list.dat");
  testing::Process server(t.dir, "server", DIRSERVER_BINARY);
  EXPECT_EQ(server.waitExit(), 1);
  EXPECT_EQ(server.err(), "+error: cannot read server list server_list.dat: Is a directory\n");
  EXPECT_EQ(server.out(), "");
  EXPECT_TRUE(std::filesystem::is_directory(t.dir / "server_list.dat"));
}

TEST(DirserverExecutable, RecordsKeptFromADamagedFileSurviveAnImmediateKill) {
  testing::TestContext t;
  std::vector<ServerRecord> hosts;
  for (int i = 0; i < 29; ++i) {
    hosts.push_back(
        testing::makeRecord(hostStrings("/Aviantorvale/Melee Game", "Host" + std::to_string(i))));
  }
  Bytes file = meleeFile(hosts);
  file.resize(file.size() - 100);  // the last record is cut short
  testing::writeFile(t.dir / "server_list.dat", file);
  {
    testing::Process server(t.dir, "server", DIRSERVER_BINARY);
    ASSERT_TRUE(server.waitServing()) << server.err();
  }  // killed with SIGKILL before any request could have caused a save
  testing::Process restarted(t.dir, "server", DIRSERVER_BINARY);
  ASSERT_TRUE(restarted.waitServing()) << restarted.err();
  EXPECT_TRUE(restarted.waitOutput("- loaded 28 servers\n")) << restarted.out();
  EXPECT_EQ(restarted.err(), "");
}

}  // namespace
}  // namespace dirserver
