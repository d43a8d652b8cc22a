#include "server/change_path.h"

#include <iterator>

namespace dirserver {

ChangePath::ChangePath(Reactor& reactor, ServerContext& context, Saver& saver,
                       ServerStatus& status, SavePolicy policy)
    : reactor_(reactor),
      context_(context),
      saver_(saver),
      status_(status),
      policy_(policy),
      commitRetryTimer_(reactor, [this] { saver_.retry(); }),
      checkpointRetryTimer_(reactor, [this] { startCheckpointIfDue(); }) {}

void ChangePath::attach(std::uint64_t logBytes, bool checkpointOwed) {
  context_.registry.takeChanges();
  pieces_.emplace(context_.registry);
  publishIfBehind();
  logBytes_ = logBytes;
  status_.stats.logBytes = logBytes;
  checkpointOwed_ = checkpointOwed;
  startCheckpointIfDue();
}

// Each change goes into the pieces of the snapshot at once, and the snapshot is published when the
// pass ends, or sooner when a list request comes first; the same changes go to the saver's log in
// one batch when the pass ends, once it has sent its answers.
void ChangePath::follow(ChangeOrigin origin) {
  std::vector<HostChange> changes = context_.registry.takeChanges();
  if (changes.empty()) return;
  pieces_->apply(changes);
  for (const ChangeConsumer& consumer : consumers_) consumer(changes, origin);
  batchAcks_.emplace_back(reactor_.now(), static_cast<std::uint32_t>(changes.size()));
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

std::uint32_t ChangePath::removeHosts(
    const std::function<bool(ServerType, const HostEntry&)>& which) {
  // Logged like shutdowns, so that a restart does not bring them back.
  return change(ChangeOrigin::Operator, [&] {
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
    return removed;
  });
}

const PublishedPtr& ChangePath::current() {
  publishIfBehind();
  return published_;
}

// Publishes the pieces as the snapshot of the registry's version, unless that is published.
void ChangePath::publishIfBehind() {
  const std::uint64_t version = context_.registry.version();
  if (published_ != nullptr && published_->registry->version == version) return;
  published_ = pieces_->publish(version, context_.clock->wallSeconds());
  status_.snapshots.publish(registryOf(published_));
  status_.stats.listingBytes = published_->replySize;
  status_.stats.hostBytes = context_.registry.fieldBytes();
}

void ChangePath::checkpointNow(CheckpointDone done, bool unpaced) {
  checkpointsAsked_.push_back(std::move(done));
  unpacedAsked_ = unpacedAsked_ || unpaced;
  startCheckpointIfDue();
}

void ChangePath::stop() {
  if (stopping_) return;
  stopping_ = true;
  checkpointRetryTimer_.cancel();
  if (checkpointInFlight_) {
    saver_.hurry();
    return;  // checkpointFinished goes on from here
  }
  // With no log and no change, the list in place holds everything already.
  if (logBytes_ == 0 && batch_.empty() && unconfirmed_.empty() && !checkpointOwed_) {
    reactor_.stop();
    return;
  }
  startCheckpointIfDue();
}

// ---------------------------------------------------------------------------------------------
// The saver: what is handed to it and what it reports

void ChangePath::handOver() {
  if (batch_.empty()) return;
  unconfirmed_.push_back({++lastBatch_, std::move(batchAcks_)});
  batchAcks_.clear();
  saver_.append(lastBatch_, std::move(batch_));
  batch_.clear();
}

void ChangePath::startCheckpointIfDue() {
  if (checkpointInFlight_) return;
  const bool asked = !checkpointsAsked_.empty();
  const bool due = stopping_ || checkpointOwed_ || asked ||
                   policy_.checkpointDue(logBytes_, context_.registry.totalCount());
  // After a failure, the next try waits for its timer; the stop's and the operator's do not.
  if (!due || (checkpointRetryTimer_.armed() && !stopping_ && !asked)) return;
  // The checkpoint holds every change handed over, so those of this pass go first.
  handOver();
  checkpointInFlight_ = true;
  checkpointOwed_ = false;
  finalCheckpoint_ = stopping_;
  publishIfBehind();
  checkpointsSaving_ = std::exchange(checkpointsAsked_, {});
  hostsSaving_ = published_->registry->totalCount();
  saver_.checkpoint(registryOf(published_), finalCheckpoint_);
  if (std::exchange(unpacedAsked_, false)) saver_.hurry();
}

void ChangePath::commitFinished(const CommitReport& report) {
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
      std::fprintf(context_.console.err, faultRow(ConsoleError::CommitFailed).line,
                   report.error.c_str());
    }
    commitRetryTimer_.setAt(now + policy_.retryDelay(commitFailures_));
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
  startCheckpointIfDue();
}

void ChangePath::checkpointFinished(const CheckpointReport& report) {
  const auto now = reactor_.now();
  const bool saved = report.outcome != SaveOutcome::Failed;
  checkpointInFlight_ = false;
  ServerStats& stats = status_.stats;
  ++(saved ? stats.savesDone : stats.savesFailed);
  stats.lastSaveMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(report.took).count();
  stats.checkpointTime.observe(report.took);
  stats.lastSaveFinishedAt = context_.clock->wallSeconds();
  stats.lastSaveFailed = !saved;
  stats.bytesWritten += report.bytesWritten;
  logBytes_ = report.logBytes;
  stats.logBytes = report.logBytes;
  if (!saved) stats.count(ConsoleError::SaveFailed);
  reportSave(report.outcome, context_.console, report.error);
  for (auto& done : std::exchange(checkpointsSaving_, {})) done(report.outcome, hostsSaving_);
  if (stopping_) {
    if (!finalCheckpoint_) {
      // The one in flight at the stop did not hold what came after it.
      startCheckpointIfDue();
      return;
    }
    stoppedClean_ = saved;
    reactor_.stop();
    return;
  }
  if (saved) {
    checkpointFailures_ = 0;
  } else {
    checkpointOwed_ = true;
    checkpointRetryTimer_.setAt(now + policy_.retryDelay(++checkpointFailures_));
  }
  startCheckpointIfDue();
}

}  // namespace dirserver
