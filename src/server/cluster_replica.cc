#include "server/cluster_replica.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

ClusterReplica::ClusterReplica(Reactor& reactor, ServerContext& context, ChangePath& changes,
                               std::string nodeName, PublishValue publish,
                               ReplicaSettings settings)
    : reactor_(reactor),
      context_(context),
      changes_(changes),
      nodeName_(std::move(nodeName)),
      publish_(std::move(publish)),
      settings_(settings),
      summaryTimer_(reactor, [this] { printSummary(); }) {
  changes_.addConsumer(
      [this](std::span<const HostChange> changes, ChangeOrigin origin) { follow(changes, origin); });
  summaryTimer_.setAt(reactor_.now() + settings_.summaryEvery);
}

HostState ClusterReplica::stateOf(const HostChange& change) const {
  const std::int64_t wallNow = context_.clock->wallSeconds();
  const std::int64_t steadyNow = context_.clock->steadySeconds();
  HostState state;
  state.type = change.type;
  state.record = *change.entry.record;
  state.owner = change.entry.from;
  // The registry counts the owner's silence on the monotonic clock; peers get it as wall time.
  state.ownerSeenAt = wallNow - (steadyNow - context_.registry.ownerSeenAt(change.entry));
  state.node = nodeName_;
  state.stampMillis = context_.clock->wallMilliseconds();
  state.removed = change.kind == HostChange::Kind::Removed;
  return state;
}

void ClusterReplica::follow(std::span<const HostChange> changes, ChangeOrigin origin) {
  if (origin != ChangeOrigin::Request && origin != ChangeOrigin::Operator) return;
  for (const HostChange& change : changes) {
    publish_(clusterKey(change.type, change.entry.id),
             encodeHostState(stateOf(change)));
  }
}

void ClusterReplica::apply(const std::vector<BucketEntry>& entries, bool caughtUp) {
  changes_.change(ChangeOrigin::Replicated, [&] {
    for (const BucketEntry& entry : entries) {
      if (status_ != nullptr) status_->lastAppliedRevision = entry.revision;
      if (skip_ && skip_(entry)) continue;
      const Applied applied = applyOne(entry.state);
      count(entry);
      if (entry.state.node == nodeName_) continue;
      checkClock(entry);
      if (applied == Applied::Nothing) continue;
      if (!settings_.printEveryChange) {
        ++unreported_[entry.state.node];
        continue;
      }
      std::fprintf(context_.console.out, "- cluster: node '%s' %s '%s', %u hosts listed\n",
                   consoleText(entry.state.node).c_str(),
                   applied == Applied::Added     ? "added"
                   : applied == Applied::Removed ? "removed"
                                                 : "refreshed",
                   consoleText(toDisplayText(entry.state.record.fields[kNameField].bytes())).c_str(),
                   context_.registry.totalCount());
    }
  });
  if (caughtUp && !caughtUpOnce_) {
    caughtUpOnce_ = true;
    std::fprintf(context_.console.out, "- cluster: caught up with the bucket, %u hosts listed\n",
                 context_.registry.totalCount());
  }
}

// Makes the registry hold `state`. Times from the future (a peer's clock ahead of this one) count
// as now. Returns what changed in the registry.
ClusterReplica::Applied ClusterReplica::applyOne(const HostState& state) {
  ServerRegistry& registry = context_.registry;
  const ServerKey key = computeServerKey(state.record.fields);
  const auto found = registry.find(state.type, key, state.record.fields);
  if (state.removed) {
    if (found == registry.end(state.type)) return Applied::Nothing;
    registry.erase(state.type, found);
    return Applied::Removed;
  }
  const std::int64_t wallNow = context_.clock->wallSeconds();
  const std::int64_t steadyNow = context_.clock->steadySeconds();
  ServerRecord record = state.record;
  std::int32_t age = registrationAge(record.registrationTime, wallNow);
  if (age < 0) {
    record.registrationTime = storedTime(wallNow);
    age = 0;
  }
  const std::int64_t agingSince = steadyNow - age;
  const std::int64_t ownerSeenAt = steadyNow - std::max<std::int64_t>(0, wallNow - state.ownerSeenAt);
  if (found == registry.end(state.type)) {
    if (registry.totalCount() >= settings_.bound) {
      std::fprintf(context_.console.err,
                   "+warning: cluster: host '%s' from node '%s' dropped: the list holds %u hosts\n",
                   consoleText(toDisplayText(record.fields[kNameField].bytes())).c_str(),
                   consoleText(state.node).c_str(), registry.totalCount());
      return Applied::Nothing;
    }
    registry.insert(state.type, key, std::move(record), state.owner, ownerSeenAt)
        .first->agingSince = agingSince;
    return Applied::Added;
  }
  if (*found->record == record && found->from == state.owner) return Applied::Nothing;
  registry.replace(state.type, found, std::move(record), state.owner, ownerSeenAt)->agingSince =
      agingSince;
  return Applied::Updated;
}

void ClusterReplica::count(const BucketEntry& entry) {
  if (status_ == nullptr) return;
  ++status_->applied;
  // A value handed over again when a watcher starts was published long ago: no lag of today's.
  if (!entry.live) return;
  const auto lag = std::chrono::milliseconds(
      std::max<std::int64_t>(0, context_.clock->wallMilliseconds() - entry.state.stampMillis));
  status_->applyLag.observe(lag);
  status_->lastApplyLagMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(lag).count();
}

// Compares a peer's time stamp with this node's clock. Values the watcher hands over again when it
// starts carry the stamps of their day, so a stamp behind now counts only in a value the bucket
// has just stored; a late publish (a node's retry after an outage) looks the same as a slow clock.
void ClusterReplica::checkClock(const BucketEntry& entry) {
  constexpr std::int64_t kJustStoredMillis = 10'000;
  const std::int64_t nowMillis = context_.clock->wallSeconds() * 1000;
  const std::int64_t off = entry.state.stampMillis - nowMillis;
  const bool justStored =
      entry.storedMillis != 0 && std::abs(nowMillis - entry.storedMillis) <= kJustStoredMillis;
  if (off <= kClockSkewWarnSeconds * 1000 && (off >= -kClockSkewWarnSeconds * 1000 || !justStored)) {
    return;
  }
  const auto now = reactor_.now();
  const auto warned = clockWarned_.find(entry.state.node);
  if (warned != clockWarned_.end() && now - warned->second < std::chrono::minutes(1)) return;
  clockWarned_[entry.state.node] = now;
  std::fprintf(context_.console.err,
               "+warning: cluster: node '%s' stamps its changes %lld s %s this node's clock; "
               "keep every node's clock with NTP\n",
               consoleText(entry.state.node).c_str(), static_cast<long long>(std::abs(off) / 1000),
               off > 0 ? "ahead of" : "behind");
}

void ClusterReplica::printSummary() {
  summaryTimer_.setAt(reactor_.now() + settings_.summaryEvery);
  if (unreported_.empty()) return;
  std::uint64_t total = 0;
  std::string perNode;
  for (const auto& [node, count] : unreported_) {
    total += count;
    perNode += (perNode.empty() ? "" : ", ") + consoleText(node) + " " + std::to_string(count);
  }
  std::fprintf(context_.console.out, "- cluster: %llu changes from other nodes (%s)\n",
               static_cast<unsigned long long>(total), perNode.c_str());
  unreported_.clear();
}

}  // namespace dirserver
