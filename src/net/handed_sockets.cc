#include "net/handed_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace dirserver {
namespace {

// The most descriptors that can be handed over: beyond it the count is a mistake, not a socket
// list.
constexpr long kMostHanded = 4096;

bool parseNumber(std::string_view text, long& value) {
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && failure == std::errc() && end == text.data() + text.size() && value >= 0;
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &size) != 0) return -1;
  return value;
}

}  // namespace

std::optional<std::vector<int>> handedDescriptors(const char* listenPid, const char* listenFds,
                                                  pid_t self, std::string& error) {
  if (listenPid == nullptr || listenFds == nullptr) return std::vector<int>{};
  long pid = 0, count = 0;
  if (!parseNumber(listenPid, pid)) {
    error = "LISTEN_PID '" + std::string(listenPid) + "' is not a process id";
    return std::nullopt;
  }
  if (pid != self) return std::vector<int>{};
  if (!parseNumber(listenFds, count) || count > kMostHanded) {
    error = "LISTEN_FDS '" + std::string(listenFds) + "' is not a number of descriptors";
    return std::nullopt;
  }
  std::vector<int> handed;
  for (long i = 0; i < count; ++i) handed.push_back(kFirstHandedDescriptor + static_cast<int>(i));
  return handed;
}

std::optional<std::vector<int>> takeHandedDescriptors(std::string& error) {
  auto handed =
      handedDescriptors(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"), ::getpid(), error);
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (!handed) return handed;
  for (const int fd : *handed) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return handed;
}

std::optional<ListeningAddress> listeningIpv4(int fd, std::string& error) {
  const std::string name = "descriptor " + std::to_string(fd);
  if (::fcntl(fd, F_GETFD) < 0) {
    error = name + " is not open";
    return std::nullopt;
  }
  if (socketOption(fd, SO_DOMAIN) != AF_INET || socketOption(fd, SO_TYPE) != SOCK_STREAM ||
      socketOption(fd, SO_PROTOCOL) != IPPROTO_TCP) {
    error = name + " is not an IPv4 TCP socket";
    return std::nullopt;
  }
  if (socketOption(fd, SO_ACCEPTCONN) != 1) {
    error = name + " is not listening";
    return std::nullopt;
  }
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    error = name + ": getsockname() failed: " + std::strerror(errno);
    return std::nullopt;
  }
  return ListeningAddress{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
}

}  // namespace dirserver
