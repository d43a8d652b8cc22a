// The node's link to the cluster's bucket on NATS JetStream: a publisher thread and a watcher
// thread of its own, the only threads that call the NATS client library. The loop hands it values
// to publish through a queue and hears of the bucket's entries through a callback, so that it
// never waits on the network.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nats/nats.h>

#include "cluster/cluster_status.h"
#include "cluster/host_state.h"
#include "cluster/outbox.h"
#include "common/byte_order.h"

namespace dirserver {

// The descriptors cluster mode holds at most: the client's one connection to a NATS server,
// another while a reconnect replaces it, spare for its name lookups, and two for the outbox file
// (open for appends, and a rewrite's temporary file or the bucket's id file).
inline constexpr std::uint64_t kClusterDescriptors = 6;

// Where the bucket is and what it looks like when this node creates it.
struct ClusterSettings {
  std::vector<std::string> servers;  // nats://HOST:PORT, at least one
  std::string bucket = "dirserver";
  int replicas = 3;
  std::int64_t maxAgeSeconds = 0;  // the bucket's maximum age of a value (0: none)
  std::string nodeName;
  std::string credsFile;  // the NATS user's credentials (JWT and seed); empty: none
  std::string tlsCaFile;  // TLS to the servers, trusting the CAs of this PEM file; empty: plain
  bool printEveryChange = false;  // a console line per change of another node (--console full)
};

// The key that holds the bucket's identity: a random id written by the node that created it. A
// bucket made anew (its store lost, or a new name) has a new one.
inline constexpr char kBucketMarkerKey[] = "_bucket";

// One value of the bucket as the watcher saw it, decoded.
struct BucketEntry {
  std::string key;
  std::uint64_t revision = 0;
  std::int64_t storedMillis = 0;  // the bucket's wall clock when it stored the value; 0 unknown
  HostState state;
  // Stored while the watcher was watching, after it had the bucket's current values: a change as
  // it happens, not one handed over again because a watcher started.
  bool live = false;
};

// What the link tells the loop, from its own threads. Either may be empty.
struct ClusterEvents {
  // Values of the bucket in its order: the current ones once the watcher starts (again after a
  // reconnect), then every later put. `caughtUp` is true on the call that ends the current ones.
  std::function<void(std::vector<BucketEntry> entries, bool caughtUp)> entries;
  // A console line, with its line end: the link's troubles and recoveries.
  std::function<void(std::string line)> line;
  // Once, after the entries call that ended the bucket's current values for the first time: the
  // bucket's id (its marker key) and how many host keys it held then, tombstones included.
  std::function<void(std::string bucketId, std::size_t hostKeys)> caughtUp;
};

// Connects in the background (the node serves from its own registry meanwhile), creates the
// bucket when it is missing (history 1, settings.maxAgeSeconds, settings.replicas), publishes what
// it is handed and watches the whole bucket. Retries every failure with a pause that doubles up to
// five seconds, and keeps what it was handed until the bucket confirms it, the latest value per key.
// Nothing is published before the watcher has the bucket's current values, and one value per key
// is in flight at a time. With an outbox (useOutbox), each publish expects the key's revision
// to be the one its outbox entry was made on; the bucket refuses it when the key changed since,
// and the entry is dropped (the later change wins) unless the key is gone from the bucket (its
// maximum age), in which case it is sent again as new.
class NatsLink {
 public:
  NatsLink(ClusterSettings settings, ClusterEvents events);
  ~NatsLink() { stop(); }
  NatsLink(const NatsLink&) = delete;
  NatsLink& operator=(const NatsLink&) = delete;

  // Confirmations, refusals and the revisions watched go to `outbox`, which must outlive the link.
  // Call before start().
  void useOutbox(Outbox* outbox) { outbox_ = outbox; }

  // The link's figures (connected, the server, the bucket's replicas, published, confirmed,
  // failed, the acknowledgement-to-replicated times) go to `status`, which must outlive the link.
  // Call before start().
  void reportTo(ClusterStatus* status) { status_ = status; }

  // Starts the two threads. Call once, with the signals the loop takes blocked: the threads (and
  // the client library's, which they start) inherit the mask.
  void start();

  // Hands `value` for `key` to the publisher; a value for the same key not yet published is
  // replaced by it. Safe from any thread; never waits on the network.
  void publish(std::string key, Bytes value);

  // Waits, at most two seconds, for the publishes in flight to be confirmed, then ends both
  // threads and the connection, and closes the client library (one link per process). What is
  // still unconfirmed is lost with the process.
  void stop();

  // For the bans' own bucket (cluster/ban_sync.h), which shares this link's connection: the
  // JetStream context once the host bucket is open, waiting at most `wait` for it; nullptr when it
  // is not yet (or the link stops). Valid until stop().
  jsCtx* jetStream(std::chrono::milliseconds wait);
  // How often the connection came back after a loss: a watcher made before it may be silent.
  std::uint64_t reconnects() const { return reconnects_; }

 private:
  void publishLoop();
  void watchLoop();
  bool connect(std::string& why);
  bool openBucket(std::string& why);
  bool markBucket(std::string& why);
  void recheck(const std::string& key, const Bytes& refused);
  void say(std::string line);
  void settle(const std::string& key);
  void noteConnected(natsConnection* connection);
  void countAnswer(ByteView value, bool confirmed);
  void requeueLocked(const std::string& key);
  bool pause(std::chrono::milliseconds wait);
  static void onPublished(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error,
                          void* closure);
  static void onReconnected(natsConnection* connection, void* closure);
  static void onDisconnected(natsConnection* connection, void* closure);
  void confirm(const std::string& key, const std::uint8_t* data, int size, const jsPubAck* ack,
               const jsPubAckErr* error);

  ClusterSettings settings_;
  ClusterEvents events_;
  std::string subjectPrefix_;  // "$KV.<bucket>."

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool bucketReady_ = false;
  bool caughtUp_ = false;   // the watcher has had the bucket's current values once
  std::string bucketId_;    // the marker's value, set before bucketReady_
  std::deque<std::string> queue_;                  // keys to publish, in the order handed in
  std::unordered_map<std::string, Bytes> latest_;  // per key: the value not yet confirmed
  std::unordered_map<std::string, bool> queued_;   // keys in queue_
  std::unordered_set<std::string> inFlight_;       // keys published and not yet answered
  // Keys whose value the bucket refused, each with that value: a newer one may wait by then.
  std::deque<std::pair<std::string, Bytes>> refused_;
  Outbox* outbox_ = nullptr;
  ClusterStatus* status_ = nullptr;

  std::atomic<bool> reconnected_{false};
  std::atomic<std::uint64_t> reconnects_{0};
  std::atomic<bool> ackFailed_{false};  // a publish failed since the publisher last looked
  std::atomic<bool> connected_{false};
  natsOptions* options_ = nullptr;
  natsConnection* connection_ = nullptr;
  jsCtx* js_ = nullptr;
  kvStore* kv_ = nullptr;
  std::thread publisher_;
  std::thread watcher_;
  bool started_ = false;
};

}  // namespace dirserver
