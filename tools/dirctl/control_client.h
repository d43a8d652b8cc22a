// dirctl's side of the server's control socket: finding it, and one command with its answer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace dirserver::dirctl {

// Where the packaged service keeps its control socket (its state directory).
inline constexpr const char* kServiceControlSocket = "/var/lib/dirserver/dirserver.sock";

// The control socket to use: `given` when it is not empty (--control), else dirserver.sock in the
// current directory when something is there, else the service's.
std::string controlSocketPath(const std::string& given);

// A whole answer: its data lines (without their leading blank), whether its status is "ok", and
// the status's text.
struct ControlAnswer {
  std::vector<std::string> lines;
  bool ok = false;
  std::string text;
};

// Connects to the control socket at `path`, sends `line` (a command without its line end) and
// reads the answer up to its status line. Connecting, sending and each wait for more of the answer
// may take `timeout` at most. Returns false with `error` (one line naming the socket) when the
// socket cannot be reached, the exchange fails or times out, or what comes is no answer (a line
// that is neither data nor a status, one longer than the protocol allows, or the end of the
// connection before the status).
bool controlExchange(const std::string& path, const std::string& line,
                     std::chrono::milliseconds timeout, ControlAnswer& answer, std::string& error);

}  // namespace dirserver::dirctl
