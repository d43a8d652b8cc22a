#include "server/startup_reconcile.h"

#include <cstdio>

#include "cluster/reconcile.h"
#include "common/text.h"

namespace dirserver {

StartupReconcile::StartupReconcile(ServerContext& context, ChangePath& changes,
                                   ClusterReplica& replica,
                                   std::unordered_set<std::string> waiting,
                                   std::string bucketName, std::string rememberedId,
                                   PublishValue publish, std::function<void(std::string)> remember)
    : context_(context),
      changes_(changes),
      replica_(replica),
      bucketName_(std::move(bucketName)),
      rememberedId_(std::move(rememberedId)),
      publish_(std::move(publish)),
      remember_(std::move(remember)),
      kept_(std::move(waiting)) {
  changes_.addConsumer([this](std::span<const HostChange> changes, ChangeOrigin origin) {
    if (done_ || (origin != ChangeOrigin::Request && origin != ChangeOrigin::Operator)) return;
    for (const HostChange& change : changes) kept_.insert(clusterKey(change.type, change.entry.id));
  });
}

void StartupReconcile::observe(const std::vector<BucketEntry>& entries) {
  if (done_) return;
  for (const BucketEntry& entry : entries) bucketKeys_.insert(entry.key);
}

void StartupReconcile::caughtUp(const std::string& bucketId, std::size_t hostKeys) {
  if (done_) return;
  done_ = true;
  switch (judgeBucket(rememberedId_, bucketId, hostKeys)) {
    case BucketVerdict::Seed:
      seed();
      break;
    case BucketVerdict::Adopt:
      if (!rememberedId_.empty()) {
        std::fprintf(context_.console.out,
                     "- cluster: the bucket '%s' is not the one this node followed before; its "
                     "hosts replace this node's\n",
                     consoleText(bucketName_).c_str());
      }
      removeStale();
      break;
    case BucketVerdict::Follow:
      removeStale();
      break;
  }
  bucketKeys_.clear();
  kept_.clear();
  if (bucketId != rememberedId_ && remember_) remember_(bucketId);
}

void StartupReconcile::seed() {
  std::uint32_t hosts = 0;
  for (const ServerType type : kServerTypes) {
    for (auto host = context_.registry.begin(type); host != context_.registry.end(type); ++host) {
      const HostChange change{HostChange::Kind::Added, type, *host};
      publish_(clusterKey(type, host->id), encodeHostState(replica_.stateOf(change)));
      ++hosts;
    }
  }
  // A bucket this node is the first to follow, with nothing to seed it with: nothing to say.
  if (hosts == 0) return;
  std::fprintf(
      context_.console.out,
      "- cluster: the bucket '%s' is new and empty; seeding it with this node's %u hosts\n",
      consoleText(bucketName_).c_str(), hosts);
}

void StartupReconcile::removeStale() {
  ServerRegistry& registry = context_.registry;
  std::uint32_t removed = 0;
  changes_.change(ChangeOrigin::Replicated, [&] {
    for (const ServerType type : kServerTypes) {
      for (auto host = registry.begin(type); host != registry.end(type);) {
        const std::string key = clusterKey(type, host->id);
        if (bucketKeys_.contains(key) || kept_.contains(key)) {
          ++host;
          continue;
        }
        host = registry.erase(type, host);
        ++removed;
      }
    }
  });
  if (removed > 0) {
    std::fprintf(context_.console.out,
                 "- cluster: %u hosts this node held are not in the bucket: removed here\n",
                 removed);
  }
}

}  // namespace dirserver
