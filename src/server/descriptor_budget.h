// How the server shares out its open descriptors. The limit on them (the server raises its soft
// limit to the hard one) is divided once, at start: what the server holds for itself, what each
// feature beside the game port may hold at most, and the rest for the game port's connections, up
// to their own cap. A feature that opens descriptors of its own adds its share here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dirserver {

// The least descriptor limit the server starts with when nothing beside the game port holds
// descriptors: the standard streams, kOwnDescriptors and 45 game port connections.
inline constexpr std::uint64_t kMinDescriptors = 64;

// What the server opens for itself after start, whatever its traffic: the game port's listener,
// the event loop's epoll, wake-up and signal descriptors, the saver's temporary file and its
// directory, and spare for what is open for a moment (the time zone file, a damaged list file
// being kept aside, systemd's notification socket).
inline constexpr std::uint64_t kOwnDescriptors = 16;

// What holds descriptors beside the server's own and the game port's connections.
struct DescriptorDemand {
  // Open when the budget is made: the standard streams, and whatever else was inherited.
  std::uint64_t openAtStart = 3;
  // The most the HTTP window holds at once (its listener and connections); 0 when it is off.
  std::uint64_t httpWindow = 0;
  // The most the control socket holds at once (its listener, connections and the bans file's
  // descriptors); 0 when there is none.
  std::uint64_t controlSocket = 0;
  // Listening sockets the server binds for the game port beyond the one counted among its own.
  std::uint64_t extraListeners = 0;
};

struct DescriptorBudget {
  std::uint64_t limit = 0;     // the descriptor limit in force
  std::uint64_t required = 0;  // the least limit the server starts with
  std::uint64_t reserved = 0;  // for everything but the game port's connections
  std::size_t gameConnections = 0;  // the game port's connections at once
  bool enough() const { return limit >= required; }
};

// Shares `limit` out among `demand`, kOwnDescriptors and the game port's connections, which get
// what is left, at most `maxGameConnections`. The server needs kMinDescriptors plus whatever holds
// descriptors beyond the standard streams and its own (inherited ones, the HTTP window, the
// control socket); below that, enough() is false and the server must not start.
DescriptorBudget planDescriptors(std::uint64_t limit, const DescriptorDemand& demand,
                                 std::size_t maxGameConnections);

}  // namespace dirserver
