// A server core on a loopback port driven by the test's own thread on a clock the test moves, and
// the client side of tests that talk TCP to a server.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "net/reactor.h"
#include "protocol/message.h"
#include "server/change_path.h"
#include "server/server_core.h"
#include "support/test_support.h"

namespace dirserver::testing {

using namespace std::chrono_literals;

// A saver that only records what it is handed; the test reports the outcomes when it likes.
class RecordingSaver final : public Saver {
 public:
  void append(std::uint64_t batch, std::vector<HostChange> changes) override {
    appends.emplace_back(batch, std::move(changes));
  }
  void checkpoint(SnapshotPtr snapshot, bool last) override {
    snapshots.push_back(std::move(snapshot));
    lastCheckpoint = last;
  }
  void retry() override { ++retries; }
  void hurry() override { ++hurries; }

  std::vector<std::pair<std::uint64_t, std::vector<HostChange>>> appends;
  std::vector<SnapshotPtr> snapshots;
  bool lastCheckpoint = false;
  int retries = 0;
  int hurries = 0;
};

// A server core on 127.0.0.1 and a free port, driven by the test on its own thread: the test
// sends, then pump()s the reactor until nothing more happens, then reads; time passes only when
// advance() moves the clock. Saves go to a RecordingSaver.
class CoreHarness {
 public:
  explicit CoreHarness(CoreSettings settings = CoreSettings{}, bool sharedConsole = false);
  ~CoreHarness();

  TestContext& test() { return test_; }
  ServerContext& context() { return test_.context; }
  ServerCore& core() { return *core_; }
  ChangePath& changes() { return *changes_; }
  Reactor& reactor() { return reactor_; }
  RecordingSaver& saver() { return saver_; }
  std::uint16_t port() const { return port_; }

  // Attaches the change path and starts the core: call after the registry is prepared.
  void start();
  // Runs reactor passes, without waiting, until one handles nothing and nothing sent on loopback
  // (bytes, ends of connections, new connections) is still on its way.
  void pump();
  // Moves the clock on and pumps.
  void advance(SteadyClock::duration by);
  // Reports a commit of every batch handed over so far (or its failure), as the saver would, after
  // `took`, and pumps.
  void finishCommit(bool ok = true, SteadyClock::duration took = std::chrono::milliseconds(2),
                    std::uint64_t logBytes = 1000);
  // Reports the snapshot in flight, as the saver would, and pumps.
  void finishCheckpoint(SaveOutcome outcome = SaveOutcome::Saved,
                      SteadyClock::duration took = std::chrono::milliseconds(10),
                      std::uint64_t logBytes = 48);
  bool reactorStopped() const { return reactor_.stopping(); }

  // Sends a whole request on a new connection, pumps, and returns what came back before the
  // server closed the connection (nullopt if it did not close it).
  std::optional<Bytes> roundTrip(ByteView requestBytes, const char* source = nullptr);

 private:
  TestContext test_;
  SettableClock clock_;
  Reactor reactor_;
  RecordingSaver saver_;
  CoreSettings settings_;
  ServerStatus status_;
  std::unique_ptr<ChangePath> changes_;
  std::unique_ptr<ServerCore> core_;
  int listenSocket_ = -1;
  std::uint16_t port_ = 0;
};

// Where a server under test listens: an address of 127/8 (dotted) and a port. Test programs that
// run several servers give each an address of its own.
struct ServerAddress {
  std::string address = "127.0.0.1";
  std::uint16_t port = kListenPort;
};

// A blocking client socket connected to `server`, or to 127.0.0.1:port, from `source` (an address
// of 127/8) when given. Closes itself.
class Client {
 public:
  explicit Client(const ServerAddress& server, const char* source = nullptr);
  explicit Client(std::uint16_t port, const char* source = nullptr)
      : Client(ServerAddress{"127.0.0.1", port}, source) {}
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
  // within `limit` (real time: for servers on other threads or in other processes).
  std::optional<Bytes> receiveAll(std::chrono::milliseconds limit = 20s);
  // Everything the server has sent so far, and whether it has closed the connection: for a server
  // on the test's own thread, after a pump.
  Bytes receiveNow(bool* closed = nullptr);
  // Whether the server has closed the connection (reading and dropping what it sent).
  bool closed();

 private:
  int fd_ = -1;
};

// A whole request: header and body.
Bytes request(MessageType type, ByteView body = {});
Bytes request(std::uint32_t type, ByteView body = {});
// A registration or shutdown of the host named `name` under the type path `path`.
Bytes registration(std::string_view name, std::string_view path = "/Aviantorvale/Melee Game");
Bytes shutdown(std::string_view name, std::string_view path = "/Aviantorvale/Melee Game");

// An IPv4 address in dotted form, in network byte order as the server keeps it.
std::uint32_t ipv4(const char* dotted);

// Sends one request on a new connection and returns what came back before the server closed it.
// `source`, when given, is the client's address (of 127/8).
std::optional<Bytes> roundTrip(const ServerAddress& server, ByteView requestBytes,
                               const char* source = nullptr);
inline std::optional<Bytes> roundTrip(std::uint16_t port, ByteView requestBytes,
                                      const char* source = nullptr) {
  return roundTrip(ServerAddress{"127.0.0.1", port}, requestBytes, source);
}

}  // namespace dirserver::testing
