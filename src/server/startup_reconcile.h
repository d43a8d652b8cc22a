// The loop's side of making a node's registry and the cluster's bucket agree once the link first
// has the bucket's current values: the node loads its own files and serves from them at once;
// then the bucket's values become its registry, except for the changes it still has waiting in
// its outbox, and a new, empty bucket is seeded from the registry instead.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "cluster/nats_link.h"
#include "cluster/outbox.h"
#include "registry/server_context.h"
#include "server/change_path.h"
#include "server/cluster_replica.h"

namespace dirserver {

// Runs on the loop's thread; what it is given must outlive it.
class StartupReconcile {
 public:
  // `waiting`: the keys the outbox held at start. `rememberedId`: the id of the bucket this node
  // followed last (empty: none). `publish` hands
  // a key and its value on as the replica's own changes go (outbox, then link); `remember` keeps
  // the id of the bucket now followed, once what was published for it is in the outbox.
  StartupReconcile(ServerContext& context, ChangePath& changes, ClusterReplica& replica,
                   std::unordered_set<std::string> waiting, std::string bucketName,
                   std::string rememberedId,
                   PublishValue publish, std::function<void(std::string id)> remember);
  StartupReconcile(const StartupReconcile&) = delete;
  StartupReconcile& operator=(const StartupReconcile&) = delete;

  // Entries of the bucket, before the replica applies them: their keys count as the bucket's
  // until the first catch-up.
  void observe(const std::vector<BucketEntry>& entries);

  // The link has had the bucket's current values (`hostKeys` host keys) for the first time, all
  // applied. Judges the bucket (judgeBucket): one to follow or adopt makes the registry hold only
  // the hosts it holds, those this node changed since it started and those its outbox had at
  // start (the rest are removed here, not published); a bucket to seed gets every host of the
  // registry published. Says which on the console. Does nothing after the first call.
  void caughtUp(const std::string& bucketId, std::size_t hostKeys);

 private:
  void seed();
  void removeStale();

  ServerContext& context_;
  ChangePath& changes_;
  ClusterReplica& replica_;
  std::string bucketName_;
  std::string rememberedId_;
  PublishValue publish_;
  std::function<void(std::string)> remember_;
  std::unordered_set<std::string> bucketKeys_;
  std::unordered_set<std::string> kept_;  // outbox keys at start, and what this node changed
  bool done_ = false;
};

}  // namespace dirserver
