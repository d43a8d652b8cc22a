#include "server/server_core.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <utility>

#include "common/console_queue.h"
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

  bool reading() const { return !answering; }

  const int fd;
  const std::uint32_t address;  // counted against the per-address bound, never printed or kept
  std::size_t slot = 0;         // its index in connections_
  Timer deadline;
  FrameReader frame;
  std::size_t budget = 0;  // bytes of the memory budget its body holds
  bool answering = false;  // its request is handled; it sends `parts`
  std::span<const ByteView> parts;
  PublishedPtr listing;  // the version of the listing it sends, if it sends one
  bool pinned = false;   // its listing counts against the memory budget
  std::size_t part = 0;  // where it is in `parts`
  std::size_t offset = 0;
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
  bool paused = false;  // after a failed accept, until the pause timer fires

 private:
  ServerCore& core_;
};

namespace {

constexpr std::size_t kAcceptBatch = 64;
constexpr auto kHeartbeat = std::chrono::seconds(1);
// One send hands the kernel at most this many buffers (the system's limit) and stops gathering
// once it has about as much as a send buffer could ever take.
constexpr std::size_t kMostBuffersPerSend = IOV_MAX;
constexpr std::size_t kGatherBytes = 1024 * 1024;

// The acknowledgement as the parts of an answer.
const ByteView kAckParts[] = {ByteView(kAckMessage)};

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
      pieces_(context.registry),
      sweepTimer_(reactor, [this] { sweep(); }),
      warningTimer_(reactor, [this] { reportRefusals(); }),
      acceptPauseTimer_(reactor,
                        [this] {
                          if (listener_) listener_->paused = false;
                          updateListening();
                        }),
      commitRetryTimer_(reactor, [this] { saver_.retry(); }),
      snapshotRetryTimer_(reactor, [this] { startSnapshotIfDue(); }),
      heartbeatTimer_(reactor, [this] { heartbeat(); }) {
  sweepTimer_.setAt(reactor_.now() + settings_.sweepInterval);
  warningTimer_.setAt(reactor_.now() + settings_.warningInterval);
  // What loading filled in is in the files already, and in the pieces just made from the registry.
  context_.registry.takeChanges();
  heartbeat();
  status_.stats.startedAt = context_.wallClock();
  publishIfBehind();
}

// Readers on other threads (a health check) tell from this that the loop is turning.
void ServerCore::heartbeat() {
  const auto now = reactor_.now();
  status_.stats.loopAliveAtMs = millisecondsOf(now);
  if (context_.console.queue != nullptr) {
    status_.stats.consoleLinesDropped = context_.console.queue->droppedLines();
  }
  if (!stopping_) heartbeatTimer_.setAt(now + kHeartbeat);
}

ServerCore::~ServerCore() {
  for (auto& connection : connections_) {
    if (connection->closed) continue;
    reactor_.watch(connection->fd, connection.get(), 0);
    ::close(connection->fd);
  }
  if (listener_) reactor_.watch(listener_->fd, listener_.get(), 0);
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
  reactor_.watch(listener_->fd, listener_.get(), wanted ? std::uint32_t{EPOLLIN} : 0u);
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

// Waiting bodies are admitted once the pass has done its closing: budget that a closed connection
// gives back goes only to connections that are still open then.
void ServerCore::admitWaitingBodiesAtPassEnd() {
  if (admissionDeferred_ || waitingForBudget_.empty()) return;
  admissionDeferred_ = true;
  reactor_.defer([this] {
    admissionDeferred_ = false;
    admitWaitingBodies();
  });
}

// Large bodies take budget in the order their headers arrived, as soon as it is free.
void ServerCore::admitWaitingBodies() {
  while (!waitingForBudget_.empty() && reserveBody(*waitingForBudget_.front())) {
    Connection& connection = *waitingForBudget_.front();
    waitingForBudget_.pop_front();
    reactor_.watch(connection.fd, &connection, EPOLLIN);
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
      reactor_.watch(connection.fd, &connection, EPOLLIN);
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
        reactor_.watch(connection.fd, &connection, 0);
        waitingForBudget_.push_back(&connection);
        return;
      }
    }
  }
}

void ServerCore::dispatch(Connection& connection) {
  const auto begun = reactor_.now();
  Dispatched dispatched;
  {
    // A request's lines reach the console together, or are dropped together.
    ConsoleGroup lines(context_.console);
    dispatched = dispatchRequest(context_, connection.frame.header(), connection.frame.body(),
                                 connection.address);
  }
  status_.stats.count(dispatched.kind, dispatched.outcome);
  if (dispatched.error) status_.stats.count(*dispatched.error);
  followChanges();
  // The body is no longer needed; let its memory and budget go before anything else happens.
  connection.frame = FrameReader();
  bodyBytes_ -= connection.budget;
  connection.budget = 0;
  status_.stats.bodyBudgetInUse = bodyBytes_;
  admitWaitingBodiesAtPassEnd();
  // Handling ends once the answer is handed to the kernel; what a slow reader takes longer is
  // its own time.
  LatencyHistogram& times = status_.stats.requestSeconds[static_cast<std::size_t>(dispatched.kind)];
  const auto handled = [&] { times.observe(reactor_.now() - begun); };
  switch (dispatched.reply) {
    case Reply::None:
      close(connection);
      handled();
      return;
    case Reply::Ack:
      connection.parts = kAckParts;
      break;
    case Reply::Listing:
      // Whatever changed before this request, in this pass or earlier, is in what it gets.
      publishIfBehind();
      connection.listing = published_;
      connection.parts = published_->replyParts;
      break;
  }
  connection.answering = true;
  sendAnswer(connection);
  handled();
  // Most answers fit in the socket's buffer at once; only one that does not waits to be writable,
  // and holds what it has yet to send.
  if (connection.closed) return;
  if (connection.listing != nullptr) pin(connection);
  connection.deadline.setAt(reactor_.now() + settings_.sendTimeout);
  reactor_.watch(connection.fd, &connection, EPOLLOUT);
  shedOverBudgets();
}

// Sends what the socket takes of the answer's parts, several at a time, from where the last send
// stopped; closes the connection when all is sent or the peer has gone.
void ServerCore::sendAnswer(Connection& connection) {
  const std::span<const ByteView> parts = connection.parts;
  while (connection.part < parts.size()) {
    iovec buffers[kMostBuffersPerSend];
    std::size_t count = 0;
    std::size_t gathered = 0;
    for (std::size_t at = connection.part, skip = connection.offset;
         at < parts.size() && count < kMostBuffersPerSend && gathered < kGatherBytes;
         ++at, skip = 0) {
      const ByteView rest = parts[at].subspan(skip);
      if (rest.empty()) continue;
      buffers[count++] = {const_cast<std::uint8_t*>(rest.data()), rest.size()};
      gathered += rest.size();
    }
    if (count == 0) break;  // only empty parts were left
    msghdr message{};
    message.msg_iov = buffers;
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(connection.fd, &message, MSG_NOSIGNAL);
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
    // Moves past what was sent, and past parts that are done.
    for (auto left = static_cast<std::size_t>(sent); left > 0;) {
      const std::size_t rest = parts[connection.part].size() - connection.offset;
      const std::size_t taken = std::min(left, rest);
      connection.offset += taken;
      left -= taken;
      if (connection.offset == parts[connection.part].size()) {
        ++connection.part;
        connection.offset = 0;
      }
    }
    connection.lastProgress = reactor_.now();
  }
  close(connection);
}

// A listing that a connection could not send at once counts by its pieces: a piece counts once
// while any unfinished connection sends a version that holds it, however many versions do, and so
// does each version's own bookkeeping.
void ServerCore::pin(Connection& connection) {
  const PublishedSnapshot* listing = connection.listing.get();
  connection.pinned = true;
  if (pinnedVersions_[listing]++ > 0) return;
  answerBytes_ += bookkeepingBytes(*listing);
  for (const auto& pieces : listing->listing) {
    for (const ListingPiece& piece : pieces) {
      if (pinnedPieces_[piece.get()]++ == 0) answerBytes_ += piece->size();
    }
  }
  status_.stats.answerBudgetInUse = answerBytes_;
}

void ServerCore::releaseAnswer(Connection& connection) {
  if (connection.stalled) --stalledCount_;
  connection.stalled = false;
  connection.parts = {};
  const PublishedPtr listing = std::move(connection.listing);
  connection.listing.reset();
  if (!std::exchange(connection.pinned, false)) return;
  const auto pinned = pinnedVersions_.find(listing.get());
  if (--pinned->second > 0) return;
  pinnedVersions_.erase(pinned);
  answerBytes_ -= bookkeepingBytes(*listing);
  for (const auto& pieces : listing->listing) {
    for (const ListingPiece& piece : pieces) {
      const auto held = pinnedPieces_.find(piece.get());
      if (--held->second == 0) {
        answerBytes_ -= piece->size();
        pinnedPieces_.erase(held);
      }
    }
  }
  status_.stats.answerBudgetInUse = answerBytes_;
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
// they fill; past either bound, those that stalled longest go. Only a reader of a listing that is
// no longer current can free memory by going: the current one is kept for the next client anyway.
void ServerCore::shedOverBudgets() {
  while (bodyBytes_ + answerBytes_ > settings_.memoryBudgetBytes) {
    Connection* victim = leastProgress([](const Connection& connection, const ServerCore& core) {
      return connection.listing != nullptr && connection.listing != core.published_;
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
  reactor_.watch(connection.fd, &connection, 0);
  ::close(connection.fd);
  connection.closed = true;
  ++closedCount_;
  connection.deadline.cancel();
  releaseAnswer(connection);
  if (auto waiting = std::find(waitingForBudget_.begin(), waitingForBudget_.end(), &connection);
      waiting != waitingForBudget_.end()) {
    waitingForBudget_.erase(waiting);
  }
  // Its body's memory goes now, with its budget, not when the connection is released.
  connection.frame = FrameReader();
  if (connection.budget > 0) {
    bodyBytes_ -= connection.budget;
    connection.budget = 0;
    status_.stats.bodyBudgetInUse = bodyBytes_;
    admitWaitingBodiesAtPassEnd();
  }
  auto count = perAddress_.find(connection.address);
  if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
  status_.stats.connectionsOpen = connectionCount();
  // Events of this pass may still name the connection: it is released when the pass ends.
  if (!releaseDeferred_) {
    releaseDeferred_ = true;
    reactor_.defer([this] { releaseClosed(); });
  }
}

void ServerCore::releaseClosed() {
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
  // The hosts it drops are logged like shutdowns, so that a restart does not bring them back, and
  // readers of the snapshot see them go at once.
  followChanges();
  status_.stats.sweepRemovals += before - context_.registry.totalCount();
  printRefreshSummary();
}

// The refreshes that printed nothing, at most once a sweep interval (and at the stop).
void ServerCore::printRefreshSummary() {
  if (context_.unprintedRefreshes == 0) return;
  std::fprintf(
      context_.console.out, "> servers refreshed in the last minute: %llu, number of servers: %u\n",
      static_cast<unsigned long long>(context_.unprintedRefreshes), context_.registry.totalCount());
  context_.unprintedRefreshes = 0;
}

// Connections refused or dropped since the last report, one line per kind.
void ServerCore::reportRefusals() {
  warningTimer_.setAt(reactor_.now() + settings_.warningInterval);
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

// The one place that takes the registry's changes, for both that follow them change by change:
// each goes into the pieces of the snapshot at once, and the snapshot is published when the pass
// ends, or sooner when a list request comes first; the same changes go to the saver's log in one
// batch when the pass ends, once it has sent its answers.
void ServerCore::followChanges() {
  std::vector<HostChange> changes = context_.registry.takeChanges();
  if (changes.empty()) return;
  pieces_.apply(changes);
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
  if (!publishDeferred_) {
    publishDeferred_ = true;
    reactor_.defer([this] {
      publishDeferred_ = false;
      publishIfBehind();
    });
  }
  if (handOverDeferred_) return;
  handOverDeferred_ = true;
  reactor_.defer([this] {
    handOverDeferred_ = false;
    handOver();
  });
}

// Publishes the pieces as the snapshot of the registry's version, unless that is published.
void ServerCore::publishIfBehind() {
  const std::uint64_t version = context_.registry.version();
  if (published_ != nullptr && published_->registry->version == version) return;
  published_ = pieces_.publish(version, context_.wallClock());
  status_.snapshots.publish(registryOf(published_));
  status_.stats.listingBytes = published_->replySize;
  status_.stats.hostBytes = context_.registry.fieldBytes();
}

void ServerCore::restored(std::uint64_t logBytes, bool snapshotOwed) {
  logBytes_ = logBytes;
  status_.stats.logBytes = logBytes;
  snapshotOwed_ = snapshotOwed;
  startSnapshotIfDue();
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
  publishIfBehind();
  snapshotsSaving_ = std::exchange(snapshotsAsked_, {});
  hostsSaving_ = published_->registry->totalCount();
  saver_.snapshot(registryOf(published_), finalSnapshot_);
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
  followChanges();
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
  reportSave(report.outcome, context_.console, report.error);
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
  warningTimer_.cancel();
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
