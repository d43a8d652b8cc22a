#include "net/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "common/text.h"
#include "listing/list_reply.h"
#include "net/listener.h"
#include "registry/server_key.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::Client;
using testing::hostStrings;
using testing::LoopbackServer;
using testing::quickSettings;
using testing::request;
using testing::requestBody;
using testing::roundTrip;

constexpr const char* kAckHex = "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00";

std::string countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return std::to_string(count);
}

TEST(EventLoop, ServesRequestsInPiecesAndReportsBadOnes) {
  LoopbackServer server;
  server.start();
  const Bytes registration = request(MessageType::Registration,
                                     requestBody(hostStrings("/Aviantorvale/Melee Game", "Bob")));
  const Bytes largest =
      request(MessageType::AckRequest, Bytes(kMaxMessageSize - kHeaderSize, 0x5A));
  for (const auto& [whole, piece] : {std::pair{registration, 3}, std::pair{largest, 100'000}}) {
    Client client(server.port());
    for (std::size_t at = 0; at < whole.size(); at += piece) {
      client.send(ByteView(whole).subspan(at, std::min<std::size_t>(piece, whole.size() - at)));
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(hexText(client.receiveAll().value()), kAckHex);
  }
  // A trickle whose every step completes within its deadline gets through, though the whole
  // request takes longer than one deadline.
  Client trickle(server.port());
  const Bytes slow = request(MessageType::AckRequest, Bytes{1, 2, 3, 4});
  for (std::size_t at = 0; at < slow.size(); at += 4) {
    trickle.send(ByteView(slow).subspan(at, 4));
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_EQ(hexText(trickle.receiveAll().value()), kAckHex);
  // A rejected registration is still acknowledged and saved.
  EXPECT_EQ(hexText(roundTrip(server.port(), request(MessageType::Registration, Bytes{3})).value()),
            kAckHex);
  // Each of these gets no answer at all, and its line; a peer that closes early is noticed at
  // once, well before the 400 ms deadline.
  const Bytes body20 = request(MessageType::Registration, Bytes(20, 0));
  const std::pair<Bytes, const char*> bad[] = {
      {[] {
         Bytes b;
         putHeader(b, {11, 30, 8});
         return b;
       }(),
       "+error: invalid msg size\n"},
      {[] {
         Bytes b;
         putHeader(b, {0x80000000, 99, 8});
         return b;
       }(),
       "+error: invalid msg size\n"},
      {[] {
         Bytes b;
         putHeader(b, {12, 31, 8});
         return b;
       }(),
       "+error: invalid msg id\n"},
      {Bytes(body20.begin(), body20.begin() + 2), "+error: recv() error - msg size\n"},
      {Bytes(body20.begin(), body20.begin() + 6), "+error: recv() error - msg id\n"},
      {Bytes(body20.begin(), body20.begin() + 10), "+error: recv() error - msg type\n"},
      {Bytes(body20.begin(), body20.begin() + 20), "+error: recv() error - invalid data length\n"},
      {request(5u, Bytes(1000, 1)), "+warning: unhandled msg type: 0x05\n"},
  };
  std::string expected = "+error: invalid data size\n";
  for (const auto& [bytes, line] : bad) {
    Client client(server.port());
    client.send(bytes);
    client.finishSending();
    const auto reply = client.receiveAll(300ms);
    ASSERT_TRUE(reply.has_value()) << line;
    EXPECT_TRUE(reply->empty()) << line;
    expected += line;
  }
  server.stop();
  EXPECT_EQ(server.test().console.err(), expected);
  EXPECT_EQ(server.test().context.registry.totalCount(), 1u);
  EXPECT_EQ(testing::readFile(server.test().context.listFile).size(), 12 + 28694u);
}

// ---------------------------------------------------------------------------------------------
// Peers that misbehave hold only their own connection.

ServerRegistry largeRegistry(std::size_t hosts) {
  ServerRegistry registry;
  for (std::size_t i = 0; i < hosts; ++i) {
    auto record = testing::makeRecord(
        hostStrings("/Aviantorvale/Melee Game", std::string(1000, 'a') + std::to_string(i)));
    registry.insert(ServerType::Melee, computeServerKey(record.fields), record);
  }
  return registry;
}

TEST(EventLoop, GoodClientIsServedWhileBadPeersHoldConnections) {
  LoopSettings settings = quickSettings();
  settings.recvTimeout = 3s;
  settings.sendTimeout = 3s;
  LoopbackServer server(settings);
  server.test().context.registry = largeRegistry(2000);  // a listing of several megabytes
  server.start();

  std::vector<Client> bad;
  bad.emplace_back(server.port());  // silent
  bad.emplace_back(server.port());  // a trickle, one byte so far
  bad.back().send(Bytes{0x10});
  bad.emplace_back(server.port());  // stalls inside its type word
  bad.back().send(ByteView(request(MessageType::AckRequest)).first(9));
  bad.emplace_back(server.port());  // announces a megabyte and sends nothing more
  bad.back().sendHeader(kMaxMessageSize, 30, 4);
  for (int i = 0; i < 3; ++i) {  // ask for the listing and never read it
    bad.emplace_back(server.port());
    bad.back().send(request(MessageType::ListRequest));
  }
  std::this_thread::sleep_for(100ms);

  const auto started = std::chrono::steady_clock::now();
  const auto ack = roundTrip(server.port(), request(MessageType::AckRequest));
  const auto listing = roundTrip(server.port(), request(MessageType::ListRequest));
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(hexText(*ack), kAckHex);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(*listing, buildListReply(largeRegistry(2000)));
  // Served before any bad peer's deadline came: none of them has been dropped yet.
  ASSERT_LT(std::chrono::steady_clock::now() - started, 2s);
  for (Client& peer : bad) {
    pollfd wait{peer.fd(), POLLRDHUP, 0};
    EXPECT_EQ(::poll(&wait, 1, 0), 0);
  }
  // And then each is dropped at its deadline.
  for (Client& peer : bad) EXPECT_TRUE(peer.closedWithin(6s));
  server.stop();
  const std::string err = server.test().console.err();
  EXPECT_EQ(err,
            "+error: recv() error - msg size\n+error: recv() error - msg size\n"
            "+error: recv() error - msg type\n+error: recv() error - invalid data length\n")
      << err;
}

TEST(EventLoop, ConnectionBoundsHold) {
  LoopSettings settings = quickSettings();
  settings.recvTimeout = 600ms;
  settings.maxConnectionsPerAddress = 2;
  settings.maxConnections = 3;
  settings.sweepInterval = 300ms;
  LoopbackServer server(settings);
  server.start();
  std::vector<Client> silent;
  for (int i = 0; i < 2; ++i) silent.emplace_back(server.port(), "127.0.0.1");
  // Over the per-address bound: closed at once, nothing sent.
  Client over(server.port(), "127.0.0.1");
  EXPECT_TRUE(over.receiveAll(300ms).value_or(Bytes{1}).empty());
  silent.emplace_back(server.port(), "127.0.0.2");
  std::this_thread::sleep_for(50ms);
  // Over the total bound: left in the backlog until the silent ones are dropped.
  Client waiting(server.port(), "127.0.0.3");
  waiting.send(request(MessageType::AckRequest));
  EXPECT_EQ(hexText(waiting.receiveAll(3s).value()), kAckHex);
  EXPECT_TRUE(silent.front().closedWithin(0ms));  // the first to be dropped made room
  std::this_thread::sleep_for(400ms);             // a sweep reports the refusal
  server.stop();
  EXPECT_NE(server.test().console.err().find(
                "+warning: refused 1 connections over the per-address limit\n"),
            std::string::npos);
}

TEST(EventLoop, LargeBodiesShareABudgetSmallOnesDoNot) {
  LoopSettings settings = quickSettings();
  settings.recvTimeout = 800ms;
  settings.freeBodyBytes = 1024;
  settings.bodyBudgetBytes = 100'000;
  LoopbackServer server(settings);
  server.start();
  // Two announcements of 45 kB hold 90 kB of the budget and send nothing more.
  Client hog1(server.port());
  hog1.sendHeader(12 + 45'000, 30, 8);
  Client hog2(server.port());
  hog2.sendHeader(12 + 45'000, 30, 8);
  // Late enough that the hogs' deadlines come well before its own.
  std::this_thread::sleep_for(300ms);
  // A 20 kB body, sent whole, must wait for budget...
  Client large(server.port());
  large.send(request(MessageType::AckRequest, Bytes(20'000, 1)));
  // ...while small requests go through.
  const auto small = roundTrip(server.port(), request(MessageType::AckRequest, Bytes(1000, 1)));
  ASSERT_TRUE(small.has_value());
  EXPECT_EQ(hexText(*small), kAckHex);
  pollfd wait{large.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&wait, 1, 0), 0) << "the large request was answered before budget was free";
  // When the hogs are dropped, the large request is read and answered.
  const auto reply = large.receiveAll(3s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(hexText(*reply), kAckHex);
  EXPECT_TRUE(hog1.closedWithin(0ms));
  server.stop();
  EXPECT_EQ(countOf(server.test().console.err(), "+error: recv() error - invalid data length\n"),
            "2");
}

TEST(EventLoop, SweepRunsUnderConstantTraffic) {
  LoopSettings settings = quickSettings();
  settings.sweepInterval = 200ms;
  LoopbackServer server(settings);
  auto& t = server.test();
  t.context.registry.insert(ServerType::Melee, 1,
                            testing::makeRecord({"p", "f", "Stale", "", "", "", ""},
                                                static_cast<std::int32_t>(t.now - 90'000)));
  server.start();
  // A request every 20 ms: never a quiet minute, or even a quiet 200 ms.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(roundTrip(server.port(), request(MessageType::AckRequest)).has_value());
    std::this_thread::sleep_for(20ms);
  }
  server.stop();
  EXPECT_EQ(server.test().console.out(), "*auto-cleaning server: Stale\n> number of servers: 0\n");
}

TEST(EventLoop, FailedAcceptsDoNotSpinOrFloodTheConsole) {
  // In a child process whose descriptors run out: the loop must report the failed accept, pause,
  // and serve the waiting clients once descriptors are free again.
  int output[2];
  ASSERT_EQ(::pipe(output), 0);
  const int listener = bindListener(0, INADDR_LOOPBACK);
  ASSERT_TRUE(listener >= 0 && startListening(listener));
  const std::uint16_t port = localPort(listener);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(output[0]);
    std::FILE* err = ::fdopen(output[1], "w");
    std::setvbuf(err, nullptr, _IOLBF, 0);
    ServerContext context;
    context.console = {err, err};
    LoopSettings settings = quickSettings();
    settings.acceptPause = 200ms;
    settings.recvTimeout = 600ms;
    settings.sweepInterval = 50ms;  // so that runOnce() never waits long
    EventLoop loop(listener, context, settings);
    // Room for exactly four connections: fill every free descriptor below the highest one in use,
    // then allow four more. (Two stay free once the waiting clients are served: the sanitizers'
    // runtime needs a pipe now and then.)
    int highest = 0;
    for (int fd = 0; fd < 1024; ++fd) {
      if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    }
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0 && fd < highest;) {
      fd = ::open("/dev/null", O_RDONLY);
    }
    for (int fd = 0; fd < 1024; ++fd) {
      if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    }
    rlimit limit{static_cast<rlim_t>(highest + 5), static_cast<rlim_t>(highest + 5)};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const auto end = std::chrono::steady_clock::now() + 2500ms;
    while (std::chrono::steady_clock::now() < end) loop.runOnce();
    std::fflush(err);
    ::_exit(0);
  }
  ::close(output[1]);
  {
    std::vector<Client> silent;
    for (int i = 0; i < 4; ++i) silent.emplace_back(port);
    std::this_thread::sleep_for(100ms);
    // The descriptors are gone now; these wait in the backlog.
    Client waiting1(port);
    waiting1.send(request(MessageType::AckRequest));
    Client waiting2(port);
    waiting2.send(request(MessageType::AckRequest));
    // Served once the silent ones have been dropped (which leaves a descriptor to spare).
    const auto reply1 = waiting1.receiveAll(2s);
    const auto reply2 = waiting2.receiveAll(2s);
    ASSERT_TRUE(reply1.has_value() && reply2.has_value());
    EXPECT_EQ(hexText(*reply1), kAckHex);
    EXPECT_EQ(hexText(*reply2), kAckHex);
  }
  ::waitpid(child, nullptr, 0);
  std::string err;
  char buffer[4096];
  for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;) err.append(buffer, n);
  ::close(output[0]);
  ::close(listener);
  const int failures = std::stoi(countOf(err, "+error: recv() error - msg size\n"));
  // The four silent peers time out once each; the failed accepts add a line per pause at most.
  EXPECT_GE(failures, 5) << err;
  EXPECT_LE(failures, 4 + 2500 / 200 + 2) << err;
}

}  // namespace
}  // namespace dirserver
