// The real server restarted on a listening socket its launcher holds, as systemd's socket
// activation does: connections made while no server runs wait in the backlog and are answered by
// the next server, none refused. And what a server is handed must be what it was told to serve.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include "net/listener.h"
#include "support/socket_launcher.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSources = 20;  // 127.0.0.10 to 127.0.0.29

enum class Outcome { Answered, Refused, Dropped };

struct Attempt {
  // When its connect began: one that began once the old server had exited completed after that
  // server stopped accepting, whatever the scheduler made of the threads' clocks.
  Clock::time_point began;
  Outcome outcome = Outcome::Dropped;
};

const std::uint8_t kAckRequest[] = {12, 0, 0, 0, 0x1E, 0, 0, 0, 8, 0, 0, 0};
constexpr std::size_t kAckSize = 14;

// One acknowledgement request from `source` to 127.0.0.1:`port`, waiting up to 20 s for the
// answer.
Attempt askOnce(const char* source, std::uint16_t port) {
  Attempt attempt;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  const timeval wait{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  attempt.began = Clock::now();
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    attempt.outcome = errno == ECONNREFUSED ? Outcome::Refused : Outcome::Dropped;
    ::close(fd);
    return attempt;
  }
  std::size_t received = 0;
  if (::send(fd, kAckRequest, sizeof kAckRequest, MSG_NOSIGNAL) ==
      static_cast<ssize_t>(sizeof kAckRequest)) {
    std::uint8_t answer[64];
    for (ssize_t got; (got = ::recv(fd, answer, sizeof answer, 0)) > 0;) {
      received += static_cast<std::size_t>(got);
    }
  }
  attempt.outcome = received == kAckSize ? Outcome::Answered : Outcome::Dropped;
  ::close(fd);
  return attempt;
}

std::vector<std::string> listenOn(std::uint16_t port) {
  return {"--listen", "127.0.0.1:" + std::to_string(port), "--control", "dirserver.sock"};
}

bool waitServing(std::uint16_t port) {
  for (int i = 0; i < 100; ++i) {
    if (askOnce("127.0.0.1", port).outcome == Outcome::Answered) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(SocketActivation, ARestartUnderLoadRefusesNoOne) {
  testing::TestContext t;
  const int socket = testing::listeningLoopbackSocket(4096);
  ASSERT_GE(socket, 0);
  const std::uint16_t port = localPort(socket);
  auto first = std::make_unique<testing::HandedServer>(t.dir, "first", DIRSERVER_BINARY,
                                                       listenOn(port), socket);
  ASSERT_TRUE(waitServing(port)) << first->err();

  std::mutex lock;
  std::vector<Attempt> attempts;
  std::atomic<bool> running{true};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int n = c; running; n += 4) {
        const Attempt attempt =
            askOnce(("127.0.0." + std::to_string(10 + n % kSources)).c_str(), port);
        const std::lock_guard<std::mutex> hold(lock);
        attempts.push_back(attempt);
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  first->signal(SIGTERM);
  EXPECT_EQ(first->waitExit(20s), 0) << first->err();
  const Clock::time_point firstGone = Clock::now();
  // No server runs for a while; the backlog holds what comes meanwhile.
  std::this_thread::sleep_for(300ms);
  testing::HandedServer second(t.dir, "second", DIRSERVER_BINARY, listenOn(port), socket);
  // Until the next server has answered a few connections made after the first had gone (a loaded
  // machine may keep every client in a connection from before until then).
  const auto madeAfter = [&] {
    const std::lock_guard<std::mutex> hold(lock);
    return std::count_if(attempts.begin(), attempts.end(),
                         [&](const Attempt& attempt) { return attempt.began >= firstGone; });
  };
  for (const auto until = Clock::now() + 20s; madeAfter() < 8 && Clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
  }
  running = false;
  for (std::thread& client : clients) client.join();
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitExit(20s), 0) << second.err();
  ::close(socket);

  std::size_t refused = 0, waitedForTheNext = 0;
  for (const Attempt& attempt : attempts) {
    if (attempt.outcome == Outcome::Refused) ++refused;
    if (attempt.began < firstGone) continue;
    // Connected while no server ran or once the next one did: the next one answered it.
    EXPECT_EQ(attempt.outcome, Outcome::Answered);
    ++waitedForTheNext;
  }
  EXPECT_EQ(refused, 0u);
  EXPECT_GT(waitedForTheNext, 0u);
  EXPECT_GT(attempts.size(), waitedForTheNext);
}

TEST(SocketActivation, AHandedSocketMustBeAListeningIpv4SocketOnAListenAddress) {
  testing::TestContext t;
  const int listening = testing::listeningLoopbackSocket(16);
  ASSERT_GE(listening, 0);
  const std::uint16_t port = localPort(listening);
  const int datagram = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int unbound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const struct {
    int socket;
    std::vector<std::string> args;
    const char* why;
  } cases[] = {
      {listening, listenOn(static_cast<std::uint16_t>(port == 65535 ? 1 : port + 1)),
       "listens on no --listen address"},
      {datagram, listenOn(port), "is not an IPv4 TCP socket"},
      {unbound, listenOn(port), "is not listening"},
  };
  for (const auto& c : cases) {
    testing::HandedServer server(t.dir, "refused", DIRSERVER_BINARY, c.args, c.socket);
    EXPECT_EQ(server.waitExit(10s), 1) << c.why;
    const std::string err = server.err();
    EXPECT_NE(err.find("+error: socket activation: descriptor 3 "), std::string::npos) << err;
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
  }
  ::close(listening);
  ::close(datagram);
  ::close(unbound);
}

}  // namespace
}  // namespace dirserver
