#include "net/event_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "net/dispatch.h"
#include "net/listener.h"
#include "registry/expiry.h"
#include "registry/server_list_file.h"

namespace dirserver {

struct EventLoop::Connection {
  int fd = -1;
  std::size_t slot = 0;       // its index in connections_
  std::uint32_t address = 0;  // counted against the per-address bound, never printed or kept
  Deadlines::iterator deadline;
  bool watched = false;  // registered with epoll
  FrameReader frame;
  std::size_t budget = 0;  // bytes of bodyBudgetBytes this connection holds
  Answer answer;           // once set, the connection is sending it
  std::size_t sent = 0;
  bool closed = false;

  bool reading() const { return answer == nullptr; }
};

namespace {

constexpr std::size_t kAcceptBatch = 64;
constexpr int kEventBatch = 256;

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
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) == 0) {
    watch(wakePipe_[0], wakePipe_, EPOLLIN, wakeWatched_);
  }
  updateListening(SteadyClock::now());
}

EventLoop::~EventLoop() {
  for (auto& connection : connections_) ::close(connection->fd);
  for (int fd : {wakePipe_[0], wakePipe_[1], epoll_}) {
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

// Adds, changes or removes (events 0) the interest in `fd`; `watched` tracks whether it is
// registered.
void EventLoop::watch(int fd, void* tag, std::uint32_t events, bool& watched) {
  if (events == 0) {
    if (watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched = false;
    return;
  }
  epoll_event event{};
  event.events = events;
  event.data.ptr = tag;
  if (::epoll_ctl(epoll_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) watched = true;
}

void EventLoop::runOnce() {
  auto now = SteadyClock::now();
  SteadyClock::time_point wakeAt = nextSweep_;
  if (!deadlines_.empty()) wakeAt = std::min(wakeAt, deadlines_.begin()->first);
  if (!listening_ && now < acceptPausedUntil_) wakeAt = std::min(wakeAt, acceptPausedUntil_);

  epoll_event events[kEventBatch];
  const int ready = ::epoll_wait(epoll_, events, kEventBatch, millisecondsUntil(wakeAt, now));
  now = SteadyClock::now();
  bool acceptReady = false;
  for (int i = 0; i < ready; ++i) {
    void* tag = events[i].data.ptr;
    if (tag == wakePipe_) {
      char drain[64];
      while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
      }
    } else if (tag == &listenSocket_) {
      acceptReady = true;
    } else {
      Connection& connection = *static_cast<Connection*>(tag);
      if (connection.closed) continue;
      if (connection.reading()) {
        readRequest(connection, now);
      } else {
        sendAnswer(connection);
      }
    }
  }
  if (acceptReady) acceptConnections(now);
  checkDeadlines(now);
  // One save covers every registration and shutdown of this pass; their acknowledgements have
  // been handed to the sockets already.
  if (savePending_) {
    savePending_ = false;
    saveServerList(context_);
  }
  sweepIfDue(now);

  for (Connection* connection : closed_) {
    const std::size_t slot = connection->slot;
    std::swap(connections_[slot], connections_.back());
    connections_[slot]->slot = slot;
    connections_.pop_back();
  }
  closed_.clear();
  updateListening(now);
}

void EventLoop::updateListening(SteadyClock::time_point now) {
  const bool wanted = connections_.size() < settings_.maxConnections && now >= acceptPausedUntil_;
  if (wanted != listening_)
    watch(listenSocket_, &listenSocket_, wanted ? std::uint32_t{EPOLLIN} : 0u, listening_);
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
    connection->slot = connections_.size();
    connection->deadline = deadlines_.emplace(now + settings_.recvTimeout, connection.get());
    watch(fd, connection.get(), EPOLLIN, connection->watched);
    connections_.push_back(std::move(connection));
  }
}

void EventLoop::setDeadline(Connection& connection, SteadyClock::time_point deadline) {
  deadlines_.erase(connection.deadline);
  connection.deadline = deadlines_.emplace(deadline, &connection);
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

// Large bodies take budget in the order their headers arrived, as soon as it is free.
void EventLoop::admitWaitingBodies() {
  while (!waitingForBudget_.empty() && reserveBody(*waitingForBudget_.front())) {
    Connection& connection = *waitingForBudget_.front();
    waitingForBudget_.pop_front();
    watch(connection.fd, &connection, EPOLLIN, connection.watched);
  }
}

void EventLoop::readRequest(Connection& connection, SteadyClock::time_point now) {
  for (;;) {
    const auto space = connection.frame.space();
    if (space.empty()) return;  // a body still waiting for budget
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
      setDeadline(connection, now + settings_.recvTimeout);
      if (step == FrameReader::Step::Body && !reserveBody(connection)) {
        // Not read from until budget is free: even a hang-up would otherwise wake the loop
        // again and again with nothing it could do. Its deadline keeps running.
        watch(connection.fd, &connection, 0, connection.watched);
        waitingForBudget_.push_back(&connection);
        return;
      }
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
  admitWaitingBodies();
  savePending_ = savePending_ || dispatched.save;
  if (dispatched.answer == nullptr) {
    close(connection);
    return;
  }
  connection.answer = dispatched.answer;
  sendAnswer(connection);
  // Most answers fit in the socket's buffer at once; only one that does not waits to be writable.
  if (connection.closed) return;
  setDeadline(connection, now + settings_.sendTimeout);
  watch(connection.fd, &connection, EPOLLOUT, connection.watched);
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
  watch(connection.fd, &connection, 0, connection.watched);
  ::close(connection.fd);
  connection.closed = true;
  deadlines_.erase(connection.deadline);
  connection.answer.reset();
  if (auto waiting = std::find(waitingForBudget_.begin(), waitingForBudget_.end(), &connection);
      waiting != waitingForBudget_.end()) {
    waitingForBudget_.erase(waiting);
  }
  if (connection.budget > 0) {
    budgetInUse_ -= connection.budget;
    connection.budget = 0;
    admitWaitingBodies();
  }
  auto count = perAddress_.find(connection.address);
  if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
  closed_.push_back(&connection);
}

void EventLoop::checkDeadlines(SteadyClock::time_point now) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    Connection& connection = *deadlines_.begin()->second;
    // A peer that is too slow to send its request is reported; one too slow to take its answer
    // is dropped silently.
    if (connection.reading()) {
      std::fprintf(context_.console.err, "%s", connection.frame.failureLine());
    }
    close(connection);
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
  // Keep descriptors for the server list file and the loop itself beyond the connections.
  constexpr std::uint64_t kSpareDescriptors = 16;
  const std::uint64_t limit = raiseDescriptorLimit();
  if (limit > kSpareDescriptors) {
    settings.maxConnections = static_cast<std::size_t>(
        std::min<std::uint64_t>(settings.maxConnections, limit - kSpareDescriptors));
  }
  EventLoop loop(listenSocket, context, settings);
  if (!loop.ready()) {
    // Like a failed listen: without a way to wait for connections there is nothing to serve.
    std::fprintf(context.console.err, "+error: epoll_create1() error\n");
    std::exit(1);
  }
  for (;;) loop.runOnce();
}

}  // namespace dirserver
