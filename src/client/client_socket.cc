#include "client/client_socket.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

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
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (const int failure = waitWritable(fd, deadline); failure != 0) return failure;
  }
  return 0;
}

}  // namespace dirserver
