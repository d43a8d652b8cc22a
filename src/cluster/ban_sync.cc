#include "cluster/ban_sync.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <utility>

namespace dirserver {
namespace {

using namespace std::chrono_literals;

constexpr auto kFirstPause = 250ms;
constexpr auto kLongestPause = 5000ms;
// How long the watcher waits for the next entry before it publishes what waits: bounds how long
// a ban waits for its publish.
constexpr std::int64_t kWatchPollMillis = 100;

std::string statusText(natsStatus status) {
  const char* last = nats_GetLastError(nullptr);
  std::string text = natsStatus_GetText(status);
  if (last != nullptr && *last != '\0' && text != last) text += std::string(" (") + last + ")";
  return text;
}

std::int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

BanSync::BanSync(NatsLink& link, BanSyncSettings settings, BanSyncEvents events)
    : link_(link), settings_(std::move(settings)), events_(std::move(events)) {}

void BanSync::start(std::vector<Ban> seed) {
  if (started_) return;
  started_ = true;
  seed_ = std::move(seed);
  thread_ = std::thread([this] { run(); });
}

void BanSync::publish(Ban ban, bool lifted, std::string by) {
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(Change{BanRecord{std::move(ban), settings_.nodeName, std::move(by), nowMillis()},
                            lifted});
  }
  wake_.notify_all();
}

void BanSync::stop() {
  if (!started_) return;
  started_ = false;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (kv_ != nullptr) kvStore_Destroy(kv_);
  kv_ = nullptr;
}

void BanSync::say(std::string line) {
  if (events_.line) events_.line(std::move(line));
}

bool BanSync::pause(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_; });
}

// Binds the bans bucket, creating it when it is missing.
bool BanSync::open(jsCtx* js, std::string& why) {
  if (kv_ != nullptr) return true;
  natsStatus status = js_KeyValue(&kv_, js, settings_.bucket.c_str());
  if (status == NATS_NOT_FOUND) {
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = settings_.bucket.c_str();
    config.History = 1;
    config.Replicas = settings_.replicas;
    status = js_CreateKeyValue(&kv_, js, &config);
  }
  if (status != NATS_OK) {
    why = statusText(status);
    kv_ = nullptr;
    return false;
  }
  return true;
}

// A bucket without the marker is new: this node's bans go in first, the marker after them, so
// that a node that dies between the two leaves a bucket the next node seeds again. Two nodes that
// seed one new bucket at once put in both their bans.
bool BanSync::seedIfNew(std::string& why) {
  kvEntry* entry = nullptr;
  natsStatus status = kvStore_Get(&entry, kv_, kBansMarkerKey);
  if (status == NATS_OK) {
    kvEntry_Destroy(entry);
    seed_.clear();
    return true;
  }
  if (status != NATS_NOT_FOUND) {
    why = "its marker: " + statusText(status);
    return false;
  }
  const std::int64_t now = nowMillis();
  for (const Ban& ban : seed_) {
    const Bytes value = encodeBanValue(BanRecord{ban, settings_.nodeName, "seed", now});
    std::uint64_t revision = 0;
    status = kvStore_Put(&revision, kv_, banKey(ban.range).c_str(), value.data(),
                         static_cast<int>(value.size()));
    if (status != NATS_OK) {
      why = "seeding it: " + statusText(status);
      return false;
    }
  }
  std::uint64_t revision = 0;
  status = kvStore_CreateString(&revision, kv_, kBansMarkerKey, settings_.nodeName.c_str());
  // Another node marked it first: the bucket is in use either way.
  if (status != NATS_OK && kvStore_Get(&entry, kv_, kBansMarkerKey) == NATS_OK) {
    kvEntry_Destroy(entry);
    status = NATS_OK;
  }
  if (status != NATS_OK) {
    why = "its marker: " + statusText(status);
    return false;
  }
  say("- cluster: the bans bucket '" + settings_.bucket + "' is new; seeding it with this node's " +
      std::to_string(seed_.size()) + " bans\n");
  seed_.clear();
  return true;
}

// Publishes what waits, in order; stops at the first failure, which stays first in the queue.
bool BanSync::flush(std::string& why) {
  for (;;) {
    Change change;
    {
      const std::lock_guard lock(mutex_);
      if (queue_.empty() || stopping_) return true;
      change = queue_.front();
    }
    const std::string key = banKey(change.record.ban.range);
    natsStatus status = NATS_OK;
    if (change.lifted) {
      status = kvStore_Delete(kv_, key.c_str());
    } else {
      const Bytes value = encodeBanValue(change.record);
      std::uint64_t revision = 0;
      status = kvStore_Put(&revision, kv_, key.c_str(), value.data(), static_cast<int>(value.size()));
    }
    if (status != NATS_OK) {
      why = statusText(status);
      return false;
    }
    const std::lock_guard lock(mutex_);
    queue_.pop_front();
  }
}

void BanSync::run() {
  jsCtx* js = nullptr;
  while (js == nullptr) {
    {
      const std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    js = link_.jetStream(kFirstPause);
  }
  auto wait = std::chrono::milliseconds(kFirstPause);
  bool complained = false;
  std::string why;
  kvWatcher* watcher = nullptr;
  std::uint64_t watchedSince = 0;  // the link's reconnects when the watcher was made
  bool initial = false;            // the watcher is still handing over the current values
  bool marked = false;             // the bucket has its marker
  std::map<std::string, BanRecord> current;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    bool ok = open(js, why) && (marked || (marked = seedIfNew(why))) && flush(why);
    if (ok && (watcher == nullptr || watchedSince != link_.reconnects())) {
      if (watcher != nullptr) kvWatcher_Destroy(watcher);
      watcher = nullptr;
      watchedSince = link_.reconnects();
      kvWatchOptions options;
      kvWatchOptions_Init(&options);
      const natsStatus status = kvStore_WatchAll(&watcher, kv_, &options);
      if (status != NATS_OK) {
        watcher = nullptr;
        why = "watching it: " + statusText(status);
        ok = false;
      }
      initial = true;
      current.clear();
    }
    if (ok) {
      kvEntry* entry = nullptr;
      const natsStatus status = kvWatcher_Next(&entry, watcher, kWatchPollMillis);
      if (status == NATS_TIMEOUT) continue;
      if (status != NATS_OK) {
        kvWatcher_Destroy(watcher);
        watcher = nullptr;
        why = "its watcher: " + statusText(status);
        ok = false;
      } else if (entry == nullptr) {
        initial = false;
        std::vector<BanRecord> bans;
        for (auto& [key, record] : current) bans.push_back(std::move(record));
        current.clear();
        if (events_.current) events_.current(std::move(bans));
      } else {
        const std::string key = kvEntry_Key(entry);
        const bool lifted = kvEntry_Operation(entry) != kvOp_Put;
        BanRecord record;
        std::string refused;
        if (const auto range = rangeOfBanKey(key)) {
          record.ban.range = *range;
          if (!lifted) {
            const ByteView value(static_cast<const std::uint8_t*>(kvEntry_Value(entry)),
                                 static_cast<std::size_t>(kvEntry_ValueLen(entry)));
            refused = decodeBanValue(key, value, record);
          }
        } else if (key != kBansMarkerKey) {
          refused = "not the key of a range";
        }
        kvEntry_Destroy(entry);
        if (!refused.empty()) {
          say("+warning: cluster: ban '" + key + "' in the bucket '" + settings_.bucket +
              "' ignored: " + refused + "\n");
        } else if (key != kBansMarkerKey) {
          if (initial && lifted) {
            current.erase(key);
          } else if (initial) {
            current[key] = std::move(record);
          } else if (events_.changed) {
            events_.changed(std::move(record), lifted);
          }
        }
      }
      if (ok) {
        wait = kFirstPause;
        if (complained) say("- cluster: the bans bucket '" + settings_.bucket + "' answers again\n");
        complained = false;
        continue;
      }
    }
    if (!complained) {
      say("+warning: cluster: the bans bucket '" + settings_.bucket + "': " + why +
          "; bans wait for it and are retried\n");
      complained = true;
    }
    if (!pause(wait)) break;
    wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestPause);
  }
  if (watcher != nullptr) kvWatcher_Destroy(watcher);
}

}  // namespace dirserver
