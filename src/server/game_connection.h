// The game port's connection as the server core keeps it: private to the core's own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "net/framing.h"
#include "net/stream_connection.h"
#include "protocol/proxy_header.h"
#include "server/server_core.h"

namespace dirserver {

// A game port connection: one request read through its frame, one answer. The socket work is the
// stream's; this is what the game's protocol makes of it.
class ServerCore::Connection final : public StreamConnection::Handler {
 public:
  Connection(ServerCore& core, int fd, std::uint32_t address)
      : stream(core.reactor_, fd, *this), address(address), core_(core) {}

  // A trusted balancer's header comes first, read never past its end; then the request.
  std::span<std::uint8_t> receiveSpace() override { return proxy ? proxy->space() : frame.space(); }
  // While the header is read, the body (most come with it) is read in the same receive, into the
  // core's staging space; never with a balancer's header, which is read never past its end.
  std::span<std::uint8_t> spareSpace() override {
    if (proxy || frame.step() > FrameReader::Step::Type) return {};
    return core_.staging_;
  }
  void received(std::size_t count) override {
    if (proxy) {
      core_.proxyHeaderReceived(*this, count);
    } else {
      core_.requestReceived(*this, count);
    }
  }
  // The peer closed its side, or the receive failed, before the step had all its bytes.
  void inputEnded() override {
    expired();
    stream.close();
  }
  void sent() override { stream.close(); }
  void sendBlocked() override {
    stalled = true;
    ++core_.stalledCount_;
  }
  // A peer that is too slow to send its request is reported; one too slow to take its answer is
  // dropped silently, with what it did not take.
  void expired() override {
    if (reading()) {
      core_.reportError(frame.failure());
    } else {
      stream.resetOnClose();
    }
  }
  void closed() override { core_.closed(*this); }

  bool reading() const { return !answering; }

  StreamConnection stream;
  // Counted against the per-address bound, never printed or kept. For a connection from a trusted
  // balancer, the address its PROXY header gives, once read.
  std::uint32_t address;
  // While a trusted balancer's header is unread: its reader. Such a connection is counted against
  // no address yet.
  std::unique_ptr<ProxyHeaderReader> proxy;
  bool local = false;  // the balancer's own connection (a LOCAL header): no changes
  FrameReader frame;
  std::size_t budget = 0;  // bytes of the memory budget its body holds
  bool answering = false;  // its request is handled; it sends its answer
  PublishedPtr listing;    // the version of the listing it sends, if it sends one
  bool pinned = false;     // its listing counts against the memory budget
  bool stalled = false;    // its answer once filled the send buffer

 private:
  ServerCore& core_;
};

}  // namespace dirserver
