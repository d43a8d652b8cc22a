// The client side of a connection, for dirctl and the benchmark: a socket that closes itself, and
// connecting, sending and waiting on a non-blocking socket within a deadline.
#pragma once

#include <sys/socket.h>

#include <chrono>

#include "common/byte_order.h"

namespace dirserver {

using ClientClock = std::chrono::steady_clock;

// A socket descriptor that closes itself.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { reset(); }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

enum class Wait { Ready, TimedOut, Failed };

// Waits until `fd` is ready for `events` (or has an error or hang-up to report), at most until
// `deadline`. Interrupted waits resume with the time that is left; Failed leaves errno set.
Wait waitReady(int fd, short events, ClientClock::time_point deadline);

// Connects the non-blocking socket `fd` to `address` before `deadline`. Returns 0 once connected,
// else the errno value of the failure (ETIMEDOUT when the deadline passed).
int connectWithin(int fd, const sockaddr* address, socklen_t length,
                  ClientClock::time_point deadline);

// Sends all of `bytes` on the non-blocking socket `fd` before `deadline`, resuming after partial
// sends; never raises SIGPIPE. Returns 0 when everything went, else the errno value of the failure
// (ETIMEDOUT when the deadline passed).
int sendAll(int fd, ByteView bytes, ClientClock::time_point deadline);

}  // namespace dirserver
