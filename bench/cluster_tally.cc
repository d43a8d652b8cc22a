#include "cluster_tally.h"

#include <algorithm>

#include "report.h"
#include "snapshot_pacing.h"

namespace dirserver::bench {
namespace {

double millisBetween(ClusterClock::time_point from, ClusterClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

LagBook::Probe& LagBook::probe(const std::string& name) {
  Probe& probe = probes_[name];
  if (probe.seen.empty()) {
    probe.seen.resize(static_cast<std::size_t>(nodes_));
    probe.wasSeen.resize(static_cast<std::size_t>(nodes_), false);
  }
  return probe;
}

void LagBook::sending(const std::string& name, int origin) {
  std::lock_guard lock(mutex_);
  probe(name).origin = origin;
}

void LagBook::acknowledged(const std::string& name, ClusterClock::time_point at) {
  std::lock_guard lock(mutex_);
  Probe& entry = probe(name);
  entry.acknowledged = true;
  entry.ackedAt = at;
}

void LagBook::listed(int node, ClusterClock::time_point at, const std::vector<std::string>& names) {
  std::lock_guard lock(mutex_);
  const auto n = static_cast<std::size_t>(node);
  for (const std::string& name : names) {
    const auto found = probes_.find(name);
    // Only the first sighting counts; a probe's own node is never asked about.
    if (found == probes_.end() || found->second.wasSeen[n] || found->second.origin == node) continue;
    found->second.seen[n] = at;
    found->second.wasSeen[n] = true;
  }
}

std::vector<double> LagBook::lags(int node) const {
  std::lock_guard lock(mutex_);
  std::vector<double> lags;
  for (const auto& [name, probe] : probes_) {
    if (!probe.acknowledged) continue;
    for (int i = 0; i < nodes_; ++i) {
      const auto n = static_cast<std::size_t>(i);
      if (i == probe.origin || (node >= 0 && i != node) || !probe.wasSeen[n]) continue;
      lags.push_back(std::max(0.0, millisBetween(probe.ackedAt, probe.seen[n])));
    }
  }
  return lags;
}

std::size_t LagBook::unseen() const {
  std::lock_guard lock(mutex_);
  std::size_t missing = 0;
  for (const auto& [name, probe] : probes_) {
    if (!probe.acknowledged) continue;
    for (int i = 0; i < nodes_; ++i) {
      if (i != probe.origin && !probe.wasSeen[static_cast<std::size_t>(i)]) ++missing;
    }
  }
  return missing;
}

KillTally tallyKill(const std::map<std::string, HostFate>& fates,
                    const std::vector<std::set<std::string>>& listed, const KillVictim& victim) {
  KillTally tally;
  for (const auto& [name, fate] : fates) {
    if (!fate.settled) continue;
    ++tally.judged;
    std::size_t right = 0;
    for (const std::set<std::string>& node : listed) {
      if ((node.count(name) > 0) == fate.present) ++right;
    }
    if (right == listed.size()) continue;
    if (right > 0) {
      ++tally.diverged;
      continue;
    }
    ++tally.lost;
    const double age = millisBetween(fate.ackedAt, victim.killedAt);
    const bool inFlight = victim.node >= 0 && fate.node == victim.node &&
                          fate.ackedAt <= victim.killedAt &&
                          victim.killedAt - fate.ackedAt <= victim.inFlight;
    if (inFlight) {
      ++tally.inFlight;
      tally.inFlightAges.push_back(age);
    } else {
      tally.lostAges.push_back(age);
      tally.lostBy.insert(fate.node);
      if (!fate.present) ++tally.lostShutdowns;
    }
  }
  return tally;
}

std::string windowQuantilesCell(const std::vector<std::map<std::string, double>>& before,
                                const std::vector<std::map<std::string, double>>& after,
                                const std::string& family) {
  const std::string prefix = family + "_bucket";
  Buckets pooled;
  bool reported = false;
  for (std::size_t i = 0; i < after.size(); ++i) {
    const auto found = after[i].lower_bound(prefix);
    if (found == after[i].end() || !found->first.starts_with(prefix)) continue;
    reported = true;
    addBuckets(pooled, i < before.size() ? before[i] : std::map<std::string, double>{}, after[i],
               family);
  }
  if (!reported) return "n/a";
  const double p50 = bucketQuantile(pooled, 0.5), p99 = bucketQuantile(pooled, 0.99);
  if (p50 < 0) return "-";
  return bucketBoundCell(p50, "> last") + " / " + bucketBoundCell(p99, "> last");
}

}  // namespace dirserver::bench
