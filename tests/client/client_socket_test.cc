// The client side against a peer on loopback that this test plays itself: whole answers however
// they are cut, ends of connections seen, and the bytes of the requests clients build.
#include "client/client_socket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>

#include <thread>

#include "client/request_body.h"
#include "common/text.h"
#include "net/listener.h"
#include "net/socket_io.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 and a free port.
struct Peer {
  Peer() : listener(bindListener(0, INADDR_LOOPBACK)) {
    EXPECT_TRUE(listener.valid() && startListening(listener.fd()));
    port = localPort(listener.fd());
  }

  // The next connection, waited for at most a few seconds.
  Socket accept() const {
    pollfd ready{listener.fd(), POLLIN, 0};
    ::poll(&ready, 1, 5000);
    return Socket(acceptConnection(listener.fd()).fd);
  }

  Socket listener;
  std::uint16_t port = 0;
};

// Receives what has come, waiting up to a few seconds for the first of it.
Bytes receiveFrom(const Socket& socket, std::size_t atLeast) {
  Bytes got;
  std::uint8_t buffer[256];
  const auto deadline = ClientClock::now() + 5s;
  while (got.size() < atLeast && waitReady(socket.fd(), POLLIN, deadline) == Wait::Ready) {
    const IoResult received = receiveSome(socket.fd(), buffer);
    if (received.status == IoStatus::Closed) break;
    got.insert(got.end(), buffer, buffer + received.bytes);
  }
  return got;
}

void sendTo(const Socket& socket, std::string_view text) {
  EXPECT_EQ(sendAll(socket.fd(), ByteView(reinterpret_cast<const std::uint8_t*>(text.data()),
                                          text.size()),
                    ClientClock::now() + 5s),
            0);
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(ClientSocket, FetchSendsTheRequestAndKeepsEveryPieceOfTheAnswerUntilTheClose) {
  Peer peer;
  const Bytes request = buildRequest(MessageType::ListRequest);
  Bytes received;
  std::thread server([&] {
    const Socket connection = peer.accept();
    received = receiveFrom(connection, request.size());
    // The answer in pieces, the last after a pause: a client that stops at the first piece, or
    // at a pause, loses the rest.
    sendTo(connection, "first piece, ");
    std::this_thread::sleep_for(20ms);
    sendTo(connection, "second piece");
  });
  std::string error;
  const Bytes answer = fetch(peer.port, request, ClientClock::now() + 5s, error);
  server.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(received, request);
  EXPECT_EQ(answer, bytesOf("first piece, second piece"));
}

TEST(ClientSocket, AnAnswerThatNeverEndsTimesOutWithWhatCameDropped) {
  Peer peer;
  Socket connection;
  std::thread server([&] {
    connection = peer.accept();
    sendTo(connection, "half an answer");
  });
  std::string error;
  std::size_t chunks = 0;
  const Socket client = connectLoopback(peer.port, ClientClock::now() + 5s, error);
  ASSERT_TRUE(client.valid()) << error;
  server.join();
  EXPECT_FALSE(receiveUntilClosed(client.fd(), ClientClock::now() + 100ms,
                                  [&](ByteView) { ++chunks; }, error));
  EXPECT_EQ(error, "recv: timed out");
  EXPECT_EQ(chunks, 1u);
}

TEST(ClientSocket, SeesClosedOnlyOnceThePeerHasGone) {
  Peer peer;
  std::string error;
  const Socket client = beginConnect(peer.port, error, 0x7F000001 + 1);
  ASSERT_TRUE(client.valid()) << error;
  Socket connection = peer.accept();
  ASSERT_TRUE(connection.valid());
  // The source address asked for is the one the connection has.
  EXPECT_EQ(localEndpoint(client.fd()).first, 0x7F000002u);
  sendTo(connection, "unread");
  EXPECT_FALSE(seesClosed(client.fd()));  // data waiting is no end
  connection.reset();
  const auto deadline = ClientClock::now() + 5s;
  while (!seesClosed(client.fd()) && ClientClock::now() < deadline) {
    waitReady(client.fd(), POLLRDHUP, deadline);
  }
  EXPECT_TRUE(seesClosed(client.fd()));
}

TEST(RequestBody, HeaderCountsTheBodyAndEachFieldIsACountedText) {
  EXPECT_EQ(hexText(buildRequest(MessageType::AckRequest)), "0C 00 00 00 1E 00 00 00 08 00 00 00");
  ServerFields fields;
  fields[0].data = toUtf16le("ab");
  fields[2].data = toUtf16le("\xC3\xA9");  // one code unit, two bytes
  // 12 header bytes, seven u16 counts, 3 code units.
  EXPECT_EQ(hexText(encodeHostRequest(MessageType::Shutdown, fields)),
            "20 00 00 00 1E 00 00 00 06 00 00 00 "
            "02 00 61 00 62 00 00 00 01 00 E9 00 00 00 00 00 00 00 00 00");
}

}  // namespace
}  // namespace dirserver
