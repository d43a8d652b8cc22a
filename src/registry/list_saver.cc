#include "registry/list_saver.h"

namespace dirserver {

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
