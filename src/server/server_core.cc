#include "server/server_core.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/dispatch.h"
#include "net/framing.h"
#include "registry/expiry.h"

namespace dirserver {

class ServerCore::Connection final : public EventHandler {
 public:
  Connection(ServerCore& core, int fd, std::uint32_t address)
      : fd(fd), address(address), deadline(core.reactor_, [this] { expire(); }), core_(core) {}

  void onEvents(std::uint32_t) override {
    if (closed) return;
    if (reading()) {
      core_.readRequest(*this);
    } else {
      core_.sendAnswer(*this);
    }
  }

  bool reading() const { return answer == nullptr; }

  const int fd;
  const std::uint32_t address;  // counted against the per-address bound, never printed or kept
  std::size_t slot = 0;         // its index in connections_
  Timer deadline;
  bool watched = false;  // registered with the reactor
  FrameReader frame;
  std::size_t budget = 0;  // bytes of the memory budget its body holds
  Answer answer;           // once set, the connection is sending it
  std::size_t sent = 0;
  bool stalled = false;  // its answer once filled the send buffer
  SteadyClock::time_point lastProgress;  // accepted, or last moved a byte either way
  bool closed = false;

 private:
  // A peer that is too slow to send its request is reported; one too slow to take its answer is
  // dropped silently, with what it did not take.
  void expire() {
    if (reading()) {
      core_.reportError(stepError(), frame.failureLine());
    } else {
      discardUnsent();
    }
    core_.close(*this);
  }

  // Makes the coming close reset the connection: the kernel then drops what is still queued for
  // the peer at once, instead of keeping it for minutes for a peer that does not read.
  void discardUnsent() const {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }

  ConsoleError stepError() const {
    switch (frame.step()) {
      case FrameReader::Step::Id:
        return ConsoleError::RecvId;
      case FrameReader::Step::Type:
        return ConsoleError::RecvType;
      case FrameReader::Step::Body:
        return ConsoleError::RecvBody;
      default:
        return ConsoleError::RecvSize;
    }
  }

  friend class ServerCore;
  ServerCore& core_;
};

class ServerCore::Listener final : public EventHandler {
 public:
  Listener(ServerCore& core, int fd) : fd(fd), core_(core) {}
  void onEvents(std::uint32_t) override { core_.acceptConnections(); }

  const int fd;
  bool watched = false;
  bool paused = false;  // after a failed accept, until the pause timer fires

 private:
  ServerCore& core_;
};

namespace {

constexpr std::size_t kAcceptBatch = 64;
constexpr auto kHeartbeat = std::chrono::seconds(1);
constexpr auto kPublishDelay = std::chrono::milliseconds(100);

bool isOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::int64_t millisecondsOf(SteadyClock::time_point when) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

}  // namespace

ServerCore::ServerCore(Reactor& reactor, ServerContext& context, Saver& saver,
                       CoreSettings settings)
    : reactor_(reactor),
      context_(context),
      saver_(saver),
      settings_(settings),
      sweepTimer_(reactor, [this] { sweep(); }),
      acceptPauseTimer_(reactor,
                        [this] {
                          if (listener_) listener_->paused = false;
                          updateListening();
                        }),
      commitRetryTimer_(reactor, [this] { saver_.retry(); }),
      snapshotRetryTimer_(reactor, [this] { startSnapshotIfDue(); }),
      publishTimer_(reactor, [this] { publish(); }),
      heartbeatTimer_(reactor, [this] { heartbeat(); }) {
  sweepTimer_.setAt(reactor_.now() + settings_.sweepInterval);
  // What loading filled in is in the files already.
  context_.registry.takeChanges();
  heartbeat();
  status_.stats.startedAt = context_.wallClock();
  publish();
}

// Readers on other threads (a health check) tell from this that the loop is turning.
void ServerCore::heartbeat() {
  const auto now = reactor_.now();
  status_.stats.loopAliveAtMs = millisecondsOf(now);
  if (!stopping_) heartbeatTimer_.setAt(now + kHeartbeat);
}

ServerCore::~ServerCore() {
  for (auto& connection : connections_) {
    if (!connection->closed) ::close(connection->fd);
  }
  if (listener_) reactor_.watch(listener_->fd, listener_.get(), 0, listener_->watched);
}

void ServerCore::listen(int listenSocket) {
  // Accepted connections inherit the listener's send buffer size.
  ::setsockopt(listenSocket, SOL_SOCKET, SO_SNDBUF, &settings_.sendBufferBytes,
               sizeof settings_.sendBufferBytes);
  listener_ = std::make_unique<Listener>(*this, listenSocket);
  updateListening();
}

std::size_t ServerCore::connectionsFrom(std::uint32_t address) const {
  const auto count = perAddress_.find(address);
  return count == perAddress_.end() ? 0 : count->second;
}

void ServerCore::reportError(ConsoleError error, const char* line) {
  status_.stats.count(error);
  std::fprintf(context_.console.err, "%s", line);
}

// ---------------------------------------------------------------------------------------------
// Connections

void ServerCore::updateListening() {
  if (!listener_) return;
  // Even with every slot taken, newcomers are accepted: they may take the place of a connection
  // that makes no progress (makeRoomFor).
  const bool wanted = !stopping_ && !listener_->paused;
  if (wanted != listener_->watched) {
    reactor_.watch(listener_->fd, listener_.get(), wanted ? std::uint32_t{EPOLLIN} : 0u,
                   listener_->watched);
  }
}

void ServerCore::acceptConnections() {
  for (std::size_t accepted = 0; accepted < kAcceptBatch; ++accepted) {
    if (stopping_) break;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_->fd, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      if (error == EINTR) continue;
      // A failed accept ends its request before its first read.
      reportError(ConsoleError::RecvSize, "+error: recv() error - msg size\n");
      if (isOutOfResources(error)) {
        // The pending connection stays queued, so retrying at once would spin and flood the
        // console; give closing connections time to free what is missing.
        listener_->paused = true;
        acceptPauseTimer_.setAt(reactor_.now() + settings_.acceptPause);
        break;
      }
      continue;
    }
    const std::uint32_t address = peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
    if (refused_ && refused_(address)) {
      ::close(fd);
      ++status_.stats.connectionsBanned;
      continue;
    }
    if (connectionCount() >= settings_.maxConnections && !makeRoomFor(address)) {
      ::close(fd);
      ++refusedWhileFull_;
      ++status_.stats.connectionsRefused;
      continue;
    }
    adopt(fd, address);
  }
  updateListening();
}

// Every slot is taken: an address that holds the most gives up its connection that has made the
// least progress (of all such addresses' connections when several hold as many), unless the
// newcomer's own address holds as many itself.
bool ServerCore::makeRoomFor(std::uint32_t address) {
  std::size_t most = 0;
  for (const auto& [holder, count] : perAddress_) most = std::max(most, count);
  if (connectionsFrom(address) >= most) return false;
  Connection* victim = nullptr;
  for (const auto& connection : connections_) {
    if (connection->closed || connectionsFrom(connection->address) != most) continue;
    if (victim == nullptr || connection->lastProgress < victim->lastProgress) {
      victim = connection.get();
    }
  }
  if (victim == nullptr) return false;
  shed(*victim);
  return true;
}

void ServerCore::shed(Connection& connection) {
  ++shedConnections_;
  ++status_.stats.connectionsShed;
  connection.discardUnsent();
  close(connection);
}

void ServerCore::adopt(int fd, std::uint32_t address) {
  std::size_t& fromAddress = perAddress_[address];
  if (fromAddress >= settings_.maxConnectionsPerAddress) {
    ::close(fd);
    ++refusedConnections_;
    ++status_.stats.connectionsRefused;
    return;
  }
  ++fromAddress;
  auto owned = std::make_unique<Connection>(*this, fd, address);
  Connection& connection = *owned;
  connection.lastProgress = reactor_.now();
  connection.slot = connections_.size();
  connections_.push_back(std::move(owned));
  ++status_.stats.connectionsAccepted;
  status_.stats.connectionsOpen = connectionCount();
  connection.deadline.setAt(reactor_.now() + settings_.recvTimeout);
  readRequest(connection);
}

bool ServerCore::reserveBody(Connection& connection) {
  const std::size_t length = connection.frame.bodyLength();
  if (length > settings_.freeBodyBytes) {
    if (bodyBytes_ + answerBytes_ + length > settings_.memoryBudgetBytes) return false;
    bodyBytes_ += length;
    connection.budget = length;
    status_.stats.bodyBudgetInUse = bodyBytes_;
  }
  connection.frame.allocateBody();
  return true;
}

// Large bodies take budget in the order their headers arrived, as soon as it is free.
void ServerCore::admitWaitingBodies() {
  while (!waitingForBudget_.empty() && reserveBody(*waitingForBudget_.front())) {
    Connection& connection = *waitingForBudget_.front();
    waitingForBudget_.pop_front();
    reactor_.watch(connection.fd, &connection, EPOLLIN, connection.watched);
  }
}

void ServerCore::readRequest(Connection& connection) {
  for (;;) {
    const auto space = connection.frame.space();
    if (space.empty()) return;  // a body still waiting for budget
    const auto stepBefore = connection.frame.step();
    const ssize_t received = ::recv(connection.fd, space.data(), space.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!connection.watched) reactor_.watch(connection.fd, &connection, EPOLLIN, connection.watched);
      return;
    }
    if (received <= 0) {
      // The peer closed its side, or the receive failed, before the step had all its bytes.
      connection.expire();
      return;
    }
    connection.lastProgress = reactor_.now();
    if (const char* rejection = connection.frame.received(static_cast<std::size_t>(received))) {
      reportError(connection.frame.header().size < kHeaderSize ||
                          connection.frame.header().size > kMaxMessageSize
                      ? ConsoleError::InvalidSize
                      : ConsoleError::InvalidId,
                  rejection);
      close(connection);
      return;
    }
    const auto step = connection.frame.step();
    if (step == FrameReader::Step::Done) {
      dispatch(connection);
      return;
    }
    if (step != stepBefore) {
      connection.deadline.setAt(reactor_.now() + settings_.recvTimeout);
      if (step == FrameReader::Step::Body && !reserveBody(connection)) {
        // Not read from until budget is free: even a hang-up would otherwise wake the loop
        // again and again with nothing it could do. Its deadline keeps running.
        reactor_.watch(connection.fd, &connection, 0, connection.watched);
        waitingForBudget_.push_back(&connection);
        return;
      }
    }
  }
}

void ServerCore::dispatch(Connection& connection) {
  const auto begun = reactor_.now();
  const Bytes* listingBefore = listing_.current().get();
  const Dispatched dispatched =
      handleConnection(context_, listing_, connection.frame.header(), connection.frame.body(),
                       connection.address);
  status_.stats.count(dispatched.kind, dispatched.outcome);
  if (dispatched.error) status_.stats.count(*dispatched.error);
  if (listing_.current().get() != listingBefore) listingReplaced(listingBefore);
  takeChanges();
  // The body is no longer needed; let its memory and budget go before anything else happens.
  connection.frame = FrameReader();
  bodyBytes_ -= connection.budget;
  connection.budget = 0;
  status_.stats.bodyBudgetInUse = bodyBytes_;
  admitWaitingBodies();
  if (dispatched.kind == RequestKind::List) status_.stats.listingBytes = dispatched.answer->size();
  // Handling ends once the answer is handed to the kernel; what a slow reader takes longer is
  // its own time.
  LatencyHistogram& times = status_.stats.requestSeconds[static_cast<std::size_t>(dispatched.kind)];
  const auto handled = [&] { times.observe(reactor_.now() - begun); };
  if (dispatched.answer == nullptr) {
    close(connection);
    handled();
    return;
  }
  pin(connection, dispatched.answer);
  sendAnswer(connection);
  handled();
  // Most answers fit in the socket's buffer at once; only one that does not waits to be writable.
  if (connection.closed) return;
  connection.deadline.setAt(reactor_.now() + settings_.sendTimeout);
  reactor_.watch(connection.fd, &connection, EPOLLOUT, connection.watched);
  keepWithinBudgets();
}

void ServerCore::sendAnswer(Connection& connection) {
  const Bytes& bytes = *connection.answer;
  while (connection.sent < bytes.size()) {
    const ssize_t sent = ::send(connection.fd, bytes.data() + connection.sent,
                                bytes.size() - connection.sent, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!connection.stalled) {
        connection.stalled = true;
        ++stalledCount_;
      }
      return;
    }
    if (sent < 0) {
      close(connection);  // the peer has gone; nothing to report
      return;
    }
    connection.sent += static_cast<std::size_t>(sent);
    connection.lastProgress = reactor_.now();
  }
  close(connection);
}

// Answers are shared: a buffer counts once, however many connections send it, and the current
// listing not at all, since the cache keeps it for the next client anyway. What counts is what
// non-reading peers keep alive beyond that: listings that are no longer current.
void ServerCore::pin(Connection& connection, Answer answer) {
  connection.answer = std::move(answer);
  Pin& pin = pinned_[connection.answer.get()];
  if (pin.connections++ == 0) {
    pin.size = connection.answer->size();
    if (connection.answer != listing_.current()) answerBytes_ += pin.size;
  }
  status_.stats.answerBudgetInUse = answerBytes_;
}

void ServerCore::unpin(Connection& connection) {
  if (connection.answer == nullptr) return;
  const auto pinned = pinned_.find(connection.answer.get());
  if (--pinned->second.connections == 0) {
    if (connection.answer != listing_.current()) answerBytes_ -= pinned->second.size;
    pinned_.erase(pinned);
    status_.stats.answerBudgetInUse = answerBytes_;
  }
  connection.answer.reset();
  if (connection.stalled) --stalledCount_;
}

// A new listing was built: the one before it, if still being sent, now counts.
void ServerCore::listingReplaced(const Bytes* previous) {
  if (const auto pinned = pinned_.find(previous); pinned != pinned_.end()) {
    answerBytes_ += pinned->second.size;
    status_.stats.answerBudgetInUse = answerBytes_;
  }
}

// The connection sending an answer that has gone longest without progress, among those `eligible`.
ServerCore::Connection* ServerCore::leastProgress(
    bool (*eligible)(const Connection&, const ServerCore&)) const {
  Connection* found = nullptr;
  for (const auto& connection : connections_) {
    if (connection->closed || connection->reading() || !eligible(*connection, *this)) continue;
    if (found == nullptr || connection->lastProgress < found->lastProgress) {
      found = connection.get();
    }
  }
  return found;
}

// Peers that do not read cost the server the answers they pin and the kernel the send buffers
// they fill; past either bound, those that stalled longest go. Only a reader of an answer that is
// no longer current frees memory by going: the current listing is kept for the next client anyway.
void ServerCore::keepWithinBudgets() {
  while (bodyBytes_ + answerBytes_ > settings_.memoryBudgetBytes) {
    Connection* victim = leastProgress([](const Connection& connection, const ServerCore& core) {
      return connection.answer != core.listing_.current();
    });
    if (victim == nullptr) break;
    shed(*victim);
  }
  // The kernel doubles the size it is given, for its own bookkeeping.
  const auto perStalled = 2 * static_cast<std::size_t>(settings_.sendBufferBytes);
  while (stalledCount_ * perStalled > settings_.stalledSendBytes) {
    Connection* victim = leastProgress(
        [](const Connection& connection, const ServerCore&) { return connection.stalled; });
    if (victim == nullptr) break;
    shed(*victim);
  }
}

void ServerCore::close(Connection& connection) {
  if (connection.closed) return;
  reactor_.watch(connection.fd, &connection, 0, connection.watched);
  ::close(connection.fd);
  connection.closed = true;
  ++closedCount_;
  connection.deadline.cancel();
  unpin(connection);
  if (auto waiting = std::find(waitingForBudget_.begin(), waitingForBudget_.end(), &connection);
      waiting != waitingForBudget_.end()) {
    waitingForBudget_.erase(waiting);
  }
  if (connection.budget > 0) {
    bodyBytes_ -= connection.budget;
    connection.budget = 0;
    status_.stats.bodyBudgetInUse = bodyBytes_;
  }
  admitWaitingBodies();
  auto count = perAddress_.find(connection.address);
  if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
  status_.stats.connectionsOpen = connectionCount();
  // Events of this pass may still name the connection: it is released when the pass ends.
  if (!releaseDeferred_) {
    releaseDeferred_ = true;
    reactor_.defer([this] { release(); });
  }
}

void ServerCore::release() {
  releaseDeferred_ = false;
  for (std::size_t slot = 0; slot < connections_.size();) {
    if (!connections_[slot]->closed) {
      ++slot;
      continue;
    }
    std::swap(connections_[slot], connections_.back());
    connections_[slot]->slot = slot;
    connections_.pop_back();
  }
  closedCount_ = 0;
  updateListening();
}

// ---------------------------------------------------------------------------------------------
// The sweep, saves and the stop

void ServerCore::sweep() {
  const auto now = reactor_.now();
  sweepTimer_.setAt(now + settings_.sweepInterval);
  const std::uint32_t before = context_.registry.totalCount();
  expireServers(context_);
  // The hosts it drops are logged like shutdowns, so that a restart does not bring them back.
  takeChanges();
  const std::uint32_t removed = before - context_.registry.totalCount();
  if (removed > 0) {
    status_.stats.sweepRemovals += removed;
    publish();
  }
  printRefreshSummary();
  if (refusedConnections_ > 0) {
    std::fprintf(context_.console.err,
                 "+warning: refused %llu connections over the per-address limit\n",
                 static_cast<unsigned long long>(refusedConnections_));
    refusedConnections_ = 0;
  }
  if (refusedWhileFull_ > 0) {
    std::fprintf(context_.console.err,
                 "+warning: refused %llu connections while every slot was taken, most of them "
                 "by their own address\n",
                 static_cast<unsigned long long>(refusedWhileFull_));
    refusedWhileFull_ = 0;
  }
  if (shedConnections_ > 0) {
    std::fprintf(context_.console.err,
                 "+warning: dropped %llu connections that made no progress, to make room\n",
                 static_cast<unsigned long long>(shedConnections_));
    shedConnections_ = 0;
  }
}

void ServerCore::restored(std::uint64_t logBytes, bool snapshotOwed) {
  logBytes_ = logBytes;
  status_.stats.logBytes = logBytes;
  snapshotOwed_ = snapshotOwed;
  startSnapshotIfDue();
}

// The refreshes that printed nothing, at most once a sweep interval (and at the stop).
void ServerCore::printRefreshSummary() {
  if (context_.unprintedRefreshes == 0) return;
  std::fprintf(
      context_.console.out, "> servers refreshed in the last minute: %llu, number of servers: %u\n",
      static_cast<unsigned long long>(context_.unprintedRefreshes), context_.registry.totalCount());
  context_.unprintedRefreshes = 0;
}

// Every change of a pass goes to the saver in one batch, once the pass has sent its answers.
void ServerCore::takeChanges() {
  std::vector<HostChange> changes = context_.registry.takeChanges();
  if (changes.empty()) return;
  const auto now = reactor_.now();
  batchAcks_.emplace_back(now, static_cast<std::uint32_t>(changes.size()));
  status_.stats.changesPending += changes.size();
  status_.stats.savePending = true;
  if (batch_.empty()) {
    batch_ = std::move(changes);
  } else {
    batch_.insert(batch_.end(), std::make_move_iterator(changes.begin()),
                  std::make_move_iterator(changes.end()));
  }
  // Readers of the snapshot see a change within kPublishDelay; a snapshot per change would cost
  // the loop a pointer copy per host at every registration.
  if (!publishTimer_.armed()) publishTimer_.setAt(now + kPublishDelay);
  if (handOverDeferred_) return;
  handOverDeferred_ = true;
  reactor_.defer([this] {
    handOverDeferred_ = false;
    handOver();
  });
}

void ServerCore::handOver() {
  if (batch_.empty()) return;
  unconfirmed_.push_back({++lastBatch_, std::move(batchAcks_)});
  batchAcks_.clear();
  saver_.append(lastBatch_, std::move(batch_));
  batch_.clear();
}

void ServerCore::commitFinished(const CommitReport& report) {
  ServerStats& stats = status_.stats;
  logBytes_ = report.logBytes;
  stats.logBytes = report.logBytes;
  stats.bytesWritten += report.bytesWritten;
  const auto now = reactor_.now();
  if (!report.ok) {
    ++stats.commitsFailed;
    stats.lastCommitFailed = true;
    // One line when the trouble begins; the metrics count every attempt.
    if (commitFailures_++ == 0) {
      stats.count(ConsoleError::CommitFailed);
      std::fprintf(context_.console.err,
                   "- could not save server list changes (%s): they wait in memory and are tried "
                   "again\n",
                   report.error.c_str());
    }
    commitRetryTimer_.setAt(now + settings_.saves.retryDelay(commitFailures_));
    return;
  }
  ++stats.commitsDone;
  stats.commitTime.observe(report.took);
  stats.lastCommitFailed = false;
  if (commitFailures_ > 0) {
    std::fprintf(context_.console.err, "- server list changes saved again after %u failed attempts\n",
                 commitFailures_);
    commitFailures_ = 0;
    commitRetryTimer_.cancel();
  }
  // The saver's clock is the loop's in the server; a report that carries none counts as now.
  const auto durable = report.durableAt == SteadyClock::time_point() ? now : report.durableAt;
  while (!unconfirmed_.empty() && unconfirmed_.front().batch <= report.batch) {
    for (const auto& [acknowledged, count] : unconfirmed_.front().acks) {
      for (std::uint32_t i = 0; i < count; ++i) stats.ackToDurable.observe(durable - acknowledged);
      stats.changesPending -= count;
    }
    unconfirmed_.pop_front();
  }
  stats.savePending = !unconfirmed_.empty() || !batch_.empty();
  startSnapshotIfDue();
}

void ServerCore::startSnapshotIfDue() {
  if (snapshotInFlight_) return;
  const bool asked = !snapshotsAsked_.empty();
  const bool due = stopping_ || snapshotOwed_ || asked ||
                   settings_.saves.snapshotDue(logBytes_, context_.registry.totalCount());
  // After a failure, the next try waits for its timer; the stop's and the operator's do not.
  if (!due || (snapshotRetryTimer_.armed() && !stopping_ && !asked)) return;
  // The snapshot holds every change handed over, so those of this pass go first.
  handOver();
  snapshotInFlight_ = true;
  snapshotOwed_ = false;
  finalSnapshot_ = stopping_;
  publish();
  snapshotsSaving_ = std::exchange(snapshotsAsked_, {});
  hostsSaving_ = published_->totalCount();
  saver_.snapshot(published_, finalSnapshot_);
}

void ServerCore::snapshotNow(SnapshotDone done) {
  snapshotsAsked_.push_back(std::move(done));
  startSnapshotIfDue();
}

std::uint32_t ServerCore::removeHosts(
    const std::function<bool(ServerType, const HostEntry&)>& which) {
  ServerRegistry& registry = context_.registry;
  std::uint32_t removed = 0;
  for (const ServerType type : kServerTypes) {
    for (auto at = registry.begin(type); at != registry.end(type);) {
      if (which(type, *at)) {
        at = registry.erase(type, at);
        ++removed;
      } else {
        ++at;
      }
    }
  }
  // Logged like shutdowns, so that a restart does not bring them back.
  takeChanges();
  return removed;
}

std::uint32_t ServerCore::enforceRefusal() {
  if (!refused_) return 0;
  for (auto& connection : connections_) {
    if (connection->closed || !refused_(connection->address)) continue;
    connection->discardUnsent();
    close(*connection);
  }
  return removeHosts([this](ServerType, const HostEntry& host) {
    return host.from != kUnknownAddress && refused_(host.from);
  });
}

void ServerCore::publish() {
  if (published_ == nullptr || published_->version != context_.registry.version()) {
    auto snapshot = std::make_shared<RegistrySnapshot>(context_.registry.snapshot());
    snapshot->takenAt = context_.wallClock();
    published_ = std::move(snapshot);
  }
  status_.snapshots.publish(published_);
}

void ServerCore::snapshotFinished(const SnapshotReport& report) {
  const auto now = reactor_.now();
  const bool saved = report.outcome != SaveOutcome::Failed;
  snapshotInFlight_ = false;
  ServerStats& stats = status_.stats;
  ++(saved ? stats.savesDone : stats.savesFailed);
  stats.lastSaveMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(report.took).count();
  stats.snapshotTime.observe(report.took);
  stats.lastSaveFinishedAt = context_.wallClock();
  stats.lastSaveFailed = !saved;
  stats.bytesWritten += report.bytesWritten;
  logBytes_ = report.logBytes;
  stats.logBytes = report.logBytes;
  if (!saved) stats.count(ConsoleError::SaveFailed);
  reportSave(report.outcome, context_.console);
  for (auto& done : std::exchange(snapshotsSaving_, {})) done(report.outcome, hostsSaving_);
  if (stopping_) {
    if (!finalSnapshot_) {
      // The one in flight at the stop did not hold what came after it.
      startSnapshotIfDue();
      return;
    }
    stoppedClean_ = saved;
    reactor_.stop();
    return;
  }
  if (saved) {
    snapshotFailures_ = 0;
  } else {
    snapshotOwed_ = true;
    snapshotRetryTimer_.setAt(now + settings_.saves.retryDelay(++snapshotFailures_));
  }
  startSnapshotIfDue();
}
void ServerCore::stop() {
  if (stopping_) return;
  stopping_ = true;
  updateListening();
  for (auto& connection : connections_) close(*connection);
  sweepTimer_.cancel();
  heartbeatTimer_.cancel();
  printRefreshSummary();
  snapshotRetryTimer_.cancel();
  if (snapshotInFlight_) return;  // snapshotFinished goes on from here
  // With no log and no change, the list in place holds everything already.
  if (logBytes_ == 0 && batch_.empty() && unconfirmed_.empty() && !snapshotOwed_) {
    reactor_.stop();
    return;
  }
  startSnapshotIfDue();
}

}  // namespace dirserver
