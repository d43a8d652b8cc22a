#include "server/server_core.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "common/console_queue.h"
#include "net/framing.h"
#include "net/socket_io.h"
#include "server/change_path.h"
#include "server/dispatch.h"
#include "server/expiry_sweep.h"
#include "server/game_connection.h"
#include "server/loop_reports.h"

namespace dirserver {

class ServerCore::Listener final : public EventHandler {
 public:
  Listener(ServerCore& core, int fd) : fd(fd), core_(core) {}
  void onEvents(std::uint32_t) override { core_.acceptConnections(*this); }

  const int fd;

 private:
  ServerCore& core_;
};

namespace {

constexpr std::size_t kAcceptBatch = 64;
// Room for a registration's body, read along with its header.
constexpr std::size_t kStagingBytes = 4096;

// The acknowledgement as the parts of an answer.
const ByteView kAckParts[] = {ByteView(kAckMessage)};

bool isOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

ServerCore::ServerCore(Reactor& reactor, ServerContext& context, ChangePath& changes,
                       CoreSettings settings)
    : reactor_(reactor),
      context_(context),
      changes_(changes),
      settings_(settings),
      status_(changes.status()),
      sweep_(reactor, context, changes, changes.status().stats, settings.sweepInterval),
      refusals_(reactor, context.console, settings.warningInterval),
      acceptPauseTimer_(reactor,
                        [this] {
                          acceptPaused_ = false;
                          updateListening();
                        }),
      heartbeat_(reactor, context.console, changes.status().stats) {
  staging_.resize(std::min(kStagingBytes, settings_.freeBodyBytes));
  status_.stats.startedAt = context_.clock->wallSeconds();
}

// The connections close their descriptors as they go.
ServerCore::~ServerCore() {
  for (const auto& listener : listeners_) reactor_.watch(listener->fd, listener.get(), 0);
}

void ServerCore::listen(int listenSocket) {
  // Accepted connections inherit the listener's send buffer size.
  ::setsockopt(listenSocket, SOL_SOCKET, SO_SNDBUF, &settings_.sendBufferBytes,
               sizeof settings_.sendBufferBytes);
  listeners_.push_back(std::make_unique<Listener>(*this, listenSocket));
  updateListening();
}

std::size_t ServerCore::connectionsFrom(std::uint32_t address) const {
  const auto count = perAddress_.find(address);
  return count == perAddress_.end() ? 0 : count->second;
}

void ServerCore::reportError(ConsoleError error) {
  status_.stats.count(error);
  std::fputs(faultRow(error).line, context_.console.err);
}

// ---------------------------------------------------------------------------------------------
// Connections

void ServerCore::updateListening() {
  // Even with every slot taken, newcomers are accepted: they may take the place of a connection
  // that makes no progress (makeRoomFor).
  const bool wanted = !stopping_ && !acceptPaused_;
  for (const auto& listener : listeners_) {
    reactor_.watch(listener->fd, listener.get(), wanted ? std::uint32_t{EPOLLIN} : 0u);
  }
}

void ServerCore::acceptConnections(Listener& listener) {
  for (std::size_t accepted = 0; accepted < kAcceptBatch; ++accepted) {
    if (stopping_) break;
    const Accepted taken = acceptConnection(listener.fd);
    if (taken.fd < 0) {
      if (taken.error == 0) break;
      // A failed accept ends its request before its first read.
      reportError(ConsoleError::RecvSize);
      if (isOutOfResources(taken.error)) {
        // The pending connection stays queued, so retrying at once would spin and flood the
        // console; give closing connections time to free what is missing.
        acceptPaused_ = true;
        acceptPauseTimer_.setAt(reactor_.now() + settings_.acceptPause);
        break;
      }
      continue;
    }
    const int fd = taken.fd;
    const std::uint32_t address = taken.address;
    if (trustsProxy(address)) {
      adoptFromBalancer(fd, address);
      continue;
    }
    if (refused_ && refused_(address)) {
      ::close(fd);
      ++status_.stats.connectionsBanned;
      continue;
    }
    if (slotsTaken() >= settings_.maxConnections && !makeRoomFor(address)) {
      ::close(fd);
      refusals_.refusedWhileFull();
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
    if (connection->stream.closed() || connection->proxy ||
        connectionsFrom(connection->address) != most) {
      continue;
    }
    if (victim == nullptr || connection->stream.lastProgress() < victim->stream.lastProgress()) {
      victim = connection.get();
    }
  }
  if (victim == nullptr) return false;
  shed(*victim);
  return true;
}

void ServerCore::shed(Connection& connection) {
  refusals_.shed();
  ++status_.stats.connectionsShed;
  connection.stream.resetOnClose();
  close(connection);
}

void ServerCore::adopt(int fd, std::uint32_t address) {
  std::size_t& fromAddress = perAddress_[address];
  if (fromAddress >= settings_.maxConnectionsPerAddress) {
    ::close(fd);
    refusals_.refusedOverAddressLimit();
    ++status_.stats.connectionsRefused;
    return;
  }
  ++fromAddress;
  auto owned = std::make_unique<Connection>(*this, fd, address);
  Connection& connection = *owned;
  connections_.push_back(std::move(owned));
  ++status_.stats.connectionsAccepted;
  status_.stats.connectionsOpen = connectionCount();
  connection.stream.setDeadlineIn(settings_.recvTimeout);
  connection.stream.receive();
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
    connection.stream.watchInput();
  }
}

// Where the bytes of a request arrive: they complete the frame's step, and a complete request is
// handled at once. Bytes past the header's space came in the staging space with it: the header is
// checked first, and only then do they go to the body; any beyond its announced size are dropped.
void ServerCore::requestReceived(Connection& connection, std::size_t count) {
  const std::size_t framed = std::min(count, connection.frame.space().size());
  const ByteView early(staging_.data(), count - framed);
  const auto stepBefore = connection.frame.step();
  if (const auto rejection = connection.frame.received(framed)) {
    reportError(*rejection);
    close(connection);
    return;
  }
  if (connection.frame.step() == FrameReader::Step::Body && connection.frame.step() != stepBefore) {
    const bool admitted = reserveBody(connection);
    connection.frame.takeBody(early);  // before allocation, a start of at most freeBodyBytes
    if (!admitted) {
      // Not read from until budget is free: even a hang-up would otherwise wake the loop again
      // and again with nothing it could do. Its deadline keeps running.
      connection.stream.stopWatching();
      waitingForBudget_.push_back(&connection);
    }
  }
  const auto step = connection.frame.step();
  if (step == FrameReader::Step::Done) {
    dispatch(connection);
    return;
  }
  if (step != stepBefore) connection.stream.setDeadlineIn(settings_.recvTimeout);
}

void ServerCore::dispatch(Connection& connection) {
  if (connection.local && changesRegistry(connection.frame.header())) {
    reportError(ConsoleError::ProxyLocal);
    close(connection);
    return;
  }
  const auto begun = reactor_.now();
  holdConsoleForPass();
  const Dispatched dispatched = changes_.change(ChangeOrigin::Request, [&] {
    // A request's lines reach the console together, or are dropped together.
    const ConsoleGroup lines(context_.console);
    return dispatchRequest(context_, connection.frame.header(), connection.frame.body(),
                           connection.address);
  });
  status_.stats.count(dispatched.kind, dispatched.outcome);
  if (dispatched.error) status_.stats.count(*dispatched.error);
  status_.stats.rateBucketsLost =
      context_.newHostRate.lostBuckets() + context_.listingRate.lostBuckets();
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
  std::span<const ByteView> parts;
  switch (dispatched.reply) {
    case Reply::None:
      close(connection);
      handled();
      return;
    case Reply::Ack:
      parts = kAckParts;
      break;
    case Reply::Listing:
      // Whatever changed before this request, in this pass or earlier, is in what it gets.
      connection.listing = changes_.current();
      parts = connection.listing->replyParts;
      break;
  }
  connection.answering = true;
  connection.stream.send(parts);
  handled();
  // Most answers fit in the socket's buffer at once; only one that does not waits to be writable,
  // and holds what it has yet to send.
  if (connection.stream.closed()) return;
  if (connection.listing != nullptr) pin(connection);
  connection.stream.setDeadlineIn(settings_.sendTimeout);
  shedOverBudgets();
}

// The lines of a pass's requests reach the console's writer with one wake-up, when the pass ends:
// a wake-up per request cost the writer a context switch each, and the loop a system call.
void ServerCore::holdConsoleForPass() {
  ConsoleQueue* const queue = context_.console.queue;
  if (queue == nullptr || consoleHeld_) return;
  consoleHeld_ = true;
  queue->holdWakeUps();
  reactor_.defer([this, queue] {
    consoleHeld_ = false;
    queue->resumeWakeUps();
  });
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
    if (connection->stream.closed() || connection->reading() || !eligible(*connection, *this)) {
      continue;
    }
    if (found == nullptr || connection->stream.lastProgress() < found->stream.lastProgress()) {
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
      return connection.listing != nullptr && connection.listing != core.changes_.published();
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

void ServerCore::close(Connection& connection) { connection.stream.close(); }

// What a closed connection held goes back at once; the connection itself when the pass ends.
void ServerCore::closed(Connection& connection) {
  ++closedCount_;
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
  // One whose balancer's header was not yet read whole was never counted.
  if (connection.proxy) --awaitingHeader_;
  auto count = connection.proxy ? perAddress_.end() : perAddress_.find(connection.address);
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
    if (!connections_[slot]->stream.closed()) {
      ++slot;
      continue;
    }
    std::swap(connections_[slot], connections_.back());
    connections_.pop_back();
  }
  closedCount_ = 0;
  updateListening();
}

// ---------------------------------------------------------------------------------------------
// Reports and the stop

std::uint32_t ServerCore::enforceRefusal() {
  if (!refused_) return 0;
  closeRefused();
  return changes_.removeHosts([this](ServerType, const HostEntry& host) {
    return host.from != kUnknownAddress && refused_(host.from);
  });
}

void ServerCore::closeRefused() {
  if (!refused_) return;
  for (auto& connection : connections_) {
    // A balancer's connection whose header is unread is checked when it is read.
    if (connection->stream.closed() || connection->proxy || !refused_(connection->address)) {
      continue;
    }
    connection->stream.resetOnClose();
    close(*connection);
  }
}

void ServerCore::stop() {
  if (stopping_) return;
  stopping_ = true;
  updateListening();
  for (auto& connection : connections_) close(*connection);
  refusals_.stop();
  heartbeat_.stop();
  sweep_.stop();
  changes_.stop();
}

}  // namespace dirserver
