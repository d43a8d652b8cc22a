#include "net/event_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/dispatch.h"
#include "net/listener.h"
#include "registry/expiry.h"
#include "registry/server_list_file.h"

namespace dirserver {

struct EventLoop::Connection {
  int fd = -1;
  std::uint32_t address = 0;  // counted against the per-address bound, never printed or kept
  SteadyClock::time_point deadline;
  FrameReader frame;
  std::size_t budget = 0;  // bytes of bodyBudgetBytes this connection holds
  Answer answer;           // once set, the connection is sending it
  std::size_t sent = 0;
  bool closed = false;

  bool reading() const { return answer == nullptr; }
};

namespace {

constexpr std::size_t kAcceptBatch = 64;

bool isOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int millisecondsUntil(SteadyClock::time_point when, SteadyClock::time_point now) {
  if (when <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<int>(std::min<std::int64_t>(wait, 60'000));
}

}  // namespace

EventLoop::EventLoop(int listenSocket, ServerContext& context, LoopSettings settings)
    : listenSocket_(listenSocket), context_(context), settings_(settings) {
  nextSweep_ = SteadyClock::now() + settings_.sweepInterval;
  if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

EventLoop::~EventLoop() {
  for (auto& connection : connections_) ::close(connection->fd);
  for (int fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void EventLoop::stop() {
  stopping_ = true;
  if (wakePipe_[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] const auto ignored = ::write(wakePipe_[1], &byte, 1);
  }
}

void EventLoop::run() {
  while (!stopping_) runOnce();
}

void EventLoop::runOnce() {
  auto now = SteadyClock::now();
  // Bodies that were waiting for budget take it as soon as it is free.
  for (auto& connection : connections_) {
    if (connection->reading() && connection->frame.step() == FrameReader::Step::Body &&
        !connection->frame.bodyAllocated()) {
      reserveBody(*connection);
    }
  }

  const bool accepting =
      connections_.size() < settings_.maxConnections && now >= acceptPausedUntil_;
  std::vector<pollfd> waits;
  waits.reserve(connections_.size() + 2);
  waits.push_back({wakePipe_[0], POLLIN, 0});
  waits.push_back({accepting ? listenSocket_ : -1, POLLIN, 0});
  SteadyClock::time_point wakeAt = nextSweep_;
  if (!accepting && connections_.size() < settings_.maxConnections) {
    wakeAt = std::min(wakeAt, acceptPausedUntil_);
  }
  for (auto& connection : connections_) {
    if (connection->reading()) {
      // A body that waits for budget is left out of the wait altogether: even a hang-up would
      // wake the loop again and again with nothing it could do.
      const bool waitingForBudget = connection->frame.space().empty();
      waits.push_back({waitingForBudget ? -1 : connection->fd, POLLIN, 0});
    } else {
      waits.push_back({connection->fd, POLLOUT, 0});
    }
    wakeAt = std::min(wakeAt, connection->deadline);
  }

  const int ready = ::poll(waits.data(), waits.size(), millisecondsUntil(wakeAt, now));
  now = SteadyClock::now();
  if (ready > 0) {
    if (waits[0].revents != 0) {
      char drain[64];
      while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
      }
    }
    // Connections accepted now are appended after the ones polled, so indexes stay valid.
    const std::size_t polled = connections_.size();
    for (std::size_t i = 0; i < polled; ++i) {
      Connection& connection = *connections_[i];
      const short revents = waits[i + 2].revents;
      if (revents == 0 || connection.closed) continue;
      if (connection.reading()) {
        readRequest(connection, now);
      } else {
        sendAnswer(connection);
      }
    }
    if (waits[1].revents != 0) acceptConnections(now);
  }
  checkDeadlines(now);
  std::erase_if(connections_, [](const auto& connection) { return connection->closed; });
  sweepIfDue(now);
}

void EventLoop::acceptConnections(SteadyClock::time_point now) {
  for (std::size_t accepted = 0; accepted < kAcceptBatch; ++accepted) {
    if (connections_.size() >= settings_.maxConnections) return;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      if (error == EINTR) continue;
      // A failed accept ends its request before its first read.
      std::fprintf(context_.console.err, "+error: recv() error - msg size\n");
      if (isOutOfResources(error)) {
        // The pending connection stays queued, so retrying at once would spin and flood the
        // console; give closing connections time to free what is missing.
        acceptPausedUntil_ = now + settings_.acceptPause;
        return;
      }
      continue;
    }
    const std::uint32_t address = peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
    std::size_t& fromAddress = perAddress_[address];
    if (fromAddress >= settings_.maxConnectionsPerAddress) {
      ::close(fd);
      ++refusedConnections_;
      continue;
    }
    ++fromAddress;
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->address = address;
    connection->deadline = now + settings_.recvTimeout;
    connections_.push_back(std::move(connection));
  }
}

bool EventLoop::reserveBody(Connection& connection) {
  const std::size_t length = connection.frame.bodyLength();
  if (length > settings_.freeBodyBytes) {
    if (budgetInUse_ + length > settings_.bodyBudgetBytes) return false;
    budgetInUse_ += length;
    connection.budget = length;
  }
  connection.frame.allocateBody();
  return true;
}

void EventLoop::readRequest(Connection& connection, SteadyClock::time_point now) {
  for (;;) {
    const auto space = connection.frame.space();
    if (space.empty()) return;  // a body waiting for budget
    const auto stepBefore = connection.frame.step();
    const ssize_t received = ::recv(connection.fd, space.data(), space.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (received <= 0) {
      // The peer closed its side, or the receive failed, before the step had all its bytes.
      std::fprintf(context_.console.err, "%s", connection.frame.failureLine());
      close(connection);
      return;
    }
    if (const char* rejection = connection.frame.received(static_cast<std::size_t>(received))) {
      std::fprintf(context_.console.err, "%s", rejection);
      close(connection);
      return;
    }
    const auto step = connection.frame.step();
    if (step == FrameReader::Step::Done) {
      dispatch(connection, now);
      return;
    }
    if (step != stepBefore) {
      connection.deadline = now + settings_.recvTimeout;
      if (step == FrameReader::Step::Body) reserveBody(connection);
    }
  }
}

void EventLoop::dispatch(Connection& connection, SteadyClock::time_point now) {
  const Dispatched dispatched =
      handleConnection(context_, listing_, connection.frame.header(), connection.frame.body());
  // The body is no longer needed; let its memory and budget go before anything else happens.
  connection.frame = FrameReader();
  budgetInUse_ -= connection.budget;
  connection.budget = 0;
  if (dispatched.answer != nullptr) {
    connection.answer = dispatched.answer;
    connection.deadline = now + settings_.sendTimeout;
    sendAnswer(connection);
  } else {
    close(connection);
  }
  if (dispatched.save) saveServerList(context_);
}

void EventLoop::sendAnswer(Connection& connection) {
  const Bytes& bytes = *connection.answer;
  while (connection.sent < bytes.size()) {
    const ssize_t sent = ::send(connection.fd, bytes.data() + connection.sent,
                                bytes.size() - connection.sent, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (sent < 0) {
      close(connection);  // the peer has gone; nothing to report
      return;
    }
    connection.sent += static_cast<std::size_t>(sent);
  }
  close(connection);
}

void EventLoop::close(Connection& connection) {
  if (connection.closed) return;
  ::close(connection.fd);
  connection.closed = true;
  budgetInUse_ -= connection.budget;
  connection.budget = 0;
  connection.answer.reset();
  auto count = perAddress_.find(connection.address);
  if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
}

void EventLoop::checkDeadlines(SteadyClock::time_point now) {
  for (auto& connection : connections_) {
    if (connection->closed || connection->deadline > now) continue;
    // A peer that is too slow to send its request is reported; one too slow to take its answer
    // is dropped silently.
    if (connection->reading()) {
      std::fprintf(context_.console.err, "%s", connection->frame.failureLine());
    }
    close(*connection);
  }
}

void EventLoop::sweepIfDue(SteadyClock::time_point now) {
  if (now < nextSweep_) return;
  nextSweep_ = now + settings_.sweepInterval;
  expireServers(context_);
  if (refusedConnections_ > 0) {
    std::fprintf(context_.console.err,
                 "+warning: refused %llu connections over the per-address limit\n",
                 static_cast<unsigned long long>(refusedConnections_));
    refusedConnections_ = 0;
  }
}

void serveForever(int listenSocket, ServerContext& context) {
  LoopSettings settings;
  // Keep descriptors for the server list file and the listener beyond the connections.
  constexpr std::uint64_t kSpareDescriptors = 16;
  const std::uint64_t limit = raiseDescriptorLimit();
  if (limit > kSpareDescriptors) {
    settings.maxConnections = static_cast<std::size_t>(
        std::min<std::uint64_t>(settings.maxConnections, limit - kSpareDescriptors));
  }
  EventLoop loop(listenSocket, context, settings);
  for (;;) loop.runOnce();
}

}  // namespace dirserver
