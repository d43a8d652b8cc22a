#include "cluster/nats_link.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "cluster/reconcile.h"
#include "common/clock.h"

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
  if (last == nullptr || *last == '\0') return text;
  // The library's own message begins with where in its source it arose: "(conn.c:733): ".
  std::string detail = last;
  if (const std::size_t end = detail.find("): "); detail.starts_with("(") && end != std::string::npos) {
    detail.erase(0, end + 3);
  }
  return detail == text ? text : text + " (" + detail + ")";
}

// The pause before each round of reconnects over the servers: doubles from 250 ms up to 2 s, so
// that a node does not hammer servers that are down, and finds them soon once they are back.
std::int64_t reconnectDelay(natsConnection*, int attempts, void*) {
  const int doublings = std::clamp(attempts - 1, 0, 3);
  return std::int64_t{250} << doublings;
}

// The header that makes the bucket refuse a publish unless the key's last revision is the one
// given (0: the key holds nothing).
constexpr char kExpectedRevisionHeader[] = "Nats-Expected-Last-Subject-Sequence";

// 128 random bits in hex: a bucket's id.
std::string randomId() {
  std::random_device random;
  std::string id;
  constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const unsigned bits = random();
    for (int shift = 0; shift < 16; shift += 4) id += kHex[(bits >> shift) & 0xF];
  }
  return id;
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

jsCtx* NatsLink::jetStream(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, wait, [this] { return stopping_ || bucketReady_; });
  return stopping_ || !bucketReady_ ? nullptr : js_;
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
// connect that fails is the caller's to retry, with `why` it failed (no server answered, a
// certificate the CAs do not vouch for, credentials refused).
bool NatsLink::connect(std::string& why) {
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
    if (status == NATS_OK) {
      status = natsOptions_SetCustomReconnectDelay(options_, reconnectDelay, nullptr);
    }
    if (status == NATS_OK) status = natsOptions_SetTimeout(options_, 2000);
    if (status == NATS_OK) status = natsOptions_SetReconnectedCB(options_, onReconnected, this);
    if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(options_, onDisconnected, this);
    if (status == NATS_OK && !settings_.credsFile.empty()) {
      status = natsOptions_SetUserCredentialsFromFiles(options_, settings_.credsFile.c_str(), nullptr);
    }
    if (status == NATS_OK && !settings_.tlsCaFile.empty()) {
      status = natsOptions_SetSecure(options_, true);
      if (status == NATS_OK) {
        status = natsOptions_LoadCATrustedCertificates(options_, settings_.tlsCaFile.c_str());
      }
    }
    if (status != NATS_OK) {
      why = "the NATS client's options: " + statusText(status);
      natsOptions_Destroy(options_);
      options_ = nullptr;
      return false;
    }
  }
  // A first connect that fails is not left to the library to retry, so that why it failed is
  // known here and said.
  const natsStatus status = natsConnection_Connect(&connection_, options_);
  if (status != NATS_OK) {
    why = statusText(status);
    connection_ = nullptr;
    return false;
  }
  connected_ = true;
  noteConnected(connection_);
  jsOptions options;
  jsOptions_Init(&options);
  options.PublishAsync.AckHandler = onPublished;
  options.PublishAsync.AckHandlerClosure = this;
  if (const natsStatus js = natsConnection_JetStream(&js_, connection_, &options); js != NATS_OK) {
    why = "JetStream: " + statusText(js);
    natsConnection_Destroy(connection_);
    connection_ = nullptr;
    if (status_ != nullptr) status_->connected = false;
    return false;
  }
  return true;
}

// Binds the bucket, creating it when it is missing; says `why` it could not.
bool NatsLink::openBucket(std::string& why) {
  if (kv_ != nullptr) return true;
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
    why = statusText(status);
    kv_ = nullptr;
    return false;
  }
  // The copies the bucket has, which another node may have chosen when it created it.
  kvStatus* bucketStatus = nullptr;
  if (status_ != nullptr && kvStore_Status(&bucketStatus, kv_) == NATS_OK) {
    status_->replicas = static_cast<int>(kvStatus_Replicas(bucketStatus));
    kvStatus_Destroy(bucketStatus);
  }
  return true;
}

// Reads the bucket's id, writing one when the bucket has none yet (the node that created it, or
// the first to find it unmarked).
bool NatsLink::markBucket(std::string& why) {
  {
    const std::lock_guard lock(mutex_);
    if (!bucketId_.empty()) return true;
  }
  kvEntry* entry = nullptr;
  natsStatus status = kvStore_Get(&entry, kv_, kBucketMarkerKey);
  if (status == NATS_NOT_FOUND) {
    const std::string id = randomId();
    std::uint64_t revision = 0;
    if (kvStore_CreateString(&revision, kv_, kBucketMarkerKey, id.c_str()) == NATS_OK) {
      const std::lock_guard lock(mutex_);
      bucketId_ = id;
      return true;
    }
    // Another node marked it first: its id is the bucket's.
    status = kvStore_Get(&entry, kv_, kBucketMarkerKey);
  }
  if (status != NATS_OK) {
    why = "the bucket's id: " + statusText(status);
    return false;
  }
  const std::string id = kvEntry_ValueString(entry);
  kvEntry_Destroy(entry);
  const std::lock_guard lock(mutex_);
  bucketId_ = id;
  return true;
}

void NatsLink::publishLoop() {
  auto wait = std::chrono::milliseconds(kFirstPause);
  bool complained = false;
  std::string why;
  while (!(connect(why) && openBucket(why) && markBucket(why))) {
    if (!complained) {
      say("+warning: cluster: cannot open the bucket '" + settings_.bucket + "' yet (" + why +
          "); serving from this node's registry and retrying\n");
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
  // What this node publishes is checked against the revisions the watcher has seen: none goes
  // before it has the bucket's current values.
  {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || caughtUp_; });
    if (stopping_) return;
  }

  wait = kFirstPause;
  for (;;) {
    std::vector<std::pair<std::string, Bytes>> batch;
    std::deque<std::pair<std::string, Bytes>> refused;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || !refused_.empty(); });
      if (stopping_) break;
      refused.swap(refused_);
    }
    // Before the batch, so that a newer value of a refused key waits for the verdict on the old.
    for (const auto& [key, value] : refused) recheck(key, value);
    {
      const std::lock_guard lock(mutex_);
      while (!queue_.empty() && batch.size() < kEntriesPerBatch) {
        std::string key = std::move(queue_.front());
        queue_.pop_front();
        queued_.erase(key);
        // One value per key in flight, so that the next is checked against the revision the
        // bucket gave this one: it is queued again when this one is answered.
        if (inFlight_.contains(key)) continue;
        if (const auto found = latest_.find(key); found != latest_.end()) {
          inFlight_.insert(key);
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
        settle(key);
        continue;
      }
      const std::string subject = subjectPrefix_ + key;
      natsMsg* message = nullptr;
      natsStatus status = natsMsg_Create(&message, subject.c_str(), nullptr,
                                         reinterpret_cast<const char*>(value.data()),
                                         static_cast<int>(value.size()));
      if (status == NATS_OK && outbox_ != nullptr) {
        // A change on a base this node does not know goes without: the last writer wins.
        const auto revision = outbox_->revisionOf(key);
        if (revision && *revision < kUnknownRevision) {
          status = natsMsgHeader_Set(message, kExpectedRevisionHeader,
                                     std::to_string(*revision).c_str());
        }
      }
      if (status == NATS_OK) {
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MaxWait = kAckWaitMillis;
        status = js_PublishMsgAsync(js_, &message, &options);
      }
      natsMsg_Destroy(message);
      if (status_ != nullptr) ++(status == NATS_OK ? status_->published : status_->failed);
      if (status != NATS_OK) {
        // Kept (unless a newer value came meanwhile) and sent again after a pause.
        failed = true;
        settle(key);
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
  if (js_ == nullptr) return;
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = 2000;
  js_PublishAsyncComplete(js_, &options);
}

// `key` was not published after all: no longer in flight, and queued again.
void NatsLink::settle(const std::string& key) {
  const std::lock_guard lock(mutex_);
  inFlight_.erase(key);
  requeueLocked(key);
}

// Puts `key` back in the queue, unless it waits there already; its newest value goes out.
void NatsLink::requeueLocked(const std::string& key) {
  bool& queued = queued_[key];
  if (queued) return;
  queued = true;
  queue_.push_back(key);
}

void NatsLink::onPublished(jsCtx*, natsMsg* message, jsPubAck* ack, jsPubAckErr* error,
                           void* closure) {
  auto* link = static_cast<NatsLink*>(closure);
  const char* subject = natsMsg_GetSubject(message);
  const std::size_t prefix = link->subjectPrefix_.size();
  if (subject != nullptr && std::strlen(subject) > prefix) {
    link->confirm(subject + prefix, reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(message)),
                  natsMsg_GetDataLength(message), ack, error);
  }
  natsMsg_Destroy(message);
}

// The bucket's answer to a publish of `key`: a confirmed value is forgotten unless a newer one
// waits, which goes next; one refused because the key changed since is looked into (recheck); one
// that failed otherwise is sent again (the newest value of its key, which supersedes it).
void NatsLink::confirm(const std::string& key, const std::uint8_t* data, int size,
                       const jsPubAck* ack, const jsPubAckErr* error) {
  const ByteView value(data, static_cast<std::size_t>(std::max(size, 0)));
  if (ack != nullptr && outbox_ != nullptr) outbox_->confirmed(key, value, ack->Sequence);
  const bool refused =
      ack == nullptr && error != nullptr && error->ErrCode == JSStreamWrongLastSequenceErr;
  {
    const std::lock_guard lock(mutex_);
    if (status_ != nullptr) countAnswer(value, ack != nullptr);
    inFlight_.erase(key);
    const auto found = latest_.find(key);
    if (found == latest_.end()) return;
    const bool same = found->second.size() == value.size() &&
                      std::equal(found->second.begin(), found->second.end(), value.begin());
    if (ack != nullptr && same) {
      if (!queued_[key]) {
        latest_.erase(found);
        queued_.erase(key);
      }
      return;
    }
    if (refused && same) {
      refused_.emplace_back(key, found->second);
    } else {
      if (ack == nullptr) ackFailed_ = true;
      requeueLocked(key);
    }
  }
  wake_.notify_all();
}

// The bucket refused `refused`, the value of `key` waiting here then: the key changed since the
// revision the value was made on. A newer value handed in since is not judged by the old one's
// refusal: it goes out in turn. When the key holds another node's value, that later change wins
// and the value is dropped. When it holds this node's own value, that is an earlier change of ours
// the bucket stored without our hearing of it (its confirmation lost with a NATS server): the
// waiting value came after it, so it goes again, made on that revision. When the key holds nothing
// (the bucket's maximum age removed it), the value goes again as new.
void NatsLink::recheck(const std::string& key, const Bytes& refused) {
  kvEntry* entry = nullptr;
  const natsStatus status = kvStore_Get(&entry, kv_, key.c_str());
  std::uint64_t revision = 0;
  bool ours = false;
  if (status == NATS_OK) {
    revision = kvEntry_Revision(entry);
    HostState held;
    const ByteView heldValue(static_cast<const std::uint8_t*>(kvEntry_Value(entry)),
                             static_cast<std::size_t>(kvEntry_ValueLen(entry)));
    ours = decodeHostState(heldValue, held).empty() && held.node == settings_.nodeName;
    kvEntry_Destroy(entry);
  }
  Bytes value;
  {
    const std::lock_guard lock(mutex_);
    const auto found = latest_.find(key);
    if (found == latest_.end()) return;
    if (found->second != refused) {
      requeueLocked(key);
      return;
    }
    value = found->second;
    if (status == NATS_OK && !ours) {
      latest_.erase(found);
      queued_.erase(key);
    }
  }
  if (ours) {
    if (outbox_ != nullptr) outbox_->rebase(key, value, revision);
    const std::lock_guard lock(mutex_);
    requeueLocked(key);
    return;
  }
  if (status == NATS_OK) {
    if (outbox_ != nullptr) outbox_->rejected(key, value);
    say("- cluster: this node's change of '" + key + "' dropped: the bucket holds a later one " +
        "(revision " + std::to_string(revision) + ")\n");
    return;
  }
  if (status == NATS_NOT_FOUND && outbox_ != nullptr) outbox_->rebase(key, value, 0);
  if (status != NATS_NOT_FOUND) ackFailed_ = true;
  const std::lock_guard lock(mutex_);
  requeueLocked(key);
}

// Counts the bucket's answer to a publish of `value`: confirmed, with the time from the change's
// acknowledgement (the value's time stamp, on this node's clock) to now, or failed. Called with
// mutex_ held, so that one thread at a time fills the histogram.
void NatsLink::countAnswer(ByteView value, bool confirmed) {
  if (!confirmed) {
    ++status_->failed;
    return;
  }
  ++status_->confirmed;
  HostState state;
  if (!decodeHostState(value, state).empty()) return;
  const std::int64_t took = systemClock().wallMilliseconds() - state.stampMillis;
  status_->ackToReplicated.observe(std::chrono::milliseconds(std::max<std::int64_t>(took, 0)));
}

// The connection is up: said to the status with the server's URL.
void NatsLink::noteConnected(natsConnection* connection) {
  if (status_ == nullptr) return;
  char url[256] = {};
  if (natsConnection_GetConnectedUrl(connection, url, sizeof url) == NATS_OK) status_->setServer(url);
  status_->connected = true;
}

void NatsLink::onReconnected(natsConnection* connection, void* closure) {
  auto* link = static_cast<NatsLink*>(closure);
  link->noteConnected(connection);
  link->connected_ = true;
  link->reconnected_ = true;
  ++link->reconnects_;
  link->say("- cluster: connected to NATS again; publishing what waited\n");
}

// Said once per outage: the client library retries on its own, a pause between its rounds.
void NatsLink::onDisconnected(natsConnection*, void* closure) {
  auto* link = static_cast<NatsLink*>(closure);
  if (link->status_ != nullptr) {
    link->status_->connected = false;
    link->status_->setServer({});
  }
  {
    const std::lock_guard lock(link->mutex_);
    if (link->stopping_) {
      link->connected_ = false;
      return;
    }
  }
  if (link->connected_.exchange(false)) {
    link->say(
        "+warning: cluster: lost the connection to NATS; serving from this node's registry, "
        "its changes kept in the outbox until NATS is back\n");
  }
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
  bool announced = false;    // the first catch-up was told
  bool current = false;      // this watcher has handed over the bucket's current values
  std::size_t hostKeys = 0;  // in the current values, until the first catch-up
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
      current = false;
      if (!announced) hostKeys = 0;
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
        current = true;
        break;
      }
      if (kvEntry_Operation(entry) == kvOp_Put &&
          kvEntry_Key(entry) != std::string_view(kBucketMarkerKey)) {
        BucketEntry decoded;
        decoded.key = kvEntry_Key(entry);
        decoded.revision = kvEntry_Revision(entry);
        decoded.storedMillis = kvEntry_Created(entry) / 1'000'000;
        decoded.live = current;
        if (!announced) ++hostKeys;
        const ByteView value(static_cast<const std::uint8_t*>(kvEntry_Value(entry)),
                             static_cast<std::size_t>(kvEntry_ValueLen(entry)));
        const std::string why = decodeHostState(value, decoded.state);
        if (outbox_ != nullptr) {
          outbox_->saw(decoded.key, decoded.revision, why.empty() && decoded.state.removed);
        }
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
    if (caughtUp && !announced) {
      announced = true;
      // Changes made before now learn what they were made on, before the publisher starts.
      if (outbox_ != nullptr) outbox_->caughtUp();
      std::string bucketId;
      {
        const std::lock_guard lock(mutex_);
        caughtUp_ = true;
        bucketId = bucketId_;
      }
      wake_.notify_all();
      if (events_.caughtUp) events_.caughtUp(bucketId, hostKeys);
    }
    if (status != NATS_OK && status != NATS_TIMEOUT) {
      kvWatcher_Destroy(watcher);
      watcher = nullptr;
    }
  }
  if (watcher != nullptr) kvWatcher_Destroy(watcher);
}

}  // namespace dirserver
