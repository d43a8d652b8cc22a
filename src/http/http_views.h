// What the HTTP endpoints say, apart from HTTP itself: the listing as JSON cached per snapshot
// version, the metrics in the Prometheus text format, and the health verdict. Every function here
// reads only a published snapshot and atomic counters, so it may run on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "listing/listing_json.h"
#include "http/process_figures.h"
#include "registry/registry_snapshot.h"
#include "server/server_status.h"

namespace dirserver {

// The JSON listing of one snapshot in its two representations, each with the entity tag that
// names it: the plain document, held in parts (see snapshotJsonParts) that it shares with the
// listings of other versions that hold the same hosts, and its gzip form (empty when compressing
// failed).
struct ServersJson {
  std::uint64_t version = 0;
  std::string etag;  // quoted, as the ETag header carries it
  std::vector<JsonPart> parts;
  std::vector<std::size_t> partEnds;  // the plain body's offset after each part
  std::string gzipEtag;
  std::string gzipBody;

  // The plain body's size.
  std::size_t size() const { return partEnds.empty() ? 0 : partEnds.back(); }
  // The plain body's bytes from `offset` (below size()) to the end of the part that holds it, at
  // most `most` of them.
  std::string_view slice(std::size_t offset, std::size_t most) const;
};

// The JSON listing of the latest snapshot, built once per snapshot version by one thread (the
// window's builder) and shared by every request for that version, so that no request waits for
// an encoding. A new version encodes only the blocks of hosts that the version before it did not
// hold, and shares the rest. Entity tags carry `instance` (anything that differs between runs of
// the server) so that a tag cached from an earlier run never matches a later one with the same
// version.
class ServersJsonCache {
 public:
  ServersJsonCache(std::string server, std::string instance)
      : server_(std::move(server)), instance_(std::move(instance)) {}

  // Encodes and compresses `snapshot` (not null) unless its version is the one cached, and keeps
  // the result unless a newer version is cached. Returns what is cached afterwards. Encoding takes
  // as long as the blocks that changed since the last call are large; compressing, as long as the
  // whole listing is (some 20 ms per MiB). One caller at a time: it keeps the blocks' JSON
  // between calls.
  std::shared_ptr<const ServersJson> update(const SnapshotPtr& snapshot);
  // The latest listing built, or null before the first. Never waits for a build.
  std::shared_ptr<const ServersJson> latest() const;

 private:
  const std::string server_;
  const std::string instance_;
  mutable std::mutex mutex_;  // guards cached_
  std::shared_ptr<const ServersJson> cached_;
  // The JSON of each block of hosts of the version built last, by the block it was made of (held,
  // so that its address names no other block meanwhile).
  std::unordered_map<const HostBlock*, std::pair<HostBlockPtr, JsonPart>> blocks_;
};

// Whether an Accept-Encoding header value admits gzip: "gzip" (or "x-gzip") listed with a
// q-value above 0, or, when neither is listed, "*" with a q-value above 0. Codings are compared
// without regard to case; an absent header admits nothing but the plain form.
bool acceptsGzip(std::string_view acceptEncoding);

// Whether an If-None-Match header value names `etag`: "*", or a comma-separated list of tags of
// which one equals it (a weak "W/" tag counts as its strong form).
bool etagMatches(std::string_view ifNoneMatch, std::string_view etag);

// The metrics page in the Prometheus text exposition format (version 0.0.4): hosts per game type
// (from `snapshot`, none when null), requests by kind and outcome and a histogram of their
// handling time by kind, console errors by kind, connections, budgets in use, snapshots, the last
// one's duration and age (age only once one has finished), commits, log bytes, bytes written, the
// histograms of snapshot, commit and acknowledgement-to-durable times, listing bytes, sweep
// removals, snapshot version, start time, `version` as a build-info label, and the standard
// process_* figures of `process` (none when nullopt). `nowSeconds` is the wall clock, for ages.
// With `cluster` given and enabled, the cluster's figures too: whether the node is connected to
// NATS, values published, confirmed, failed and applied, changes in the outbox, and the histograms
// of acknowledgement to replication and of the apply lag; none of them otherwise.
std::string metricsText(const ServerStats& stats, const SnapshotPtr& snapshot,
                        std::string_view version, std::int64_t nowSeconds,
                        const std::optional<ProcessFigures>& process,
                        const ClusterStatus* cluster = nullptr);

// The health verdict and its one-line reason.
struct HealthReport {
  bool healthy = false;
  std::string reason;  // one line, no line end
};

// Healthy when the loop's heartbeat is at most `maxSilence` old at `steadyNowMs` (the steady
// clock in milliseconds, as loopAliveAtMs counts it), the last commit to the log succeeded and the
// last snapshot did too. The reason names what failed first: a loop that has not started, a
// silent loop, a failed commit (with the changes that wait), or a failed snapshot. With `cluster`
// given and enabled, the reason ends with "; cluster: connected" or "; cluster: disconnected",
// which never makes the node unhealthy: a NATS outage must not take every node out of a balancer
// at once, while each still serves from its own registry.
HealthReport checkHealth(const ServerStats& stats, std::int64_t steadyNowMs,
                         std::chrono::milliseconds maxSilence,
                         const ClusterStatus* cluster = nullptr);

}  // namespace dirserver
