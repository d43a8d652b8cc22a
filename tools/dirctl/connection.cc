#include "connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "client/client_socket.h"

namespace dirserver::dirctl {
namespace {

using Clock = ClientClock;

// The one place where an errno value becomes words.
std::string systemError(int code) { return std::strerror(code); }

// Connects a non-blocking socket to `address` before `deadline`. Returns the socket, or one
// without a descriptor with `failure` set to the errno value (ETIMEDOUT when the deadline passed).
Socket connectTo(const addrinfo& address, Clock::time_point deadline, int& failure) {
  Socket socket(::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  failure = socket.valid()
                ? connectWithin(socket.fd(), address.ai_addr, address.ai_addrlen, deadline)
                : errno;
  if (failure != 0) return {};
  return socket;
}

bool connectEndpoint(const Endpoint& endpoint, std::chrono::milliseconds timeout, Socket& socket,
                     std::string& error) {
  const auto deadline = Clock::now() + timeout;
  const std::string where = endpointText(endpoint);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  const int lookup = ::getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(),
                                   &hints, &addresses);
  if (lookup != 0) {
    error = "cannot resolve '" + endpoint.host + "': " +
            (lookup == EAI_SYSTEM ? systemError(errno) : std::string(::gai_strerror(lookup)));
    return false;
  }
  int failure = 0;
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    socket = connectTo(*address, deadline, failure);
    if (socket.fd() >= 0 || failure == ETIMEDOUT) break;
  }
  ::freeaddrinfo(addresses);
  if (socket.fd() >= 0) return true;
  error = failure == ETIMEDOUT
              ? "timed out connecting to " + where + " after " + secondsText(timeout)
              : "cannot connect to " + where + ": " + systemError(failure);
  return false;
}

// Whether more has come than the answer's own size announces.
bool beyondAnnouncedSize(const Bytes& answer) {
  return answer.size() > 4 && answer.size() > loadU32(answer.data());
}

}  // namespace

std::string secondsText(std::chrono::milliseconds timeout) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(timeout.count()) / 1000);
  return text;
}

bool exchangeRequest(const Endpoint& endpoint, ByteView request, std::chrono::milliseconds timeout,
                     Exchange& exchange, std::string& error) {
  exchange = Exchange{};
  const std::string where = endpointText(endpoint);
  const auto start = Clock::now();
  Socket socket;
  if (!connectEndpoint(endpoint, timeout, socket, error)) return false;
  const auto sending = Clock::now();
  exchange.connectTime = std::chrono::duration_cast<std::chrono::microseconds>(sending - start);

  if (const int failure = sendAll(socket.fd(), request, sending + timeout); failure != 0) {
    error = failure == ETIMEDOUT
                ? "timed out sending to " + where + " after " + secondsText(timeout)
                : "sending to " + where + " failed: " + systemError(failure);
    return false;
  }

  std::uint8_t buffer[64 * 1024];
  auto deadline = Clock::now() + timeout;
  while (!beyondAnnouncedSize(exchange.answer)) {
    const ssize_t received = ::recv(socket.fd(), buffer, sizeof buffer, 0);
    if (received > 0) {
      exchange.answer.insert(exchange.answer.end(), buffer, buffer + received);
      deadline = Clock::now() + timeout;
      continue;
    }
    if (received == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      error = "receiving from " + where + " failed after " +
              std::to_string(exchange.answer.size()) + " bytes: " + systemError(errno);
      return false;
    }
    const Wait wait = waitReady(socket.fd(), POLLIN, deadline);
    if (wait == Wait::TimedOut) {
      error = "timed out waiting for the answer from " + where + " after " + secondsText(timeout) +
              " (" + std::to_string(exchange.answer.size()) + " bytes came)";
      return false;
    }
    if (wait == Wait::Failed) {
      error = "waiting for the answer from " + where + " failed: " + systemError(errno);
      return false;
    }
  }
  exchange.roundTrip =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sending);
  return true;
}

}  // namespace dirserver::dirctl
