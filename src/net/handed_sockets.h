// Listening sockets handed to the server by the process that started it, so that the port stays
// open (connections waiting in its backlog) while one server stops and the next starts. The
// protocol is systemd's socket activation, implemented here directly: LISTEN_PID names the process
// meant, LISTEN_FDS how many descriptors it was handed, from 3 on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dirserver {

// The first descriptor handed over.
inline constexpr int kFirstHandedDescriptor = 3;

// The descriptors `listenPid` and `listenFds` (the variables' values, null when unset) hand to
// the process `self`: none when either is unset or LISTEN_PID names another process. Returns
// nullopt with `error` (one line) when a value is not a number or names more descriptors than a
// process can have.
std::optional<std::vector<int>> handedDescriptors(const char* listenPid, const char* listenFds,
                                                  pid_t self, std::string& error);

// The same from this process's environment, from which it then removes LISTEN_PID, LISTEN_FDS and
// LISTEN_FDNAMES, so that no child takes them for its own. The descriptors are made
// non-blocking and close-on-exec.
std::optional<std::vector<int>> takeHandedDescriptors(std::string& error);

// An IPv4 address and port, in host byte order.
struct ListeningAddress {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  bool operator==(const ListeningAddress&) const = default;
};

// Where `fd` listens, when it is a listening IPv4 TCP socket. Otherwise nullopt with `error` (one
// line) saying what it is instead.
std::optional<ListeningAddress> listeningIpv4(int fd, std::string& error);

}  // namespace dirserver
