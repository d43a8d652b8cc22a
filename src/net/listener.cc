#include "net/listener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace dirserver {
namespace {

constexpr int kControlBacklog = 16;

bool socketAddress(const std::string& path, sockaddr_un& address, std::string& error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "the control socket's path '" + path + "' must have 1 to " +
            std::to_string(sizeof address.sun_path - 1) + " bytes";
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// Whether a server accepts connections on the socket file at `path`. A full backlog still means
// one is there.
bool answers(const sockaddr_un& address) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
      errno == EAGAIN;
  ::close(fd);
  return connected;
}

}  // namespace


int bindListener(std::uint16_t port, std::uint32_t address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  // Without address reuse the server still runs; a restart may then have to wait for old
  // connections to leave their closing states.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(address);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool startListening(int listenSocket) { return ::listen(listenSocket, kListenBacklog) == 0; }

std::uint16_t localPort(int socket) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t countOpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 3;
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count > 0 ? count - 1 : 0;  // the directory's own is not the process's
}

bool ControlSocket::open(const std::string& path, std::string& error) {
  sockaddr_un address;
  if (!socketAddress(path, address, error)) return false;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) {
      error = path + " is there and is no socket; move it away or give --control another path";
      return false;
    }
    if (answers(address)) {
      answered_ = true;
      error = "a server answers on " + path + " already";
      return false;
    }
    // Left by a server that ended without removing it.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = "cannot remove the stale " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create a Unix socket: ") + std::strerror(errno);
    return false;
  }
  // The socket file is made by the bind with the rights the umask leaves: only the server's user
  // may ever connect, from the first moment.
  const mode_t previous = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previous);
  if (bound != 0 || ::listen(fd, kControlBacklog) != 0 || ::stat(path.c_str(), &status) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
    if (bound == 0) ::unlink(path.c_str());
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return true;
}

ControlSocket::~ControlSocket() {
  if (fd_ < 0) return;
  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  ::close(fd_);
}

}  // namespace dirserver
