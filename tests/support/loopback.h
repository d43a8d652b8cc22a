// A server loop on a loopback port in a thread of its own, and the client side of tests that
// talk TCP to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/byte_order.h"
#include "net/event_loop.h"
#include "net/message.h"
#include "support/test_support.h"

namespace dirserver::testing {

using namespace std::chrono_literals;

// Short limits for tests; the bounds stay as the server has them.
LoopSettings quickSettings();

// An EventLoop on 127.0.0.1 and a free port, run on a thread of its own until stop() (or the
// destructor). Its context, console and registry belong to the loop's thread while it runs:
// look at them only after stop().
class LoopbackServer {
 public:
  explicit LoopbackServer(LoopSettings settings = quickSettings(), bool sharedConsole = false);
  ~LoopbackServer();

  // Called before start() to prepare the registry or the clock.
  TestContext& test() { return test_; }
  void start();
  void stop();
  std::uint16_t port() const { return port_; }

 private:
  TestContext test_;
  LoopSettings settings_;
  int listenSocket_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<EventLoop> loop_;
  std::thread thread_;
};

// A blocking client socket connected to 127.0.0.1:port, from `source` (an address of 127/8) when
// given. Closes itself.
class Client {
 public:
  explicit Client(std::uint16_t port, const char* source = nullptr);
  ~Client();
  Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return fd_; }
  void send(ByteView bytes);
  void sendHeader(std::uint32_t size, std::uint32_t id, std::uint32_t type);
  // Closes the sending side only.
  void finishSending();
  // Everything the server sends until it closes the connection, or nullopt if it has not closed
  // within `limit`.
  std::optional<Bytes> receiveAll(std::chrono::milliseconds limit = 5s);
  // Whether the server has closed the connection (without reading what it sent) within `limit`.
  bool closedWithin(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
};

// A whole request: header and body.
Bytes request(MessageType type, ByteView body = {});
Bytes request(std::uint32_t type, ByteView body = {});

// Sends one request on a new connection and returns what came back before the server closed it.
std::optional<Bytes> roundTrip(std::uint16_t port, ByteView requestBytes);

}  // namespace dirserver::testing
