#include "http/http_views.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/histogram.h"
#include "http/gzip.h"
#include "listing/listing_json.h"

namespace dirserver {
namespace {

// Label values for the counters' enumerations, in enumeration order.
constexpr std::string_view kRequestKinds[] = {"list", "registration", "shutdown", "ack", "other"};
constexpr std::string_view kRequestOutcomes[] = {"served", "rejected", "refused"};
static_assert(std::size(kRequestKinds) == static_cast<std::size_t>(RequestKind::Count));
static_assert(std::size(kRequestOutcomes) == static_cast<std::size_t>(RequestOutcome::Count));

std::uint64_t load(const ServerStats::Counter& counter) {
  return counter.load(std::memory_order_relaxed);
}

// A label value with '\', '"' and line ends escaped, as the text format requires.
std::string labelValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// Builds the exposition: each family's HELP and TYPE lines once, then its samples.
class Exposition {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  void sample(std::string_view name, std::string_view labels, std::string_view value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void sample(std::string_view name, std::string_view labels, std::uint64_t value) {
    sample(name, labels, std::to_string(value));
  }
  void sample(std::string_view name, std::string_view labels, std::int64_t value) {
    sample(name, labels, std::to_string(value));
  }
  void seconds(std::string_view name, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    sample(name, {}, text);
  }
  // The samples of one histogram (its family line written before): a cumulative count per bucket,
  // "+Inf", the sum and the count. `labels` (may be empty) go before each bucket's "le".
  void histogram(std::string_view name, std::string_view labels, const LatencyHistogram& values) {
    const std::string prefix = labels.empty() ? std::string() : std::string(labels) + ",";
    const std::string bucket = std::string(name) + "_bucket";
    for (std::size_t i = 0; i < LatencyHistogram::kBuckets; ++i) {
      char bound[32];
      std::snprintf(bound, sizeof bound, "%g", kLatencyBounds[i]);
      sample(bucket, prefix + "le=\"" + bound + "\"", values.cumulative(i));
    }
    const std::uint64_t count = values.count();
    sample(bucket, prefix + "le=\"+Inf\"", count);
    char sum[32];
    std::snprintf(sum, sizeof sum, "%.9f", values.sumSeconds());
    sample(std::string(name) + "_sum", labels, sum);
    sample(std::string(name) + "_count", labels, count);
  }
  // One family of a single unlabelled sample.
  template <typename Value>
  void single(std::string_view name, std::string_view type, std::string_view help, Value value) {
    family(name, type, help);
    sample(name, {}, value);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace

std::string_view ServersJson::slice(std::size_t offset, std::size_t most) const {
  const auto end = std::upper_bound(partEnds.begin(), partEnds.end(), offset);
  if (end == partEnds.end()) return {};
  const std::string& part = *parts[static_cast<std::size_t>(end - partEnds.begin())];
  const std::size_t at = offset - (*end - part.size());
  return std::string_view(part).substr(at, most);
}

std::shared_ptr<const ServersJson> ServersJsonCache::update(const SnapshotPtr& snapshot) {
  if (auto cached = latest(); cached && cached->version == snapshot->version) return cached;
  auto built = std::make_shared<ServersJson>();
  built->version = snapshot->version;
  const std::string tag = instance_ + "-" + std::to_string(snapshot->version);
  built->etag = "\"" + tag + "\"";
  decltype(blocks_) kept;
  built->parts = snapshotJsonParts(*snapshot, server_, [&](const HostBlockPtr& block) {
    const auto known = blocks_.find(block.get());
    JsonPart json = known != blocks_.end()
                        ? known->second.second
                        : std::make_shared<const std::string>(
                              encodeHostBlockJson(*block, snapshot->takenAt));
    kept.emplace(block.get(), std::pair{block, json});
    return json;
  });
  // Only this version's blocks are kept: older versions' JSON lives on only in their listings.
  blocks_ = std::move(kept);
  std::size_t offset = 0;
  built->partEnds.reserve(built->parts.size());
  std::vector<std::string_view> texts;
  texts.reserve(built->parts.size());
  for (const JsonPart& part : built->parts) {
    built->partEnds.push_back(offset += part->size());
    texts.push_back(*part);
  }
  if (std::optional<std::string> compressed = gzipPieces(texts)) {
    built->gzipEtag = "\"" + tag + "-gzip\"";
    built->gzipBody = std::move(*compressed);
  }
  std::lock_guard lock(mutex_);
  // Never replace a newer version with an older one.
  if (!cached_ || cached_->version <= built->version) cached_ = std::move(built);
  return cached_;
}

std::shared_ptr<const ServersJson> ServersJsonCache::latest() const {
  std::lock_guard lock(mutex_);
  return cached_;
}

bool acceptsGzip(std::string_view acceptEncoding) {
  constexpr std::string_view kBlanks = " \t";
  const auto trim = [&](std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string_view();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
  };
  const auto lower = [](std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  std::optional<bool> gzip, star;
  while (!acceptEncoding.empty()) {
    const std::size_t comma = acceptEncoding.find(',');
    std::string_view item = acceptEncoding.substr(0, comma);
    acceptEncoding = comma == std::string_view::npos ? std::string_view() : acceptEncoding.substr(comma + 1);
    const std::size_t semicolon = item.find(';');
    const std::string coding = lower(trim(item.substr(0, semicolon)));
    // The weight: 1 unless a "q" parameter says otherwise; one that does not parse admits nothing.
    double weight = 1;
    for (std::string_view params = semicolon == std::string_view::npos ? std::string_view()
                                                                        : item.substr(semicolon + 1);
         !params.empty();) {
      const std::size_t next = params.find(';');
      const std::string_view param = trim(params.substr(0, next));
      params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
      const std::size_t equals = param.find('=');
      if (equals == std::string_view::npos || lower(trim(param.substr(0, equals))) != "q") continue;
      const std::string value(trim(param.substr(equals + 1)));
      char* end = nullptr;
      weight = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0') weight = 0;
    }
    if (coding == "gzip" || coding == "x-gzip") gzip = weight > 0;
    if (coding == "*") star = weight > 0;
  }
  return gzip ? *gzip : star.value_or(false);
}

bool etagMatches(std::string_view ifNoneMatch, std::string_view etag) {
  constexpr std::string_view kBlanks = " \t";
  while (!ifNoneMatch.empty()) {
    const std::size_t comma = ifNoneMatch.find(',');
    std::string_view tag = ifNoneMatch.substr(0, comma);
    ifNoneMatch = comma == std::string_view::npos ? std::string_view() : ifNoneMatch.substr(comma + 1);
    const std::size_t first = tag.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) continue;
    tag = tag.substr(first, tag.find_last_not_of(kBlanks) - first + 1);
    if (tag == "*") return true;
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    if (tag == etag) return true;
  }
  return false;
}

std::string metricsText(const ServerStats& stats, const SnapshotPtr& snapshot,
                        std::string_view version, std::int64_t nowSeconds,
                        const std::optional<ProcessFigures>& process,
                        const ClusterStatus* cluster) {
  Exposition out;

  out.family("dirserver_hosts", "gauge", "Hosts registered, by game type.");
  for (ServerType type : kServerTypes) {
    const std::string labels = "type=\"" + std::to_string(index(type)) + "\",path=\"" +
                               labelValue(kServerTypePaths[index(type)]) + "\"";
    const std::uint64_t count = snapshot ? snapshot->hosts[index(type)].size() : 0;
    out.sample("dirserver_hosts", labels, count);
  }
  out.single("dirserver_snapshot_version", "gauge",
             "Version of the registry snapshot shown; grows with every change.",
             snapshot ? snapshot->version : std::uint64_t{0});

  out.family("dirserver_requests_total", "counter", "Requests on the game port, by kind and outcome.");
  for (std::size_t kind = 0; kind < std::size(kRequestKinds); ++kind) {
    for (std::size_t outcome = 0; outcome < std::size(kRequestOutcomes); ++outcome) {
      const std::string labels = "kind=\"" + std::string(kRequestKinds[kind]) + "\",outcome=\"" +
                                 std::string(kRequestOutcomes[outcome]) + "\"";
      out.sample("dirserver_requests_total", labels, load(stats.requests[kind][outcome]));
    }
  }

  out.family("dirserver_request_duration_seconds", "histogram",
             "Time the loop took to handle a game port request, from its last byte until its "
             "answer was handed to the kernel, by kind.");
  for (std::size_t kind = 0; kind < std::size(kRequestKinds); ++kind) {
    out.histogram("dirserver_request_duration_seconds",
                  "kind=\"" + std::string(kRequestKinds[kind]) + "\"", stats.requestSeconds[kind]);
  }

  out.family("dirserver_console_errors_total", "counter",
             "Error and warning lines written to the console, by kind.");
  for (const FaultRow& row : kFaults) {
    out.sample("dirserver_console_errors_total", "kind=\"" + std::string(row.label) + "\"",
               load(stats.errors[static_cast<std::size_t>(row.fault)]));
  }

  out.single("dirserver_console_lines_dropped_total", "counter",
             "Console lines dropped because standard output or error did not keep up.",
             load(stats.consoleLinesDropped));

  out.single("dirserver_connections_open", "gauge", "Game port connections open now.",
             load(stats.connectionsOpen));
  out.single("dirserver_connections_accepted_total", "counter",
             "Game port connections accepted.", load(stats.connectionsAccepted));
  out.single("dirserver_connections_refused_total", "counter",
             "Game port connections refused over the per-address limit.",
             load(stats.connectionsRefused));
  out.single("dirserver_connections_shed_total", "counter",
             "Game port connections dropped to make room or to keep within a budget.",
             load(stats.connectionsShed));
  out.single("dirserver_connections_banned_total", "counter",
             "Game port connections closed at accept because their address is banned.",
             load(stats.connectionsBanned));
  out.single("dirserver_bans", "gauge", "Banned address ranges in force.", load(stats.bans));
  out.single("dirserver_ban_removals_total", "counter",
             "Hosts removed because their address was banned.", load(stats.banRemovals));
  out.single("dirserver_operator_removals_total", "counter",
             "Hosts removed by the operator's remove command.", load(stats.operatorRemovals));
  out.single("dirserver_body_budget_bytes", "gauge", "Bytes of the request body budget in use.",
             load(stats.bodyBudgetInUse));
  out.single("dirserver_answer_budget_bytes", "gauge", "Bytes of the answer budget in use.",
             load(stats.answerBudgetInUse));

  out.single("dirserver_saves_total", "counter",
             "Snapshots of the registry written as the server list file.", load(stats.savesDone));
  out.single("dirserver_save_failures_total", "counter",
             "Snapshots of the server list file that failed.", load(stats.savesFailed));
  out.single("dirserver_save_pending", "gauge",
             "1 while an acknowledged change is not yet durable on disk.",
             std::uint64_t{stats.savePending.load(std::memory_order_relaxed)});
  out.single("dirserver_last_save_failed", "gauge", "1 when the latest snapshot failed.",
             std::uint64_t{stats.lastSaveFailed.load(std::memory_order_relaxed)});
  out.family("dirserver_last_save_duration_seconds", "gauge", "How long the latest snapshot took.");
  out.seconds("dirserver_last_save_duration_seconds",
              static_cast<double>(load(stats.lastSaveMicroseconds)) / 1e6);
  if (const std::int64_t finished = stats.lastSaveFinishedAt.load(std::memory_order_relaxed);
      finished > 0) {
    out.single("dirserver_last_save_timestamp_seconds", "gauge",
               "When the latest snapshot finished, in seconds since 1970.", finished);
    out.single("dirserver_last_save_age_seconds", "gauge",
               "Seconds since the latest snapshot finished.", nowSeconds - finished);
  }
  out.family("dirserver_snapshot_duration_seconds", "histogram", "How long snapshots took.");
  out.histogram("dirserver_snapshot_duration_seconds", {}, stats.checkpointTime);
  out.single("dirserver_commits_total", "counter",
             "Commits of changes to the server list log (one write and one sync each).",
             load(stats.commitsDone));
  out.single("dirserver_commit_failures_total", "counter",
             "Commits to the server list log that failed.", load(stats.commitsFailed));
  out.single("dirserver_last_commit_failed", "gauge", "1 when the latest commit failed.",
             std::uint64_t{stats.lastCommitFailed.load(std::memory_order_relaxed)});
  out.single("dirserver_changes_pending", "gauge",
             "Acknowledged changes not yet durable on disk.", load(stats.changesPending));
  out.single("dirserver_log_bytes", "gauge",
             "Bytes of the server list logs since the list in place.", load(stats.logBytes));
  out.single("dirserver_disk_bytes_written_total", "counter",
             "Bytes written to the server list, its log and owners file.", load(stats.bytesWritten));
  out.family("dirserver_commit_duration_seconds", "histogram",
             "How long commits to the server list log took, write and sync.");
  out.histogram("dirserver_commit_duration_seconds", {}, stats.commitTime);
  out.family("dirserver_ack_to_durable_seconds", "histogram",
             "From a change's acknowledgement to the end of the commit that made it durable.");
  out.histogram("dirserver_ack_to_durable_seconds", {}, stats.ackToDurable);

  out.single("dirserver_listing_bytes", "gauge", "Size of the listing reply.",
             load(stats.listingBytes));
  out.single("dirserver_host_bytes", "gauge",
             "Bytes of the hosts' stored strings, which new hosts may not take past "
             "--max-host-bytes.",
             load(stats.hostBytes));
  out.single("dirserver_rate_buckets_lost_total", "counter",
             "Per-address rate buckets dropped from their full table before they had refilled.",
             load(stats.rateBucketsLost));
  out.single("dirserver_sweep_removals_total", "counter",
             "Hosts dropped by the expiry sweep.", load(stats.sweepRemovals));
  out.single("dirserver_start_time_seconds", "gauge", "When the server started, in seconds since 1970.",
             stats.startedAt.load(std::memory_order_relaxed));
  out.family("dirserver_build_info", "gauge", "Always 1; the server's version is its label.");
  out.sample("dirserver_build_info", "version=\"" + labelValue(version) + "\"", std::uint64_t{1});

  if (cluster != nullptr && cluster->enabled) {
    out.single("dirserver_cluster_connected", "gauge",
               "1 while the node is connected to a NATS server of its cluster, 0 otherwise.",
               std::uint64_t{cluster->connected.load(std::memory_order_relaxed)});
    out.single("dirserver_cluster_published_total", "counter",
               "Changes of this node handed to NATS for the cluster's bucket, retries included.",
               load(cluster->published));
    out.single("dirserver_cluster_confirmed_total", "counter",
               "Changes of this node the cluster's bucket confirmed it stored.",
               load(cluster->confirmed));
    out.single("dirserver_cluster_failed_total", "counter",
               "Publishes of this node's changes that failed: not sent, not confirmed in time, or "
               "refused by the bucket because the host changed since.",
               load(cluster->failed));
    out.single("dirserver_cluster_applied_total", "counter",
               "Values of the cluster's bucket this node applied, its own included.",
               load(cluster->applied));
    out.single("dirserver_cluster_outbox_changes", "gauge",
               "Changes this node acknowledged that wait in its outbox for the bucket's "
               "confirmation.",
               load(cluster->outboxChanges));
    out.family("dirserver_ack_to_replicated_seconds", "histogram",
               "From a change's acknowledgement on this node to the bucket's confirmation that it "
               "stored it.");
    out.histogram("dirserver_ack_to_replicated_seconds", {}, cluster->ackToReplicated);
    out.family("dirserver_cluster_apply_lag_seconds", "histogram",
               "From a change's publication by any node (its time stamp) to its application on "
               "this node, by this node's clock; a stamp ahead of the clock counts as 0.");
    out.histogram("dirserver_cluster_apply_lag_seconds", {}, cluster->applyLag);
  }

  // Under the names and help texts that Prometheus client libraries give them.
  if (process) {
    out.family("process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in seconds.");
    out.seconds("process_cpu_seconds_total", process->cpuSeconds);
    out.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               process->residentBytes);
    out.single("process_open_fds", "gauge", "Number of open file descriptors.",
               process->openDescriptors);
    out.single("process_max_fds", "gauge", "Maximum number of open file descriptors.",
               process->maxDescriptors);
    out.family("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.");
    out.seconds("process_start_time_seconds", process->startTimeSeconds);
  }
  return out.take();
}

namespace {

HealthReport loopHealth(const ServerStats& stats, std::int64_t steadyNowMs,
                        std::chrono::milliseconds maxSilence) {
  const std::int64_t aliveAt = stats.loopAliveAtMs.load(std::memory_order_relaxed);
  if (aliveAt == 0) return {false, "unhealthy: the loop has not started"};
  const std::int64_t silence = steadyNowMs - aliveAt;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(silence) / 1000.0);
  if (silence > maxSilence.count()) {
    return {false, std::string("unhealthy: the loop has not answered for ") + seconds};
  }
  if (stats.lastCommitFailed.load(std::memory_order_relaxed)) {
    return {false, "unhealthy: the last commit to the server list log failed and " +
                       std::to_string(load(stats.changesPending)) + " changes wait to be saved"};
  }
  if (stats.lastSaveFailed.load(std::memory_order_relaxed)) {
    return {false, "unhealthy: the last snapshot of the server list failed"};
  }
  std::string reason = std::string("ok: the loop answered ") + seconds + " ago, ";
  if (load(stats.commitsDone) > 0 || stats.lastSaveFinishedAt.load(std::memory_order_relaxed) > 0) {
    reason += "the last save succeeded";
  } else {
    reason += stats.savePending.load(std::memory_order_relaxed) ? "changes wait for the first save"
                                                                : "nothing saved yet";
  }
  return {true, reason};
}

}  // namespace

HealthReport checkHealth(const ServerStats& stats, std::int64_t steadyNowMs,
                         std::chrono::milliseconds maxSilence, const ClusterStatus* cluster) {
  HealthReport report = loopHealth(stats, steadyNowMs, maxSilence);
  if (cluster != nullptr && cluster->enabled) {
    report.reason += cluster->connected.load(std::memory_order_relaxed) ? "; cluster: connected"
                                                                        : "; cluster: disconnected";
  }
  return report;
}

}  // namespace dirserver
