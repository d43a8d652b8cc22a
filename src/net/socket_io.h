// The socket calls of a non-blocking connection, in one place: each retries an interrupted call
// and says whether it made progress, would block, or found the connection closed (or failed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_order.h"

namespace dirserver {

enum class IoStatus : std::uint8_t {
  Progress,    // `bytes` moved (at least one)
  WouldBlock,  // nothing now; wait for readiness
  Closed,      // the peer closed its side (error 0) or the call failed (`error`)
};

struct IoResult {
  IoStatus status = IoStatus::Closed;
  std::size_t bytes = 0;
  int error = 0;
};

// One connection taken from the listening socket `listenFd`, non-blocking and closed on exec, with
// its peer's IPv4 address (network byte order; 0 for another family). `fd` is -1 when none was
// taken: `error` is then 0 when none waits, else errno of the failed accept.
struct Accepted {
  int fd = -1;
  std::uint32_t address = 0;
  int error = 0;
};
Accepted acceptConnection(int listenFd);

// Receives into `into` what the socket holds, up to its size.
IoResult receiveSome(int fd, std::span<std::uint8_t> into);
// Receives into `into` and, once it is full, into `then`, in one call: `bytes` counts both.
IoResult receiveSome(int fd, std::span<std::uint8_t> into, std::span<std::uint8_t> then);

// Sends what the socket takes of `bytes`; never raises SIGPIPE. With `dontWait`, the call does not
// block even on a blocking socket.
IoResult sendSome(int fd, ByteView bytes, bool dontWait = false);

// Sends what the socket takes of `parts`, starting `offset` bytes into parts[0], gathering at most
// `mostBuffers` parts and about `mostBytes` bytes in one call; never raises SIGPIPE.
IoResult sendGathered(int fd, std::span<const ByteView> parts, std::size_t offset,
                      std::size_t mostBuffers, std::size_t mostBytes);

}  // namespace dirserver
