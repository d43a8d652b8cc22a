#include "net/stream_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;

// A protocol that records what its connection tells it and offers a fixed space, or none.
struct Recorder final : StreamConnection::Handler {
  std::span<std::uint8_t> receiveSpace() override {
    return offer ? std::span<std::uint8_t>(space) : std::span<std::uint8_t>();
  }
  void received(std::size_t count) override {
    input.append(reinterpret_cast<const char*>(space), count);
    if (onReceived) onReceived();
  }
  void inputEnded() override { events.push_back("ended"); }
  void sent() override { events.push_back("sent"); }
  void sendBlocked() override { events.push_back("blocked"); }
  void expired() override { events.push_back("expired"); }
  void closed() override { events.push_back("closed"); }

  std::uint8_t space[4]{};
  bool offer = true;
  std::string input;
  std::vector<std::string> events;
  std::function<void()> onReceived;
};

class StreamConnectionTest : public ::testing::Test {
 protected:
  StreamConnectionTest() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair_), 0);
    peer = pair_[1];
  }
  ~StreamConnectionTest() override { ::close(peer); }

  void pump() {
    while (reactor.runOnce(0s)) {
    }
  }
  void peerSends(const std::string& text) {
    ASSERT_EQ(::send(peer, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  }
  std::string peerReceives() {
    std::string got;
    char buffer[64 * 1024];
    for (ssize_t n; (n = ::recv(peer, buffer, sizeof buffer, 0)) > 0;) got.append(buffer, n);
    return got;
  }

  SettableClock clock;
  Reactor reactor{clock};
  int pair_[2] = {-1, -1};
  int peer = -1;
  Recorder protocol;
};

TEST_F(StreamConnectionTest, ReceivesInTheOfferedSpaceAndStopsWhenNoneIsOffered) {
  StreamConnection connection(reactor, pair_[0], protocol);
  peerSends("0123456789");
  // Every byte arrives through the four-byte space, in order, until the protocol offers none.
  protocol.onReceived = [&] { protocol.offer = protocol.input.size() < 8; };
  connection.receive();
  EXPECT_EQ(protocol.input, "01234567");
  // Offering again, the rest arrives once receive() is called, and later bytes by readiness.
  protocol.offer = true;
  protocol.onReceived = nullptr;
  connection.receive();
  EXPECT_EQ(protocol.input, "0123456789");
  clock.advance(1s);
  peerSends("ab");
  pump();
  EXPECT_EQ(protocol.input, "0123456789ab");
  EXPECT_EQ(connection.lastProgress(), clock.steadyNow());
  // The peer's close ends the input; the descriptor stays the protocol's to close.
  ::shutdown(peer, SHUT_WR);
  reactor.runOnce(0s);
  EXPECT_EQ(protocol.events, (std::vector<std::string>{"ended"}));
  EXPECT_FALSE(connection.closed());
}

TEST_F(StreamConnectionTest, SendsPartsFromWhereTheSocketStoppedThenReadsAgain) {
  int small = 4096;
  ASSERT_EQ(::setsockopt(pair_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  StreamConnection connection(reactor, pair_[0], protocol);
  const Bytes big(512 * 1024, 7), empty, tail{1, 2, 3};
  const ByteView parts[] = {big, empty, tail};
  connection.send(parts);
  // More than the socket takes at once: blocked once, the rest sent as the peer reads.
  EXPECT_TRUE(connection.sending());
  EXPECT_EQ(protocol.events, (std::vector<std::string>{"blocked"}));
  peerSends("x");  // nothing is read while an answer goes out
  std::string got;
  while (connection.sending()) {
    got += peerReceives();
    pump();
    if (connection.sending()) {
      EXPECT_EQ(protocol.input, "");
    }
  }
  got += peerReceives();
  ASSERT_EQ(got.size(), big.size() + tail.size());
  EXPECT_EQ(got.substr(big.size()), "\1\2\3");
  EXPECT_EQ(protocol.events, (std::vector<std::string>{"blocked", "sent"}));
  // Once sent, the same pass reads the bytes that waited.
  EXPECT_EQ(protocol.input, "x");

  // An answer that fits goes out at once and reports no block.
  protocol.events.clear();
  connection.send(std::span(parts + 2, 1));
  EXPECT_EQ(protocol.events, (std::vector<std::string>{"sent"}));
  EXPECT_EQ(peerReceives(), "\1\2\3");
}

TEST_F(StreamConnectionTest, ClosesOnceAtTheDeadlineOrWhenThePeerHasGone) {
  {
    StreamConnection connection(reactor, pair_[0], protocol);
    connection.setDeadlineIn(2s);
    clock.advance(1s);
    pump();
    connection.setDeadlineIn(2s);  // set again: counts from now
    clock.advance(1s + 500ms);
    pump();
    EXPECT_TRUE(protocol.events.empty());
    clock.advance(1s);
    pump();
    EXPECT_EQ(protocol.events, (std::vector<std::string>{"expired", "closed"}));
    EXPECT_TRUE(connection.closed());
    connection.close();
    EXPECT_EQ(protocol.events.size(), 2u);
    char byte;
    EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);  // the descriptor is closed
  }

  // A send to a peer that has gone closes the connection, silently.
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair_), 0);
  ::close(peer);
  peer = pair_[1];
  protocol.events.clear();
  StreamConnection connection(reactor, pair_[0], protocol);
  ::close(peer);
  peer = ::dup(pair_[0]);  // something for the fixture to close
  const Bytes answer{1, 2, 3};
  const ByteView parts[] = {answer};
  connection.send(parts);
  EXPECT_EQ(protocol.events, (std::vector<std::string>{"closed"}));
  EXPECT_FALSE(connection.sending());
}

}  // namespace
}  // namespace dirserver
