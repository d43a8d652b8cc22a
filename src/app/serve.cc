#include "app/serve.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <unordered_set>

#include "app/service_notify.h"

#include "cluster/ban_sync.h"
#include "cluster/reconcile.h"
#include "common/task_runner.h"
#include "net/reactor.h"
#include "persist/list_saver.h"
#include "persist/outbox_file.h"
#include "server/console_relay.h"
#include "server/control.h"
#include "server/change_path.h"
#include "server/cluster_replica.h"
#include "server/outbox_gate.h"
#include "server/startup_reconcile.h"
#include "server/server_core.h"

namespace dirserver {
namespace {

// SIGTERM and SIGINT stop the server, SIGHUP reads the bans file again.
sigset_t loopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// Turns SIGTERM, SIGINT and SIGHUP into events of the loop. After the first SIGTERM or SIGINT,
// those two get their default action back, so a second one ends the process at once, and the
// loop stops listening for signals: a reload during the stop would change nothing. The signals
// must be blocked in every thread (see serveUntilStopped) for the loop to be the one that takes
// them.
class LoopSignals final : public EventHandler {
 public:
  LoopSignals(Reactor& reactor, ServerCore& core, const ServiceNotifier& systemd,
              ControlServer* control)
      : reactor_(reactor), core_(core), systemd_(systemd), control_(control) {
    const sigset_t signals = loopSignals();
    fd_ = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ >= 0) reactor_.watch(fd_, this, EPOLLIN);
    // Without a way to hear them, the signals keep their default action: they end the server.
    if (fd_ < 0 || reactor_.watchedEvents(fd_) == 0) {
      ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    }
  }
  ~LoopSignals() override {
    if (fd_ >= 0) {
      reactor_.watch(fd_, this, 0);
      ::close(fd_);
    }
  }

  void onEvents(std::uint32_t) override {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGHUP) {
        if (control_ != nullptr) control_->reloadBans();
        continue;
      }
      reactor_.watch(fd_, this, 0);
      const sigset_t stop = stopSignals();
      ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
      systemd_.notify("STOPPING=1");
      core_.stop();
      return;
    }
  }

 private:
  Reactor& reactor_;
  ServerCore& core_;
  const ServiceNotifier& systemd_;
  ControlServer* control_;
  int fd_ = -1;
};

}  // namespace

int serveUntilStopped(const std::vector<int>& listenSockets, ServerContext& context,
                      std::size_t maxConnections, const LoadResult& loaded,
                      const Companion& companion, ControlSetup control,
                      std::vector<Ipv4Range> proxyFrom, const ClusterSettings* cluster) {
  CoreSettings settings;
  settings.maxConnections = maxConnections;
  settings.proxyFrom = std::move(proxyFrom);
  const ControlSettings controlSettings{control.bansFile};
  // Blocked before the saver's and the worker's threads start, which inherit the mask: only the
  // loop takes them.
  const sigset_t blocked = loopSignals();
  ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  Reactor reactor;
  if (!reactor.ready()) {
    // Like a failed listen: without a way to wait for connections there is nothing to serve.
    std::fprintf(context.console.err, "+error: epoll_create1() error\n");
    return 1;
  }
  ChangePath* changes = nullptr;
  ListSaver saver(
      context.listFile, loaded,
      [&reactor, &changes](const CommitReport& report) {
        reactor.post([&changes, report] { changes->commitFinished(report); });
      },
      [&reactor, &changes](const CheckpointReport& report) {
        reactor.post([&changes, report] { changes->checkpointFinished(report); });
      });
  // Writes and reads of the bans file, off the loop.
  WorkerThread files;
  ServerStatus status;
  // Cluster mode: the changes the bucket has not confirmed, in a file beside the list, made
  // durable on a thread of its own before each batch goes on to the log.
  std::optional<Outbox> outbox;
  std::optional<OutboxGate> gate;
  if (cluster != nullptr) {
    outbox.emplace(systemEnv(), outboxFileBeside(context.listFile), kMaxServers);
    if (const std::string said = outbox->load(); !said.empty()) {
      std::fprintf(context.console.err, "+warning: cluster: %s\n", said.c_str());
    }
    gate.emplace(saver, *outbox, std::make_unique<WorkerThread>(),
                 [&reactor, &context](const std::string& error) {
                   reactor.post([&context, error] {
                     std::fprintf(context.console.err,
                                  "+warning: cluster: the outbox file: %s; rewritten at the next "
                                  "change\n",
                                  error.c_str());
                   });
                 });
    outbox->onDirty([&gate] { gate->flushSoon(); });
    // What /metrics, /healthz and the status command show of the cluster.
    status.cluster.enabled = true;
    status.cluster.nodeName = cluster->nodeName;
    status.cluster.bucket = cluster->bucket;
    status.cluster.replicas = cluster->replicas;
    outbox->reportSizeTo(&status.cluster.outboxChanges);
  }
  ChangePath changePath(reactor, context, gate ? static_cast<Saver&>(*gate) : saver, status);
  changes = &changePath;
  // From here on, whatever changes the registry is a change: loading is done.
  changePath.attach(loaded.logBytes, loaded.rewrite || !loaded.liveLogs.empty());
  ServerCore server(reactor, context, changePath, settings);
  // The bans are kept (and reloaded at SIGHUP) with or without a control socket.
  std::optional<ControlServer> controlServer;
  if (control.socket >= 0 || !control.bansFile.empty()) {
    controlServer.emplace(reactor, server, context, files, std::move(control.bans),
                          controlSettings);
    if (control.socket >= 0) controlServer->listen(control.socket);
  }
  const ServiceNotifier systemd = ServiceNotifier::fromEnvironment();
  LoopSignals signals(reactor, server, systemd, controlServer ? &*controlServer : nullptr);
  // Sent by a timer of the loop, so that systemd restarts a server whose loop has stopped turning.
  std::optional<Timer> watchdog;
  if (const auto interval = systemd.watchdogInterval()) {
    watchdog.emplace(reactor, [&reactor, &systemd, &watchdog, every = *interval] {
      systemd.notify("WATCHDOG=1");
      watchdog->setAt(reactor.now() + every);
    });
    watchdog->setAt(reactor.now());
  }
  ConsoleRelay relay(reactor, context.console);
  // Cluster mode: the bucket's entries and the link's lines reach the loop through its queue.
  std::optional<ClusterReplica> replica;
  std::optional<StartupReconcile> reconcile;
  std::optional<NatsLink> link;
  std::optional<BanSync> banSync;
  if (cluster != nullptr) {
    ClusterEvents events;
    events.entries = [&reactor, &replica, &reconcile](std::vector<BucketEntry> entries,
                                                      bool caughtUp) {
      reactor.post([&replica, &reconcile, entries = std::move(entries), caughtUp] {
        reconcile->observe(entries);
        replica->apply(entries, caughtUp);
      });
    };
    events.caughtUp = [&reactor, &reconcile](std::string bucketId, std::size_t hostKeys) {
      reactor.post([&reconcile, bucketId = std::move(bucketId), hostKeys] {
        reconcile->caughtUp(bucketId, hostKeys);
      });
    };
    // Progress ("- ...") goes to standard output, warnings and errors to standard error.
    events.line = [&relay](const std::string& line) {
      relay.print(line, line.compare(0, 2, "- ") == 0);
    };
    link.emplace(*cluster, std::move(events));
    link->useOutbox(&*outbox);
    link->reportTo(&status.cluster);
    // Each change goes into the outbox (made durable with its batch) and on to the publisher.
    const PublishValue publish = [&link, &outbox, &context](std::string key, Bytes value) {
      if (!outbox->put(key, value) && outbox->refusalToSay()) {
        std::fprintf(context.console.err,
                     "+warning: cluster: the outbox holds %zu changes; further ones are "
                     "published but not kept across a restart\n",
                     outbox->size());
      }
      link->publish(std::move(key), std::move(value));
    };
    replica.emplace(reactor, context, changePath, cluster->nodeName, publish,
                    ReplicaSettings{.printEveryChange = cluster->printEveryChange});
    replica->reportTo(&status.cluster);
    // An entry this node wrote is an older value of its own unless it is the waiting change
    // itself, which applies: after a kill the outbox can hold a change the log had not yet.
    replica->skipWhen([&outbox, &node = cluster->nodeName](const BucketEntry& entry) {
      const bool older = entry.state.node == node &&
                         !outbox->holds(entry.key, encodeHostState(entry.state));
      return keepsLocalChange(outbox->revisionOf(entry.key), entry.revision, older);
    });
    // What the outbox kept from before goes out again once the bucket is there.
    std::unordered_set<std::string> waiting;
    for (auto& [key, entry] : outbox->entries()) {
      waiting.insert(key);
      link->publish(key, std::move(entry.value));
    }
    const std::string bucketIdFile = bucketIdFileBeside(context.listFile);
    reconcile.emplace(context, changePath, *replica, std::move(waiting), cluster->bucket,
                      readBucketId(systemEnv(), bucketIdFile), publish,
                      [&gate, &reactor, &context, bucketIdFile](std::string id) {
                        gate->afterFlush([&reactor, &context, bucketIdFile, id] {
                          std::string error;
                          if (writeBucketId(systemEnv(), bucketIdFile, id, error)) return;
                          reactor.post([&context, error] {
                            std::fprintf(context.console.err,
                                         "+warning: cluster: the bucket's id: %s\n",
                                         error.c_str());
                          });
                        });
                      });
    link->start();
    // The bans: the cluster's bucket of them becomes this node's list and bans file, and this
    // node's operator's changes go into it.
    if (controlServer) {
      BanSyncEvents banEvents;
      banEvents.current = [&reactor, &controlServer](std::vector<BanRecord> records) {
        reactor.post([&controlServer, records = std::move(records)] {
          std::vector<Ban> bans;
          bans.reserve(records.size());
          for (const BanRecord& record : records) bans.push_back(record.ban);
          controlServer->followBans(bans);
        });
      };
      banEvents.changed = [&reactor, &controlServer](BanRecord record, bool lifted) {
        reactor.post([&controlServer, record = std::move(record), lifted] {
          controlServer->followBan(record.ban, lifted, record.node);
        });
      };
      banEvents.line = [&relay](const std::string& line) {
        relay.print(line, line.compare(0, 2, "- ") == 0);
      };
      banSync.emplace(*link,
                      BanSyncSettings{bansBucketName(cluster->bucket), cluster->replicas,
                                      cluster->nodeName},
                      std::move(banEvents));
      controlServer->publishBansTo(
          [&banSync](const Ban& ban, bool lifted, const std::string& by) {
            banSync->publish(ban, lifted, by);
          });
      banSync->start(controlServer->bans().bans());
    }
  }
  for (const int listenSocket : listenSockets) server.listen(listenSocket);
  if (companion.start) {
    std::string error;
    const LoopConsoleLine print = [&relay](std::string line) { relay.print(std::move(line)); };
    if (!companion.start(server.status(), print, error)) {
      relay.printHandedOver();
      std::fprintf(context.console.err, "+error: --http: %s\n", error.c_str());
      return 1;
    }
  }
  systemd.notify("READY=1");
  reactor.run();
  if (banSync) banSync->stop();
  if (link) link->stop();
  if (companion.stop) companion.stop();
  relay.printHandedOver();
  return changePath.stoppedClean() ? 0 : 1;
}

}  // namespace dirserver
