#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <stdexcept>

#include "client/client_socket.h"
#include "net/listener.h"

namespace dirserver::testing {

CoreHarness::CoreHarness(CoreSettings settings, bool sharedConsole)
    : test_(sharedConsole), reactor_(clock_), settings_(settings) {
  listenSocket_ = bindListener(0, INADDR_LOOPBACK);
  if (listenSocket_ < 0 || !startListening(listenSocket_)) throw std::runtime_error("no listener");
  port_ = localPort(listenSocket_);
}

CoreHarness::~CoreHarness() {
  core_.reset();
  changes_.reset();
  ::close(listenSocket_);
}

void CoreHarness::start() {
  changes_ = std::make_unique<ChangePath>(reactor_, test_.context, saver_, status_);
  changes_->attach(0, false);
  core_ = std::make_unique<ServerCore>(reactor_, test_.context, *changes_, settings_);
  core_->listen(listenSocket_);
  pump();
}

namespace {

// Whether a TCP socket of this process has bytes (or its end) on the wire that the peer has not
// taken in yet. Loopback delivers within the sending call as a rule, but a loaded machine may
// leave the delivery to a kernel thread; what waits in a full peer's window is not on the wire.
bool loopbackInFlight() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    int protocol = 0, queued = 0, unsent = 0;
    socklen_t size = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0 &&
        protocol == IPPROTO_TCP && ::ioctl(fd, SIOCOUTQ, &queued) == 0 &&
        ::ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && queued > unsent) {
      return true;
    }
  }
  return false;
}

// Whether a connection to `port` is half open: its client has connected, but the acknowledgement
// that puts it in the listener's queue has not been taken in yet.
bool halfOpen(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line, slot, local, remote, state;
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X", port);
  std::getline(table, line);
  while (table >> slot >> local >> remote >> state && std::getline(table, line)) {
    if (state == "03" && local.ends_with(hex)) return true;
  }
  return false;
}

}  // namespace

void CoreHarness::pump() {
  // The clock stands still meanwhile, so no deadline can pass; the real-time limit is only
  // reached when something is wrong.
  const auto limit = SteadyClock::now() + std::chrono::seconds(30);
  while (reactor_.runOnce(SteadyClock::duration::zero()) || loopbackInFlight() ||
         halfOpen(port_)) {
    if (SteadyClock::now() > limit) throw std::runtime_error("pump: loopback never settled");
    std::this_thread::yield();
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
  changes_->commitFinished(report);
  pump();
}

void CoreHarness::finishCheckpoint(SaveOutcome outcome, SteadyClock::duration took,
                                 std::uint64_t logBytes) {
  if (saver_.snapshots.empty()) throw std::logic_error("no snapshot to finish");
  clock_.advance(took);
  CheckpointReport report;
  report.outcome = outcome;
  report.took = took;
  report.logBytes = logBytes;
  changes_->checkpointFinished(report);
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
    // Nothing came, nothing is on its way and the server has nothing left to do.
    if (part.empty() && !closed) return std::nullopt;
  }
  return answer;
}

Client::Client(const ServerAddress& server, const char* source) {
  in_addr from{}, to{};
  if (source != nullptr) ::inet_pton(AF_INET, source, &from);
  if (::inet_pton(AF_INET, server.address.c_str(), &to) != 1) {
    throw std::invalid_argument("not an IPv4 address: " + server.address);
  }
  std::string error;
  Socket socket = connectLoopback(server.port, SteadyClock::now() + 10s, error,
                                  ntohl(from.s_addr), 0, ntohl(to.s_addr));
  if (!socket.valid()) throw std::runtime_error(error);
  // Blocking from here on: the tests send and read as they please.
  ::fcntl(socket.fd(), F_SETFL, ::fcntl(socket.fd(), F_GETFL) & ~O_NONBLOCK);
  fd_ = socket.release();
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

Bytes registration(std::string_view name, std::string_view path) {
  return request(MessageType::Registration, requestBody(hostStrings(path, name)));
}

Bytes shutdown(std::string_view name, std::string_view path) {
  return request(MessageType::Shutdown, requestBody(hostStrings(path, name)));
}

std::uint32_t ipv4(const char* dotted) {
  in_addr address{};
  ::inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

std::optional<Bytes> roundTrip(const ServerAddress& server, ByteView requestBytes,
                               const char* source) {
  Client client(server, source);
  client.send(requestBytes);
  return client.receiveAll();
}

}  // namespace dirserver::testing
