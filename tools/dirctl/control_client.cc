#include "control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "client/client_socket.h"
#include "connection.h"
#include "protocol/control_protocol.h"

namespace dirserver::dirctl {
namespace {

using Clock = ClientClock;

// What a failure to connect means to the operator.
std::string connectError(const std::string& path, int failure) {
  std::string text = "cannot connect to the control socket " + path + ": " + std::strerror(failure);
  if (failure == EACCES) text += " (it is the server's user's: try sudo)";
  if (failure == ENOENT || failure == ECONNREFUSED) {
    text += " (is the server running there? --control PATH names its socket)";
  }
  return text;
}

// Takes the whole lines at the front of `input` into `answer`; true once the status line came.
bool takeLines(std::string& input, ControlAnswer& answer, std::string& error) {
  for (;;) {
    const auto end = input.find('\n');
    if (end == std::string::npos) {
      if (input.size() >= kControlLineMax) error = "an answer line longer than the protocol allows";
      return false;
    }
    const std::string line = input.substr(0, end);
    input.erase(0, end + 1);
    if (line.starts_with(' ')) {
      answer.lines.push_back(line.substr(1));
      continue;
    }
    for (const std::string_view status : {kControlOk, kControlError}) {
      if (line == status || line.starts_with(std::string(status) + " ")) {
        answer.ok = status == kControlOk;
        answer.text = line.substr(std::min(line.size(), status.size() + 1));
        return true;
      }
    }
    error = "a line that is no answer: '" + line.substr(0, 80) + "'";
    return false;
  }
}

}  // namespace

std::string controlSocketPath(const std::string& given) {
  if (!given.empty()) return given;
  struct stat status {};
  return ::lstat(kControlSocketName, &status) == 0 ? kControlSocketName : kServiceControlSocket;
}

bool controlExchange(const std::string& path, const std::string& line,
                     std::chrono::milliseconds timeout, ControlAnswer& answer, std::string& error) {
  answer = ControlAnswer{};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "the control socket's path '" + path + "' must have 1 to " +
            std::to_string(sizeof address.sun_path - 1) + " bytes";
    return false;
  }
  path.copy(address.sun_path, path.size());
  Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const auto deadline = Clock::now() + timeout;
  const int failure = socket.valid()
                          ? connectWithin(socket.fd(), reinterpret_cast<const sockaddr*>(&address),
                                          sizeof address, deadline)
                          : errno;
  if (failure != 0) {
    error = failure == ETIMEDOUT ? "timed out connecting to the control socket " + path
                                 : connectError(path, failure);
    return false;
  }
  const std::string request = line + "\n";
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
  if (const int sent = sendAll(socket.fd(), bytes, Clock::now() + timeout); sent != 0) {
    // A server that refuses the connection (too many at once, or not this user) says why and
    // closes it, maybe before the command got there: what it said is still there to read.
    if (sent == EPIPE || sent == ECONNRESET) {
      std::string said;
      char buffer[1024];
      for (ssize_t got; (got = ::recv(socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
        said.append(buffer, static_cast<std::size_t>(got));
      }
      std::string unused;
      if (takeLines(said, answer, unused)) return true;
    }
    error = "sending to the control socket " + path + " failed: " + std::strerror(sent);
    return false;
  }
  std::string input;
  char buffer[16 * 1024];
  for (auto wait = Clock::now() + timeout;;) {
    if (takeLines(input, answer, error)) return true;
    if (!error.empty()) {
      error = path + ": " + error;
      return false;
    }
    const ssize_t received = ::recv(socket.fd(), buffer, sizeof buffer, 0);
    if (received > 0) {
      input.append(buffer, static_cast<std::size_t>(received));
      wait = Clock::now() + timeout;
      continue;
    }
    if (received == 0) {
      error = "the server closed the control connection " + path + " before its answer ended";
      return false;
    }
    if (errno == EINTR) continue;
    const Wait ready = errno == EAGAIN || errno == EWOULDBLOCK
                           ? waitReady(socket.fd(), POLLIN, wait)
                           : Wait::Failed;
    if (ready == Wait::TimedOut) {
      error = "timed out waiting for the answer on " + path + " after " + secondsText(timeout);
      return false;
    }
    if (ready == Wait::Failed) {
      error = "receiving from the control socket " + path + " failed: " + std::strerror(errno);
      return false;
    }
  }
}

}  // namespace dirserver::dirctl
