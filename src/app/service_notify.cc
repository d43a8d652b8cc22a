#include "app/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace dirserver {
namespace {

// A decimal number filling the whole of `text`; nullopt for anything else.
std::optional<unsigned long long> decimal(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* end = text + std::strlen(text);
  unsigned long long value = 0;
  const auto [stop, failure] = std::from_chars(text, end, value);
  if (text == end || failure != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

ServiceNotifier ServiceNotifier::fromEnvironment() {
  ServiceNotifier notifier;
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket != nullptr && (socket[0] == '/' || socket[0] == '@') &&
      std::strlen(socket) < sizeof(sockaddr_un::sun_path)) {
    notifier.socket_ = socket;
    if (socket[0] == '@') notifier.socket_[0] = '\0';
  }
  const auto usec = decimal(std::getenv("WATCHDOG_USEC"));
  const auto pid = decimal(std::getenv("WATCHDOG_PID"));
  if (notifier.enabled() && usec && *usec > 0 &&
      (!pid || *pid == static_cast<unsigned long long>(::getpid()))) {
    notifier.watchdog_ = std::chrono::microseconds(*usec / 2);
  }
  return notifier;
}

bool ServiceNotifier::notify(std::string_view state) const {
  if (!enabled()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_.data(), socket_.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace dirserver
