// A ListSaver over a test's files with its reports gathered for the test's thread, and what a
// start in the test's directory loads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "persist/list_loader.h"
#include "persist/list_saver.h"
#include "support/test_support.h"

namespace dirserver::testing {

class Saving {
 public:
  // Over what loading `t`'s files through `env` gives.
  Saving(TestContext& t, Env& env, WriteRateLimits limits = {})
      : Saving(t, env, loadServerList(t.context, env), limits) {}
  Saving(TestContext& t, Env& env, const LoadResult& loaded, WriteRateLimits limits = {}) : t_(t) {
    saver_ = std::make_unique<ListSaver>(
        t.context.listFile, loaded,
        [this](const CommitReport& report) {
          std::lock_guard lock(mutex_);
          if (onCommit) onCommit(report);
          commits_.push_back(report);
          changed_.notify_all();
        },
        [this](const CheckpointReport& report) {
          std::lock_guard lock(mutex_);
          checkpoints_.push_back(report);
          changed_.notify_all();
        },
        env, limits);
  }

  // The saver goes first: its stop may still report to the members below.
  ~Saving() { saver_.reset(); }

  // Hands the registry's changes over as the next batch, or `changes` as batch `batch` (and waits
  // for its commit's report).
  void append() { saver_->append(++batch_, t_.context.registry.takeChanges()); }
  CommitReport commit() {
    append();
    return waitCommit();
  }
  CommitReport commit(std::uint64_t batch, std::vector<HostChange> changes) {
    saver_->append(batch, std::move(changes));
    return waitCommit();
  }
  CommitReport retry() {
    saver_->retry();
    return waitCommit();
  }
  // Of the registry, or of `snapshot`; waits a minute at most (a snapshot held back by its rate
  // would take far longer).
  CheckpointReport checkpoint(bool last = false, bool hurry = false) {
    return checkpoint(std::make_shared<RegistrySnapshot>(t_.context.registry.snapshot()), last, hurry);
  }
  CheckpointReport checkpoint(SnapshotPtr snapshot, bool last = false, bool hurry = false) {
    std::unique_lock lock(mutex_);
    const std::size_t before = checkpoints_.size();
    lock.unlock();
    saver_->checkpoint(std::move(snapshot), last);
    if (hurry) saver_->hurry();
    lock.lock();
    if (!changed_.wait_for(lock, std::chrono::minutes(1),
                           [&] { return checkpoints_.size() > before; })) {
      ADD_FAILURE() << "no snapshot within a minute";
      return {};
    }
    return checkpoints_.back();
  }
  void stop() { saver_.reset(); }

  // The next commit report not yet returned, once it has come.
  CommitReport waitCommit() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return commits_.size() > seen_; });
    return commits_[seen_++];
  }

  // Called with each commit report as it comes, on the saver's thread, before any wait sees it.
  std::function<void(const CommitReport&)> onCommit;

 private:

  TestContext& t_;
  std::unique_ptr<ListSaver> saver_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<CommitReport> commits_;
  std::vector<CheckpointReport> checkpoints_;
  std::size_t seen_ = 0;
  std::uint64_t batch_ = 0;
};

// A registry's hosts, type by type.
inline std::vector<std::vector<HostEntry>> hostsOf(const ServerRegistry& registry) {
  std::vector<std::vector<HostEntry>> hosts;
  for (ServerType type : kServerTypes) hosts.emplace_back(registry.begin(type), registry.end(type));
  return hosts;
}

// The same hosts with the same owners and ids.
inline bool sameOwners(const std::vector<std::vector<HostEntry>>& a,
                       const std::vector<std::vector<HostEntry>>& b) {
  return a == b && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
           return std::equal(x.begin(), x.end(), y.begin(),
                             [](const HostEntry& p, const HostEntry& q) {
                               return p.from == q.from && p.id == q.id;
                             });
         });
}
inline bool sameOwners(const ServerRegistry& a, const ServerRegistry& b) {
  return sameOwners(hostsOf(a), hostsOf(b));
}

// What a start in the test's directory loads: its registry (owners included) and its lines.
struct Loaded {
  std::vector<std::vector<HostEntry>> hosts;
  std::string err;
};

inline Loaded loadAgain(const TestContext& t) {
  TestContext start;
  start.context.listFile = t.context.listFile;
  loadServerList(start.context, start.env);
  return {hostsOf(start.context.registry), start.console.err()};
}

}  // namespace dirserver::testing
