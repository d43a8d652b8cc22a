// The client side of a connection, for dirctl and the benchmark: a socket that closes itself, and
// connecting, sending and waiting on a non-blocking socket within a deadline.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>

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
  // Hands the descriptor over to the caller, who closes it; the socket holds none after.
  int release() { return std::exchange(fd_, -1); }

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
// The same, returning whether everything went; sets `error` ("send: ...") when not.
bool sendAll(int fd, ByteView bytes, ClientClock::time_point deadline, std::string& error);

// Starts a non-blocking TCP connection to `destination`:`port` (an address of 127/8 in host byte
// order) from `source` (likewise, 0 for any) and returns without waiting for it to be made: a
// peer that means to send or fail at its own pace. On failure returns an invalid socket and sets
// `error`.
Socket beginConnect(std::uint16_t port, std::string& error, std::uint32_t source = 0,
                    std::uint32_t destination = 0x7F000001);

// A non-blocking TCP connection to `destination`:`port` (an address of 127/8 in host byte order,
// 127.0.0.1 unless given), bound to `source` (likewise, 0 for any) and with its receive buffer set
// to `receiveBuffer` bytes first when that is not 0 (a small buffer makes a peer that does not read
// hold up the sender sooner). Waits for the connection at most until `deadline`. On failure
// returns an invalid socket and sets `error`.
Socket connectLoopback(std::uint16_t port, ClientClock::time_point deadline, std::string& error,
                       std::uint32_t source = 0, int receiveBuffer = 0,
                       std::uint32_t destination = 0x7F000001);

// Receives on the non-blocking socket `fd` until the peer closes its side, handing each chunk to
// `chunk` as it arrives. Returns true at the end of the stream; false with `error` set when the
// receive fails or `deadline` passes first.
bool receiveUntilClosed(int fd, ClientClock::time_point deadline,
                        const std::function<void(ByteView)>& chunk, std::string& error);

// Whether the connection on `fd` has ended as its own side sees it (the peer closed or reset it,
// or it failed), without waiting and without consuming anything.
bool seesClosed(int fd);

// The address (host byte order) and port a connected socket was given on this side.
std::pair<std::uint32_t, std::uint16_t> localEndpoint(int fd);

// Sends `request` to 127.0.0.1:`port` on a connection of its own (from `source`, as above) and
// returns the whole answer, read until the server closes. On failure, or when the deadline
// passes, returns nothing and sets `error`.
Bytes fetch(std::uint16_t port, ByteView request, ClientClock::time_point deadline,
            std::string& error, std::uint32_t source = 0);

}  // namespace dirserver
