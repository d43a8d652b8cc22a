// The real dirserver executable on the fixed port 6001, started in a directory of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "registry/server_list_file.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::hex;
using testing::hostStrings;
using testing::request;
using testing::requestBody;

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One run of the executable in `dir`, its console written to out.txt and err.txt there.
class ServerProcess {
 public:
  ServerProcess(const fs::path& dir, std::vector<std::string> args = {}) : dir_(dir) {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      const int out = ::open("out.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int err = ::open("err.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> argv{const_cast<char*>(DIRSERVER_BINARY)};
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(DIRSERVER_BINARY, argv.data());
      ::_exit(127);
    }
  }
  ~ServerProcess() { kill(); }

  // Waits until the server accepts connections on port 6001.
  bool waitReady() {
    for (int i = 0; i < 200; ++i) {
      if (exited()) return false;
      try {
        testing::Client probe(kListenPort);
        probe.send(request(MessageType::AckRequest));
        if (probe.receiveAll(2s)) return true;
      } catch (const std::exception&) {
      }
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }

  // The exit code, once the process has ended within `limit`; -1 otherwise.
  int waitExit(std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (exited()) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  void kill() {
    if (pid_ > 0 && !exited()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      done_ = true;
    }
  }

  std::string out() const { return slurp(dir_ / "out.txt"); }
  std::string err() const { return slurp(dir_ / "err.txt"); }

 private:
  bool exited() {
    if (done_) return true;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) done_ = true;
    return done_;
  }

  fs::path dir_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool done_ = false;
};

std::optional<Bytes> ask(ByteView bytes) { return testing::roundTrip(kListenPort, bytes); }

TEST(DirserverExecutable, AcknowledgesOnPort6001) {
  testing::TestContext t;
  ServerProcess server(t.dir);
  ASSERT_TRUE(server.waitReady()) << server.err();
  const auto reply = ask(request(MessageType::AckRequest, Bytes{0xAA}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(hex(*reply), "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00");
  server.kill();
  EXPECT_EQ(server.err(), "- starting with empty server list\n");
}

TEST(DirserverExecutable, BindFailureEndsWithCodeOneWithoutTouchingTheFile) {
  testing::TestContext t;
  const Bytes damaged{1, 2, 3};
  testing::writeFile(t.dir / "server_list.dat", damaged);
  // Another socket listens on the port; address reuse does not let a second one bind.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;  // connections of earlier tests may linger on the port
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kListenPort);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << "port 6001 is in use on this machine";
  ASSERT_EQ(::listen(holder, 1), 0);
  ServerProcess server(t.dir);
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
    ServerProcess server(t.dir);
    ASSERT_TRUE(server.waitReady()) << server.err();
    EXPECT_EQ(hex(*ask(request(MessageType::Registration, melee))),
              "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00");
    ask(request(MessageType::Registration, quorv));
    ask(request(MessageType::Registration, melee));  // a refresh
    before = ask(request(MessageType::ListRequest)).value();
    EXPECT_EQ(loadU16(before.data() + 14), 6u);
    const std::string out = server.out();
    EXPECT_NE(out.find("* server registration\nname: Bob  open\nregistration time: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("was already in the list, registration time updated\n"
                       "> number of servers: 2\n"),
              std::string::npos)
        << out;
  }  // killed with SIGKILL
  EXPECT_EQ(fs::file_size(t.dir / "server_list.dat"), 12 + 2 * kFileRecordSize);
  fs::remove(t.dir / "out.txt");
  ServerProcess restarted(t.dir, {"trace"});
  ASSERT_TRUE(restarted.waitReady()) << restarted.err();
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
