#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "net/listener.h"

namespace dirserver::testing {

CoreHarness::CoreHarness(CoreSettings settings, bool sharedConsole)
    : test_(sharedConsole), reactor_(clock_.clock()), settings_(settings) {
  listenSocket_ = bindListener(0, INADDR_LOOPBACK);
  if (listenSocket_ < 0 || !startListening(listenSocket_)) throw std::runtime_error("no listener");
  port_ = localPort(listenSocket_);
}

CoreHarness::~CoreHarness() {
  core_.reset();
  ::close(listenSocket_);
}

void CoreHarness::start() {
  core_ = std::make_unique<ServerCore>(reactor_, test_.context, saver_, settings_);
  core_->listen(listenSocket_);
  pump();
}

void CoreHarness::pump() {
  // Loopback delivers within the sending call as a rule, but a loaded machine may hand the work to
  // a kernel thread: a short real wait for readiness catches what is still on its way. The clock
  // stands still meanwhile, so no deadline can pass.
  for (int pass = 0; pass < 10'000; ++pass) {
    if (!reactor_.runOnce(SteadyClock::duration::zero()) &&
        !reactor_.runOnce(std::chrono::milliseconds(1))) {
      return;
    }
  }
}

void CoreHarness::advance(SteadyClock::duration by) {
  clock_.advance(by);
  pump();
}

void CoreHarness::finishCommit(bool ok, SteadyClock::duration took, std::uint64_t logBytes) {
  clock_.advance(took);
  CommitReport report;
  report.ok = ok;
  report.batch = saver_.appends.empty() ? 0 : saver_.appends.back().first;
  report.took = took;
  report.logBytes = logBytes;
  if (!ok) report.error = "write server_list.wal.1: No space left on device";
  core_->commitFinished(report);
  pump();
}

void CoreHarness::finishSnapshot(SaveOutcome outcome, SteadyClock::duration took,
                                 std::uint64_t logBytes) {
  if (saver_.snapshots.empty()) throw std::logic_error("no snapshot to finish");
  clock_.advance(took);
  SnapshotReport report;
  report.outcome = outcome;
  report.took = took;
  report.logBytes = logBytes;
  core_->snapshotFinished(report);
  pump();
}

std::optional<Bytes> CoreHarness::roundTrip(ByteView requestBytes, const char* source) {
  Client client(port_, source);
  client.send(requestBytes);
  Bytes answer;
  bool closed = false;
  // A large answer takes several passes, each sending what the socket buffers hold.
  for (int round = 0; round < 10'000 && !closed; ++round) {
    pump();
    const Bytes part = client.receiveNow(&closed);
    answer.insert(answer.end(), part.begin(), part.end());
    if (part.empty() && !closed) {
      // Nothing came and nothing is left to do: wait a little for what may be on its way.
      pollfd wait{client.fd(), POLLIN, 0};
      if (::poll(&wait, 1, 100) == 0) {
        pump();
        if (::poll(&wait, 1, 100) == 0) return std::nullopt;
      }
    }
  }
  return answer;
}

Client::Client(std::uint16_t port, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (source != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error("bind to source address");
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    throw std::runtime_error("connect");
  }
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

void Client::send(ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) throw std::runtime_error("send");
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
}

void Client::sendHeader(std::uint32_t size, std::uint32_t id, std::uint32_t type) {
  Bytes header;
  putHeader(header, {size, id, type});
  send(header);
}

void Client::finishSending() { ::shutdown(fd_, SHUT_WR); }

std::optional<Bytes> Client::receiveAll(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  Bytes out;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
      return std::nullopt;
    }
    std::uint8_t buffer[65536];
    const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
    if (received < 0) return errno == ECONNRESET ? std::optional<Bytes>(out) : std::nullopt;
    if (received == 0) return out;
    out.insert(out.end(), buffer, buffer + received);
  }
}

Bytes Client::receiveNow(bool* closed) {
  Bytes out;
  bool ended = false;
  for (;;) {
    std::uint8_t buffer[65536];
    const ssize_t received = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received > 0) {
      out.insert(out.end(), buffer, buffer + received);
      continue;
    }
    ended = received == 0 || (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  if (closed != nullptr) *closed = ended;
  return out;
}

bool Client::closed() {
  bool ended = false;
  receiveNow(&ended);
  return ended;
}

Bytes request(std::uint32_t type, ByteView body) {
  Bytes out;
  putHeader(out, {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId, type});
  putBytes(out, body);
  return out;
}

Bytes request(MessageType type, ByteView body) {
  return request(static_cast<std::uint32_t>(type), body);
}

std::optional<Bytes> roundTrip(std::uint16_t port, ByteView requestBytes, const char* source) {
  Client client(port, source);
  client.send(requestBytes);
  return client.receiveAll();
}

}  // namespace dirserver::testing
