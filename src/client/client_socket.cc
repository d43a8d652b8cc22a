#include "client/client_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "net/socket_io.h"

namespace dirserver {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Socket::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Wait waitReady(int fd, short events, ClientClock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - ClientClock::now());
    if (left.count() <= 0) return Wait::TimedOut;
    pollfd wait{fd, events, 0};
    const int ready =
        ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready > 0) return Wait::Ready;
    if (ready < 0 && errno != EINTR) return Wait::Failed;
  }
}

namespace {

// 0 once `fd` is writable, else ETIMEDOUT or the errno value of the failed wait.
int waitWritable(int fd, ClientClock::time_point deadline) {
  switch (waitReady(fd, POLLOUT, deadline)) {
    case Wait::Ready:
      return 0;
    case Wait::TimedOut:
      return ETIMEDOUT;
    case Wait::Failed:
      break;
  }
  return errno;
}

}  // namespace

int connectWithin(int fd, const sockaddr* address, socklen_t length,
                  ClientClock::time_point deadline) {
  if (::connect(fd, address, length) == 0) return 0;
  // An interrupted connect goes on in the background, like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  if (const int failure = waitWritable(fd, deadline); failure != 0) return failure;
  int failure = 0;
  socklen_t size = sizeof failure;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) return errno;
  return failure;
}

int sendAll(int fd, ByteView bytes, ClientClock::time_point deadline) {
  while (!bytes.empty()) {
    const IoResult sent = sendSome(fd, bytes);
    if (sent.status == IoStatus::Progress) {
      bytes = bytes.subspan(sent.bytes);
      continue;
    }
    if (sent.status == IoStatus::Closed) return sent.error != 0 ? sent.error : EPIPE;
    if (const int failure = waitWritable(fd, deadline); failure != 0) return failure;
  }
  return 0;
}

namespace {

std::string systemError(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

sockaddr_in loopback(std::uint32_t address, std::uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  socketAddress.sin_addr.s_addr = htonl(address);
  return socketAddress;
}

// A non-blocking TCP socket with Nagle off, its receive buffer set to `receiveBuffer` bytes
// unless that is 0, bound to `source` unless that is 0. On failure returns an invalid socket
// and sets `error`.
Socket openClientSocket(std::uint32_t source, int receiveBuffer, std::string& error) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    error = systemError("socket", errno);
    return {};
  }
  const int on = 1;
  ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (receiveBuffer > 0) {
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (source != 0) {
    // The port is chosen at connect time, per destination, so many peers can share one source.
    ::setsockopt(socket.fd(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    const sockaddr_in local = loopback(source, 0);
    if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      error = systemError("bind to a loopback source address", errno);
      return {};
    }
  }
  return socket;
}

}  // namespace

Socket beginConnect(std::uint16_t port, std::string& error, std::uint32_t source,
                    std::uint32_t destination) {
  Socket socket = openClientSocket(source, 0, error);
  if (!socket.valid()) return {};
  const sockaddr_in server = loopback(destination, port);
  // An interrupted connect goes on in the background, like one in progress.
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    error = systemError("connect", errno);
    return {};
  }
  return socket;
}

Socket connectLoopback(std::uint16_t port, ClientClock::time_point deadline, std::string& error,
                       std::uint32_t source, int receiveBuffer, std::uint32_t destination) {
  Socket socket = openClientSocket(source, receiveBuffer, error);
  if (!socket.valid()) return {};
  const sockaddr_in server = loopback(destination, port);
  const int failure = connectWithin(socket.fd(), reinterpret_cast<const sockaddr*>(&server),
                                    sizeof server, deadline);
  if (failure != 0) {
    error = failure == ETIMEDOUT ? "connect: timed out" : systemError("connect", failure);
    return {};
  }
  return socket;
}

bool receiveUntilClosed(int fd, ClientClock::time_point deadline,
                        const std::function<void(ByteView)>& chunk, std::string& error) {
  // Large enough that a listing of thousands of hosts takes a few receives, not hundreds.
  std::uint8_t buffer[256 * 1024];
  for (;;) {
    const IoResult received = receiveSome(fd, buffer);
    if (received.status == IoStatus::Progress) {
      chunk(ByteView(buffer, received.bytes));
    } else if (received.status == IoStatus::Closed && received.error == 0) {
      return true;
    } else if (received.status == IoStatus::Closed) {
      error = systemError("recv", received.error);
      return false;
    } else if (waitReady(fd, POLLIN, deadline) == Wait::TimedOut) {
      error = "recv: timed out";
      return false;
    }
  }
}

bool seesClosed(int fd) {
  pollfd check{fd, POLLRDHUP, 0};
  return ::poll(&check, 1, 0) > 0 && (check.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::pair<std::uint32_t, std::uint16_t> localEndpoint(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {0, 0};
  return {ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
}

bool sendAll(int fd, ByteView bytes, ClientClock::time_point deadline, std::string& error) {
  const int failure = sendAll(fd, bytes, deadline);
  if (failure == 0) return true;
  error = failure == ETIMEDOUT ? "send: timed out" : systemError("send", failure);
  return false;
}

Bytes fetch(std::uint16_t port, ByteView request, ClientClock::time_point deadline,
            std::string& error, std::uint32_t source) {
  Socket socket = connectLoopback(port, deadline, error, source);
  if (!socket.valid() || !sendAll(socket.fd(), request, deadline, error)) return {};
  Bytes answer;
  const auto keep = [&answer](ByteView chunk) {
    answer.insert(answer.end(), chunk.begin(), chunk.end());
  };
  if (!receiveUntilClosed(socket.fd(), deadline, keep, error)) return {};
  return answer;
}

}  // namespace dirserver
