#include "cluster/nats_link.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dirserver {
namespace {

using namespace std::chrono_literals;

constexpr auto kFirstPause = 250ms;
constexpr auto kLongestPause = 5000ms;
// How long the bucket has to confirm a publish before it counts as failed and is sent again.
constexpr std::int64_t kAckWaitMillis = 5000;
// How long the watcher waits for the next entry before it looks at its flags again.
constexpr std::int64_t kWatchPollMillis = 250;
// Entries handed to the loop at once, at most: bounds the loop's pass while catching up.
constexpr std::size_t kEntriesPerBatch = 512;

std::string statusText(natsStatus status) {
  const char* last = nats_GetLastError(nullptr);
  std::string text = natsStatus_GetText(status);
  if (last != nullptr && *last != '\0' && text != last) text += std::string(" (") + last + ")";
  return text;
}

}  // namespace

NatsLink::NatsLink(ClusterSettings settings, ClusterEvents events)
    : settings_(std::move(settings)),
      events_(std::move(events)),
      subjectPrefix_("$KV." + settings_.bucket + ".") {}

void NatsLink::start() {
  if (started_) return;
  started_ = true;
  publisher_ = std::thread([this] { publishLoop(); });
  watcher_ = std::thread([this] { watchLoop(); });
}

void NatsLink::publish(std::string key, Bytes value) {
  {
    const std::lock_guard lock(mutex_);
    latest_[key] = std::move(value);
    bool& queued = queued_[key];
    if (!queued) {
      queued = true;
      queue_.push_back(std::move(key));
    }
  }
  wake_.notify_all();
}

void NatsLink::stop() {
  if (!started_) return;
  started_ = false;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (publisher_.joinable()) publisher_.join();
  if (watcher_.joinable()) watcher_.join();
  if (kv_ != nullptr) kvStore_Destroy(kv_);
  if (js_ != nullptr) jsCtx_Destroy(js_);
  if (connection_ != nullptr) natsConnection_Destroy(connection_);
  if (options_ != nullptr) natsOptions_Destroy(options_);
  // The library's own threads and memory go with it; one link per process.
  nats_Close();
  kv_ = nullptr;
  js_ = nullptr;
  connection_ = nullptr;
  options_ = nullptr;
}

void NatsLink::say(std::string line) {
  if (events_.line) events_.line(std::move(line));
}

// Waits `wait`, or less when stop() comes; returns false when it came.
bool NatsLink::pause(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_; });
}

// Makes the connection once; the client library reconnects it from then on, for ever. A first
// connect that fails is retried by the library too (the connection exists, not yet connected).
bool NatsLink::connect() {
  if (connection_ != nullptr) return true;
  if (options_ == nullptr) {
    std::vector<const char*> servers;
    for (const std::string& server : settings_.servers) servers.push_back(server.c_str());
    natsStatus status = natsOptions_Create(&options_);
    if (status == NATS_OK) {
      status = natsOptions_SetServers(options_, servers.data(), static_cast<int>(servers.size()));
    }
    if (status == NATS_OK) status = natsOptions_SetName(options_, settings_.nodeName.c_str());
    if (status == NATS_OK) status = natsOptions_SetMaxReconnect(options_, -1);
    if (status == NATS_OK) status = natsOptions_SetReconnectWait(options_, 500);
    if (status == NATS_OK) status = natsOptions_SetTimeout(options_, 2000);
    // With a callback, a first connect that fails returns at once and goes on in the background.
    if (status == NATS_OK) {
      status = natsOptions_SetRetryOnFailedConnect(options_, true, onConnected, this);
    }
    if (status == NATS_OK) status = natsOptions_SetReconnectedCB(options_, onReconnected, this);
    if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(options_, onDisconnected, this);
    if (status != NATS_OK) {
      say("+error: cluster: the NATS client's options: " + statusText(status) + "\n");
      natsOptions_Destroy(options_);
      options_ = nullptr;
      return false;
    }
  }
  const natsStatus status = natsConnection_Connect(&connection_, options_);
  if (status == NATS_OK) connected_ = true;
  if (status != NATS_OK && status != NATS_NOT_YET_CONNECTED) {
    connection_ = nullptr;
    return false;
  }
  jsOptions options;
  jsOptions_Init(&options);
  options.PublishAsync.AckHandler = onPublished;
  options.PublishAsync.AckHandlerClosure = this;
  if (natsConnection_JetStream(&js_, connection_, &options) != NATS_OK) {
    natsConnection_Destroy(connection_);
    connection_ = nullptr;
    return false;
  }
  return true;
}

// Binds the bucket, creating it when it is missing.
bool NatsLink::openBucket() {
  natsStatus status = js_KeyValue(&kv_, js_, settings_.bucket.c_str());
  if (status == NATS_NOT_FOUND) {
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = settings_.bucket.c_str();
    config.History = 1;
    config.Replicas = settings_.replicas;
    // The bucket's maximum age counts in nanoseconds.
    config.TTL = settings_.maxAgeSeconds * 1'000'000'000;
    status = js_CreateKeyValue(&kv_, js_, &config);
    if (status == NATS_OK) {
      say("- cluster: created the bucket '" + settings_.bucket + "' with " +
          std::to_string(settings_.replicas) + " replicas\n");
    }
  }
  if (status != NATS_OK) {
    kv_ = nullptr;
    return false;
  }
  return true;
}

void NatsLink::publishLoop() {
  auto wait = std::chrono::milliseconds(kFirstPause);
  bool complained = false;
  while (!(connect() && openBucket())) {
    if (!complained) {
      say("+warning: cluster: cannot open the bucket '" + settings_.bucket +
          "' yet; serving from this node's registry and retrying\n");
      complained = true;
    }
    if (!pause(wait)) return;
    wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestPause);
  }
  say("- cluster: node '" + settings_.nodeName + "' follows the bucket '" + settings_.bucket + "'\n");
  {
    const std::lock_guard lock(mutex_);
    bucketReady_ = true;
  }
  wake_.notify_all();

  wait = kFirstPause;
  for (;;) {
    std::vector<std::pair<std::string, Bytes>> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      while (!queue_.empty() && batch.size() < kEntriesPerBatch) {
        std::string key = std::move(queue_.front());
        queue_.pop_front();
        queued_.erase(key);
        if (const auto found = latest_.find(key); found != latest_.end()) {
          batch.emplace_back(std::move(key), found->second);
        }
      }
    }
    // A bucket that refused or did not confirm a publish (a stream without its leader after a
    // restart, say) is given a pause before the next, so that the retries do not spin.
    if (ackFailed_.exchange(false)) {
      if (!pause(wait)) break;
      wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestPause);
    }
    bool failed = false;
    for (auto& [key, value] : batch) {
      if (failed) {
        requeue(key);
        continue;
      }
      const std::string subject = subjectPrefix_ + key;
      natsMsg* message = nullptr;
      natsStatus status = natsMsg_Create(&message, subject.c_str(), nullptr,
                                         reinterpret_cast<const char*>(value.data()),
                                         static_cast<int>(value.size()));
      if (status == NATS_OK) {
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MaxWait = kAckWaitMillis;
        status = js_PublishMsgAsync(js_, &message, &options);
      }
      natsMsg_Destroy(message);
      if (status != NATS_OK) {
        // Kept (unless a newer value came meanwhile) and sent again after a pause.
        failed = true;
        requeue(key);
      }
    }
    if (failed) {
      if (!pause(wait)) break;
      wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestPause);
    } else if (!ackFailed_) {
      wait = kFirstPause;
    }
  }
  // What is in flight gets a moment to be confirmed.
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = 2000;
  js_PublishAsyncComplete(js_, &options);
}

// Puts `key` back in the queue, unless it waits there already; its newest value goes out.
void NatsLink::requeue(const std::string& key) {
  const std::lock_guard lock(mutex_);
  bool& queued = queued_[key];
  if (queued) return;
  queued = true;
  queue_.push_back(key);
}

void NatsLink::onPublished(jsCtx*, natsMsg* message, jsPubAck* ack, jsPubAckErr*, void* closure) {
  auto* link = static_cast<NatsLink*>(closure);
  const char* subject = natsMsg_GetSubject(message);
  const std::size_t prefix = link->subjectPrefix_.size();
  if (subject != nullptr && std::strlen(subject) > prefix) {
    link->confirm(subject + prefix, reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(message)),
                  natsMsg_GetDataLength(message), ack != nullptr);
  }
  natsMsg_Destroy(message);
}

// The bucket's answer to a publish of `key`: a confirmed value is forgotten unless a newer one
// waits; a failed one is sent again (the newest value of its key, which supersedes it).
void NatsLink::confirm(const std::string& key, const std::uint8_t* data, int size, bool ok) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = latest_.find(key);
    if (found == latest_.end()) return;
    const bool same = found->second.size() == static_cast<std::size_t>(size) &&
                      std::equal(found->second.begin(), found->second.end(), data);
    if (ok) {
      if (same && !queued_[key]) {
        latest_.erase(found);
        queued_.erase(key);
      }
      return;
    }
    ackFailed_ = true;
    if (queued_[key]) return;
    queued_[key] = true;
    queue_.push_back(key);
  }
  wake_.notify_all();
}

void NatsLink::onReconnected(natsConnection*, void* closure) {
  auto* link = static_cast<NatsLink*>(closure);
  link->connected_ = true;
  link->reconnected_ = true;
}

void NatsLink::onConnected(natsConnection*, void* closure) {
  static_cast<NatsLink*>(closure)->connected_ = true;
}

void NatsLink::onDisconnected(natsConnection*, void* closure) {
  static_cast<NatsLink*>(closure)->connected_ = false;
}

void NatsLink::watchLoop() {
  {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || bucketReady_; });
    if (stopping_) return;
  }
  kvWatcher* watcher = nullptr;
  auto wait = std::chrono::milliseconds(kFirstPause);
  bool complained = false;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    // A watcher can go silent after a reconnect: a new one starts with the current values.
    if (watcher != nullptr && reconnected_.exchange(false)) {
      kvWatcher_Destroy(watcher);
      watcher = nullptr;
    }
    if (watcher == nullptr) {
      kvWatchOptions options;
      kvWatchOptions_Init(&options);
      options.IgnoreDeletes = true;
      const natsStatus status = kvStore_WatchAll(&watcher, kv_, &options);
      if (status != NATS_OK) {
        watcher = nullptr;
        if (!complained) {
          say("+warning: cluster: cannot watch the bucket: " + statusText(status) + "; retrying\n");
          complained = true;
        }
        if (!pause(wait)) break;
        wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestPause);
        continue;
      }
      if (complained) say("- cluster: watching the bucket again\n");
      complained = false;
      wait = kFirstPause;
    }
    std::vector<BucketEntry> batch;
    bool caughtUp = false;
    natsStatus status = NATS_OK;
    std::int64_t timeout = kWatchPollMillis;
    while (batch.size() < kEntriesPerBatch) {
      kvEntry* entry = nullptr;
      status = kvWatcher_Next(&entry, watcher, timeout);
      if (status != NATS_OK) break;
      timeout = 1;
      if (entry == nullptr) {
        caughtUp = true;
        break;
      }
      if (kvEntry_Operation(entry) == kvOp_Put) {
        BucketEntry decoded;
        decoded.key = kvEntry_Key(entry);
        decoded.revision = kvEntry_Revision(entry);
        const ByteView value(static_cast<const std::uint8_t*>(kvEntry_Value(entry)),
                             static_cast<std::size_t>(kvEntry_ValueLen(entry)));
        const std::string why = decodeHostState(value, decoded.state);
        if (why.empty()) {
          batch.push_back(std::move(decoded));
        } else {
          say("+warning: cluster: value of '" + decoded.key + "' (revision " +
              std::to_string(decoded.revision) + ") refused: " + why + "\n");
        }
      }
      kvEntry_Destroy(entry);
    }
    if ((!batch.empty() || caughtUp) && events_.entries) events_.entries(std::move(batch), caughtUp);
    if (status != NATS_OK && status != NATS_TIMEOUT) {
      kvWatcher_Destroy(watcher);
      watcher = nullptr;
    }
  }
  if (watcher != nullptr) kvWatcher_Destroy(watcher);
}

}  // namespace dirserver
