// One non-blocking stream connection served by the reactor: it receives into the space its
// protocol offers, sends a gathered answer from where the last send stopped, runs one deadline,
// and closes its descriptor. What the bytes mean is the protocol's (a Handler); the connection
// knows only whether the socket made progress, would block, or is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_order.h"
#include "net/reactor.h"

namespace dirserver {

class StreamConnection final : private EventHandler {
 public:
  // What a protocol does with its connection's events. Each call comes on the reactor's thread,
  // and each may send, change the deadline or close the connection.
  class Handler {
   public:
    // Where the next bytes received should go. Empty: nothing is to be read now (the protocol
    // waits for something else); reading stops until receive() is called again.
    virtual std::span<std::uint8_t> receiveSpace() = 0;
    // Where bytes beyond receiveSpace() may go in the same receive, or empty (the default): room
    // the protocol lends for one call, whose bytes it must take or drop before received() returns.
    virtual std::span<std::uint8_t> spareSpace() { return {}; }
    // The one place where bytes arrive: the first `count` bytes of the span receiveSpace() last
    // returned, and then of the one spareSpace() returned with it, now hold what the peer sent.
    virtual void received(std::size_t count) = 0;
    // The peer closed its side, or the receive failed, with no more bytes to come.
    virtual void inputEnded() = 0;
    // The answer was sent whole.
    virtual void sent() = 0;
    // The answer filled the socket's send buffer, for the first time since send() was called;
    // the rest goes out as the peer reads.
    virtual void sendBlocked() {}
    // The deadline passed. The connection closes right after this returns.
    virtual void expired() = 0;
    // The connection closed (by close(), a failed send, or its deadline); called once, after its
    // descriptor is closed. The connection must stay alive until the end of the reactor's pass,
    // since events of the pass may still name it.
    virtual void closed() = 0;

   protected:
    ~Handler() = default;
  };

  // Serves `fd`, a connected non-blocking socket that it owns from now on. `reactor` and
  // `handler` must outlive it. Nothing is read until receive() is called.
  StreamConnection(Reactor& reactor, int fd, Handler& handler);
  // Closes the descriptor if close() has not, without telling the handler.
  ~StreamConnection() override;
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  int fd() const { return fd_; }
  bool closed() const { return closed_; }
  // Whether an answer is being sent: from send() until it is all sent or the connection closes.
  bool sending() const { return sending_; }
  // When the connection was made, or last moved a byte either way.
  SteadyClock::time_point lastProgress() const { return lastProgress_; }

  // The deadline: expired() follows when the reactor's clock reaches now + `after`, unless it is
  // set again or cancelled first.
  void setDeadlineIn(SteadyClock::duration after);
  void cancelDeadline() { deadline_.cancel(); }

  // Reads while the protocol offers space and the socket holds bytes, nothing is being sent and
  // the connection is open; then waits for the socket to become readable (unless the protocol
  // offered no space).
  void receive();
  // Waits for nothing until receive() or send() is called: a protocol that cannot take bytes now
  // does not want even a hang-up to wake the loop again and again.
  void stopWatching();
  // Watches for readability without reading now.
  void watchInput();

  // Sends `parts` in order, as much as the socket takes now and the rest when it is writable;
  // sent() follows once all is gone. `parts` and the bytes they view must stay valid until then
  // or until the connection closes. A send that fails closes the connection: the peer has gone.
  void send(std::span<const ByteView> parts);

  // One try at sending `bytes` at once, on the way out; whatever the socket does not take is lost.
  void sendLastWords(ByteView bytes);

  // Makes the coming close reset the connection: the kernel then drops what is still queued for
  // the peer at once, instead of keeping it for minutes for a peer that does not read.
  void resetOnClose();

  // Stops watching, closes the descriptor and the deadline, then tells the handler. Closing a
  // closed connection does nothing.
  void close();

 private:
  void onEvents(std::uint32_t events) override;
  void flush();
  void want(std::uint32_t events) { reactor_.watch(fd_, this, events); }

  Reactor& reactor_;
  const int fd_;
  Handler& handler_;
  Timer deadline_;
  SteadyClock::time_point lastProgress_;
  std::span<const ByteView> parts_;
  std::size_t part_ = 0;  // where the answer is in parts_
  std::size_t offset_ = 0;
  bool sending_ = false;
  bool blocked_ = false;  // the answer has filled the send buffer once
  bool closed_ = false;
};

}  // namespace dirserver
