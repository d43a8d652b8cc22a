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

LoopSettings quickSettings() {
  LoopSettings settings;
  settings.recvTimeout = 400ms;
  settings.sendTimeout = 400ms;
  settings.sweepInterval = 1h;
  settings.acceptPause = 100ms;
  return settings;
}

LoopbackServer::LoopbackServer(LoopSettings settings, bool sharedConsole)
    : test_(sharedConsole), settings_(settings) {
  listenSocket_ = bindListener(0, INADDR_LOOPBACK);
  if (listenSocket_ < 0 || !startListening(listenSocket_)) throw std::runtime_error("no listener");
  port_ = localPort(listenSocket_);
}

LoopbackServer::~LoopbackServer() {
  stop();
  ::close(listenSocket_);
}

void LoopbackServer::start() {
  loop_ = std::make_unique<EventLoop>(listenSocket_, test_.context, settings_);
  thread_ = std::thread([this] { loop_->run(); });
}

void LoopbackServer::stop() {
  if (!thread_.joinable()) return;
  loop_->stop();
  thread_.join();
  loop_.reset();
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

bool Client::closedWithin(std::chrono::milliseconds limit) { return receiveAll(limit).has_value(); }

Bytes request(std::uint32_t type, ByteView body) {
  Bytes out;
  putHeader(out, {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId, type});
  putBytes(out, body);
  return out;
}

Bytes request(MessageType type, ByteView body) {
  return request(static_cast<std::uint32_t>(type), body);
}

std::optional<Bytes> roundTrip(std::uint16_t port, ByteView requestBytes) {
  Client client(port);
  client.send(requestBytes);
  return client.receiveAll();
}

}  // namespace dirserver::testing
