// Keeps the durable outbox no later than the log: in cluster mode the change path hands its
// batches to this saver, which, on the outbox's writer thread, first makes the outbox hold what
// the loop put in it (appended and synced), and only then hands the batch on to the saver of the
// log. A change the log holds is therefore in the outbox too, whenever the process dies.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cluster/outbox.h"
#include "common/task_runner.h"
#include "persist/list_saver.h"

namespace dirserver {

// Every call goes through `runner` (a WorkerThread in the server), in order, so that the inner
// saver sees them as the loop made them and from one thread; the destructor lets the runner finish
// every job first. `inner` and `outbox` must outlive the gate. `failed` hears, on the runner's
// thread, of a flush that failed (the batch still goes on: the log is not held up by the outbox,
// whose next flush rewrites it).
class OutboxGate final : public Saver {
 public:
  OutboxGate(Saver& inner, Outbox& outbox, std::unique_ptr<TaskRunner> runner,
             std::function<void(const std::string& error)> failed)
      : inner_(inner), outbox_(outbox), failed_(std::move(failed)), runner_(std::move(runner)) {}
  OutboxGate(const OutboxGate&) = delete;
  OutboxGate& operator=(const OutboxGate&) = delete;

  void append(std::uint64_t batch, std::vector<HostChange> changes) override;
  void checkpoint(SnapshotPtr snapshot, bool last) override;
  void retry() override;
  void hurry() override;

  // Flushes the outbox on the runner's thread (a confirmation's drop, say).
  void flushSoon();
  // Runs `job` on the runner's thread once the outbox holds what was put in it before this call.
  void afterFlush(std::function<void()> job);

 private:
  void flush();

  Saver& inner_;
  Outbox& outbox_;
  std::function<void(const std::string&)> failed_;
  std::unique_ptr<TaskRunner> runner_;  // last: gone, its jobs done, before the rest
};

}  // namespace dirserver
