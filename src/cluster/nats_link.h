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
#include <vector>

#include <nats/nats.h>

#include "cluster/host_state.h"
#include "common/byte_order.h"

namespace dirserver {

// The descriptors the link holds at most: the client's one connection to a NATS server, another
// while a reconnect replaces it, and spare for its name lookups.
inline constexpr std::uint64_t kClusterDescriptors = 4;

// Where the bucket is and what it looks like when this node creates it.
struct ClusterSettings {
  std::vector<std::string> servers;  // nats://HOST:PORT, at least one
  std::string bucket = "dirserver";
  int replicas = 3;
  std::int64_t maxAgeSeconds = 0;  // the bucket's maximum age of a value (0: none)
  std::string nodeName;
};

// One value of the bucket as the watcher saw it, decoded.
struct BucketEntry {
  std::string key;
  std::uint64_t revision = 0;
  HostState state;
};

// What the link tells the loop, from its own threads. Either may be empty.
struct ClusterEvents {
  // Values of the bucket in its order: the current ones once the watcher starts (again after a
  // reconnect), then every later put. `caughtUp` is true on the call that ends the current ones.
  std::function<void(std::vector<BucketEntry> entries, bool caughtUp)> entries;
  // A console line, with its line end: the link's troubles and recoveries.
  std::function<void(std::string line)> line;
};

// Connects in the background (the node serves from its own registry meanwhile), creates the
// bucket when it is missing (history 1, settings.maxAgeSeconds, settings.replicas), publishes what
// it is handed and watches the whole bucket. Retries every failure with a pause that doubles up to
// five seconds, and keeps what it was handed until the bucket confirms it, the latest value per key.
class NatsLink {
 public:
  NatsLink(ClusterSettings settings, ClusterEvents events);
  ~NatsLink() { stop(); }
  NatsLink(const NatsLink&) = delete;
  NatsLink& operator=(const NatsLink&) = delete;

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

 private:
  void publishLoop();
  void watchLoop();
  bool connect();
  bool openBucket();
  void say(std::string line);
  void requeue(const std::string& key);
  bool pause(std::chrono::milliseconds wait);
  static void onPublished(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error,
                          void* closure);
  static void onConnected(natsConnection* connection, void* closure);
  static void onReconnected(natsConnection* connection, void* closure);
  static void onDisconnected(natsConnection* connection, void* closure);
  void confirm(const std::string& key, const std::uint8_t* data, int size, bool ok);

  ClusterSettings settings_;
  ClusterEvents events_;
  std::string subjectPrefix_;  // "$KV.<bucket>."

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool bucketReady_ = false;
  std::deque<std::string> queue_;                  // keys to publish, in the order handed in
  std::unordered_map<std::string, Bytes> latest_;  // per key: the value not yet confirmed
  std::unordered_map<std::string, bool> queued_;   // keys in queue_

  std::atomic<bool> reconnected_{false};
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
