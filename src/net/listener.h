// The listening sockets: the game port's, and the control socket's at a path in the file system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

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

// The listening socket at a path in the file system. Removes its file when it goes, unless
// another has taken the path meanwhile.
class ControlSocket {
 public:
  ControlSocket() = default;
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Creates a non-blocking Unix stream socket at `path` (at most 107 bytes), with mode 0600 from
  // the start (the umask is narrowed around the bind), and listens on it. A socket file already
  // at the path is taken over when nothing answers on it (left by a server that crashed); one
  // that answers belongs to a running server, and anything else at the path is not ours to
  // remove: both fail. Returns false with `error` (one line) saying why.
  bool open(const std::string& path, std::string& error);
  // Whether the last open() failed because a server answers at the path.
  bool answeredByServer() const { return answered_; }

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool answered_ = false;
};

// How many descriptors this process has open (3, the standard streams, when that cannot be told).
std::uint64_t countOpenDescriptors();

}  // namespace dirserver
