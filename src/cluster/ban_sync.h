// The bans of a directory cluster: a second bucket ("NAME-bans", beside the hosts' bucket NAME),
// one key per banned range, that every node publishes its operator's bans to and watches. A
// thread of its own does all of it over the host link's connection; the loop hands it changes
// through a queue and hears of the bucket's through callbacks, so that it never waits on NATS.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cluster/ban_value.h"
#include "cluster/nats_link.h"

namespace dirserver {

struct BanSyncSettings {
  std::string bucket;  // the bans bucket's name (bansBucketName of the hosts' bucket)
  int replicas = 3;    // its copies when this node creates it
  std::string nodeName;
};

// What the bans bucket tells the loop, from the sync's thread. Any may be empty.
struct BanSyncEvents {
  // The bucket's bans, all of them: each time its watcher starts (at start, after a reconnect).
  std::function<void(std::vector<BanRecord> bans)> current;
  // A later change: `record` put, or (lifted) its range's ban lifted (only record.ban.range and,
  // when known, who lifted it are then set).
  std::function<void(BanRecord record, bool lifted)> changed;
  // A console line, with its line end.
  std::function<void(std::string line)> line;
};

// Opens the bans bucket once the link has the hosts' bucket (creating it when missing: history 1,
// no maximum age, settings.replicas copies). A bucket without the marker key kBansMarkerKey is
// new: the sync puts the `seed` bans into it first (this node's bans file when it started, so that
// a running server that joins a cluster keeps its bans), then writes the marker, and says so. A
// bucket with the marker is the cluster's: its bans are the node's, even none. Then it publishes
// what it is handed, in order, and watches the bucket. A publish that fails is kept and retried,
// with a pause that doubles up to five seconds, ahead of any later one; the watcher is made anew
// after a reconnect or an error, and hands over the whole set again. What it was handed and had
// not published when the process ends is lost with it (the node's bans file keeps the ban).
class BanSync {
 public:
  // `link` must outlive the sync and stop after it.
  BanSync(NatsLink& link, BanSyncSettings settings, BanSyncEvents events);
  ~BanSync() { stop(); }
  BanSync(const BanSync&) = delete;
  BanSync& operator=(const BanSync&) = delete;

  // Starts the thread, with the signals the loop takes blocked. Call once.
  void start(std::vector<Ban> seed);

  // Hands a ban (`lifted` false) or the lifting of its range to the thread. `by` says how it was
  // made ("uid 0", "bans file"). Safe from any thread; never waits on the network.
  void publish(Ban ban, bool lifted, std::string by);

  // Ends the thread, once what it is doing on the network ends (at most the client's timeout).
  void stop();

 private:
  struct Change {
    BanRecord record;
    bool lifted = false;
  };

  void run();
  bool open(jsCtx* js, std::string& why);
  bool seedIfNew(std::string& why);
  bool flush(std::string& why);
  bool pause(std::chrono::milliseconds wait);
  void say(std::string line);

  NatsLink& link_;
  BanSyncSettings settings_;
  BanSyncEvents events_;
  std::vector<Ban> seed_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Change> queue_;

  kvStore* kv_ = nullptr;  // the sync's thread's alone
  std::thread thread_;
  bool started_ = false;
};

}  // namespace dirserver
