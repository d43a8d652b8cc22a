// The listening socket.
#pragma once

#include <cstdint>

namespace dirserver {

// The most connections the system will queue for accepting; Linux caps it at its somaxconn.
inline constexpr int kListenBacklog = 2147483647;

// Creates a non-blocking IPv4 TCP socket with SO_REUSEADDR set, so that a restart binds while
// connections of the previous run linger, and binds it to `address` (host byte order; 0.0.0.0 is
// every local interface) and `port` (0: any free port). Returns the socket, or -1 when it could not
// be created or bound (nothing is printed).
int bindListener(std::uint16_t port, std::uint32_t address = 0);

// Starts listening with kListenBacklog; false when listen fails.
bool startListening(int listenSocket);

// The port the socket is bound to, in host byte order (0 on failure).
std::uint16_t localPort(int socket);

// Raises this process's limit on open descriptors as far as its hard limit allows and returns the
// limit in force afterwards.
std::uint64_t raiseDescriptorLimit();

// How many descriptors this process has open (3, the standard streams, when that cannot be told).
std::uint64_t countOpenDescriptors();

}  // namespace dirserver
