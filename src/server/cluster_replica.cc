#include "server/cluster_replica.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"
#include "registry/server_key.h"

namespace dirserver {

ClusterReplica::ClusterReplica(Reactor& reactor, ServerContext& context, ChangePath& changes,
                               std::string nodeName, PublishValue publish,
                               std::chrono::milliseconds summaryEvery)
    : reactor_(reactor),
      context_(context),
      changes_(changes),
      nodeName_(std::move(nodeName)),
      publish_(std::move(publish)),
      summaryEvery_(summaryEvery),
      summaryTimer_(reactor, [this] { printSummary(); }) {
  changes_.addConsumer(
      [this](std::span<const HostChange> changes, ChangeOrigin origin) { follow(changes, origin); });
  summaryTimer_.setAt(reactor_.now() + summaryEvery_);
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
  state.stampMillis = wallNow * 1000;
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
      if (skip_ && skip_(entry)) continue;
      if (applyOne(entry.state) && entry.state.node != nodeName_) ++unreported_[entry.state.node];
    }
  });
  if (caughtUp && !caughtUpOnce_) {
    caughtUpOnce_ = true;
    std::fprintf(context_.console.out, "- cluster: caught up with the bucket, %u hosts listed\n",
                 context_.registry.totalCount());
  }
}

// Makes the registry hold `state`. Times from the future (a peer's clock ahead of this one) count
// as now. Returns whether the registry changed.
bool ClusterReplica::applyOne(const HostState& state) {
  ServerRegistry& registry = context_.registry;
  const ServerKey key = computeServerKey(state.record.fields);
  const auto found = registry.find(state.type, key, state.record.fields);
  if (state.removed) {
    if (found == registry.end(state.type)) return false;
    registry.erase(state.type, found);
    return true;
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
    if (registry.totalCount() >= kMaxServers) {
      std::fprintf(context_.console.err,
                   "+warning: cluster: host '%s' from node '%s' dropped: the list holds %u hosts\n",
                   consoleText(toDisplayText(record.fields[kNameField].bytes())).c_str(),
                   consoleText(state.node).c_str(),
                   kMaxServers);
      return false;
    }
    registry.insert(state.type, key, std::move(record), state.owner, ownerSeenAt)
        .first->agingSince = agingSince;
    return true;
  }
  if (*found->record == record && found->from == state.owner) return false;
  registry.replace(state.type, found, std::move(record), state.owner, ownerSeenAt)->agingSince =
      agingSince;
  return true;
}

void ClusterReplica::printSummary() {
  summaryTimer_.setAt(reactor_.now() + summaryEvery_);
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
