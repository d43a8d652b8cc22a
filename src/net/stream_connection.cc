#include "net/stream_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "net/socket_io.h"

namespace dirserver {
namespace {

// One send hands the kernel at most this many buffers (the system's limit) and stops gathering
// once it has about as much as a send buffer could ever take.
constexpr std::size_t kMostBuffersPerSend = IOV_MAX;
constexpr std::size_t kGatherBytes = 1024 * 1024;

}  // namespace

StreamConnection::StreamConnection(Reactor& reactor, int fd, Handler& handler)
    : reactor_(reactor),
      fd_(fd),
      handler_(handler),
      deadline_(reactor,
                [this] {
                  handler_.expired();
                  close();
                }),
      lastProgress_(reactor.now()) {}

StreamConnection::~StreamConnection() {
  if (closed_) return;
  want(0);
  ::close(fd_);
}

void StreamConnection::setDeadlineIn(SteadyClock::duration after) {
  deadline_.setAt(reactor_.now() + after);
}

void StreamConnection::onEvents(std::uint32_t) {
  if (closed_) return;
  if (sending_) flush();
  if (!sending_ && !closed_) receive();
}

void StreamConnection::stopWatching() { want(0); }

void StreamConnection::watchInput() { want(EPOLLIN); }

void StreamConnection::receive() {
  while (!closed_ && !sending_) {
    const std::span<std::uint8_t> into = handler_.receiveSpace();
    // The protocol may have answered, or closed, while it made room.
    if (into.empty() || closed_ || sending_) return;
    const std::span<std::uint8_t> spare = handler_.spareSpace();
    const IoResult got = spare.empty() ? receiveSome(fd_, into) : receiveSome(fd_, into, spare);
    if (got.status == IoStatus::WouldBlock) {
      want(EPOLLIN);
      return;
    }
    if (got.status == IoStatus::Closed) {
      handler_.inputEnded();
      return;
    }
    lastProgress_ = reactor_.now();
    handler_.received(got.bytes);
  }
}

void StreamConnection::send(std::span<const ByteView> parts) {
  parts_ = parts;
  part_ = 0;
  offset_ = 0;
  sending_ = true;
  blocked_ = false;
  flush();
}

// Sends what the socket takes of the parts, several at a time, from where the last send stopped.
void StreamConnection::flush() {
  while (part_ < parts_.size()) {
    const IoResult sent =
        sendGathered(fd_, parts_.subspan(part_), offset_, kMostBuffersPerSend, kGatherBytes);
    if (sent.status == IoStatus::WouldBlock) {
      if (!std::exchange(blocked_, true)) handler_.sendBlocked();
      if (!closed_) want(EPOLLOUT);
      return;
    }
    if (sent.status == IoStatus::Closed) {
      close();  // the peer has gone
      return;
    }
    if (sent.bytes == 0) break;  // only empty parts were left
    // Moves past what was sent, and past parts that are done.
    for (std::size_t left = sent.bytes; left > 0;) {
      const std::size_t taken = std::min(left, parts_[part_].size() - offset_);
      offset_ += taken;
      left -= taken;
      if (offset_ == parts_[part_].size()) {
        ++part_;
        offset_ = 0;
      }
    }
    lastProgress_ = reactor_.now();
  }
  sending_ = false;
  parts_ = {};
  handler_.sent();
}

void StreamConnection::sendLastWords(ByteView bytes) { sendSome(fd_, bytes, true); }

void StreamConnection::resetOnClose() {
  const linger reset{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void StreamConnection::close() {
  if (closed_) return;
  want(0);
  ::close(fd_);
  closed_ = true;
  sending_ = false;
  parts_ = {};
  deadline_.cancel();
  handler_.closed();
}

}  // namespace dirserver
