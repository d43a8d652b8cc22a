#include "net/socket_io.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace dirserver {
namespace {

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

IoResult resultOf(ssize_t count, int error) {
  if (count > 0) return {IoStatus::Progress, static_cast<std::size_t>(count), 0};
  if (count < 0 && wouldBlock(error)) return {IoStatus::WouldBlock, 0, 0};
  return {IoStatus::Closed, 0, count < 0 ? error : 0};
}

}  // namespace

Accepted acceptConnection(int listenFd) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      return {fd, length >= sizeof(sa_family_t) && peer.sin_family == AF_INET ? peer.sin_addr.s_addr
                                                                             : 0u,
              0};
    }
    const int error = errno;
    if (error == EINTR) continue;
    return {-1, 0, wouldBlock(error) ? 0 : error};
  }
}

IoResult receiveSome(int fd, std::span<std::uint8_t> into) {
  for (;;) {
    const ssize_t received = ::recv(fd, into.data(), into.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    return resultOf(received, errno);
  }
}

IoResult receiveSome(int fd, std::span<std::uint8_t> into, std::span<std::uint8_t> then) {
  iovec buffers[2] = {{into.data(), into.size()}, {then.data(), then.size()}};
  msghdr message{};
  message.msg_iov = buffers;
  message.msg_iovlen = 2;
  for (;;) {
    const ssize_t received = ::recvmsg(fd, &message, 0);
    if (received < 0 && errno == EINTR) continue;
    return resultOf(received, errno);
  }
}

IoResult sendSome(int fd, ByteView bytes, bool dontWait) {
  const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
  for (;;) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), flags);
    if (sent < 0 && errno == EINTR) continue;
    return resultOf(sent, errno);
  }
}

IoResult sendGathered(int fd, std::span<const ByteView> parts, std::size_t offset,
                      std::size_t mostBuffers, std::size_t mostBytes) {
  iovec buffers[IOV_MAX];
  std::size_t count = 0;
  std::size_t gathered = 0;
  const std::size_t most = mostBuffers < IOV_MAX ? mostBuffers : IOV_MAX;
  for (std::size_t at = 0, skip = offset; at < parts.size() && count < most && gathered < mostBytes;
       ++at, skip = 0) {
    const ByteView rest = parts[at].subspan(skip);
    if (rest.empty()) continue;
    buffers[count++] = {const_cast<std::uint8_t*>(rest.data()), rest.size()};
    gathered += rest.size();
  }
  if (count == 0) return {IoStatus::Progress, 0, 0};  // only empty parts were left
  msghdr message{};
  message.msg_iov = buffers;
  message.msg_iovlen = count;
  for (;;) {
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    return resultOf(sent, errno);
  }
}

}  // namespace dirserver
