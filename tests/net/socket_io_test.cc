#include "net/socket_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include "net/listener.h"

namespace dirserver {
namespace {

TEST(SocketIo, GathersFromAnOffsetAndTellsWouldBlockFromClosed) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  const Bytes first{1, 2, 3}, empty, second{4, 5};
  const ByteView parts[] = {first, empty, second};
  // From the second byte of the first part, at most two parts' worth of buffers.
  IoResult sent = sendGathered(pair[0], parts, 1, 2, 1 << 20);
  ASSERT_EQ(sent.status, IoStatus::Progress);
  EXPECT_EQ(sent.bytes, 4u);  // the empty part takes no buffer
  std::uint8_t buffer[16];
  IoResult received = receiveSome(pair[1], buffer);
  ASSERT_EQ(received.status, IoStatus::Progress);
  EXPECT_EQ(Bytes(buffer, buffer + received.bytes), (Bytes{2, 3, 4, 5}));
  EXPECT_EQ(receiveSome(pair[1], buffer).status, IoStatus::WouldBlock);
  // The peer's close is Closed without an error; a send to a closed peer fails without a signal.
  ::close(pair[0]);
  received = receiveSome(pair[1], buffer);
  EXPECT_EQ(received.status, IoStatus::Closed);
  EXPECT_EQ(received.error, 0);
  sent = sendSome(pair[1], first);
  EXPECT_EQ(sent.status, IoStatus::Closed);
  EXPECT_EQ(sent.error, EPIPE);
  ::close(pair[1]);

  // A listener with nothing queued: no connection and no error.
  const int listener = bindListener(0, INADDR_LOOPBACK);
  ASSERT_GE(listener, 0);
  ASSERT_TRUE(startListening(listener));
  const Accepted none = acceptConnection(listener);
  EXPECT_EQ(none.fd, -1);
  EXPECT_EQ(none.error, 0);
  ::close(listener);
}

}  // namespace
}  // namespace dirserver
