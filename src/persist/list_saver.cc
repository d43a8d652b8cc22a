#include "persist/list_saver.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dirserver {
namespace {

// The saver yields to the loop: a save at 10,000 hosts copies and syncs some 300 MB, and on a
// machine of few cores it must not take the processor or the disk from the peers' requests. The
// lowest best-effort priorities do that without starving the save (best effort: a failure leaves
// the thread as it was).
void yieldToTheLoop() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 10);
  constexpr int kWhoProcess = 1, kClassBestEffort = 2, kLowest = 7, kClassShift = 13;
  ::syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(thread),
            (kClassBestEffort << kClassShift) | kLowest);
}

}  // namespace

BackgroundSaver::BackgroundSaver(std::string listFile, Report report, FileSystem& fs)
    : listFile_(std::move(listFile)), report_(std::move(report)), fs_(fs) {
  thread_ = std::thread([this] { run(); });
}

BackgroundSaver::~BackgroundSaver() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void BackgroundSaver::save(SnapshotPtr snapshot) {
  {
    std::lock_guard lock(mutex_);
    next_ = std::move(snapshot);
  }
  wake_.notify_one();
}

void BackgroundSaver::run() {
  yieldToTheLoop();
  for (;;) {
    SnapshotPtr snapshot;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return next_ != nullptr || stopping_; });
      if (next_ == nullptr) return;
      snapshot = std::move(next_);
    }
    const auto started = std::chrono::steady_clock::now();
    const SaveOutcome outcome = writeServerList(*snapshot, listFile_, fs_);
    // The snapshot's records go before the report: the loop may measure memory right after it.
    snapshot.reset();
    report_(outcome, std::chrono::steady_clock::now() - started);
  }
}

}  // namespace dirserver
