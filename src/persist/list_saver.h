// The saver: writes the server list file from snapshots on a thread of its own, so that no peer
// ever waits for a save.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "persist/file_system.h"
#include "registry/registry_snapshot.h"
#include "persist/server_list_file.h"

namespace dirserver {

// Where the server core hands its saves. One save at a time: save() is called again only after
// the previous one has been reported.
class Saver {
 public:
  virtual ~Saver() = default;
  virtual void save(SnapshotPtr snapshot) = 0;
};

// Writes each snapshot with writeServerList on its own thread and hands the outcome and the time
// it took to `report`, which it calls on that thread (the server passes it on to the loop thread).
// Knows only the snapshot and the path: it prints nothing and never touches the registry. The
// destructor lets a save in flight finish (and be reported) before it returns.
class BackgroundSaver final : public Saver {
 public:
  using Report = std::function<void(SaveOutcome, std::chrono::steady_clock::duration)>;

  BackgroundSaver(std::string listFile, Report report, FileSystem& fs = systemFileSystem());
  ~BackgroundSaver() override;
  BackgroundSaver(const BackgroundSaver&) = delete;
  BackgroundSaver& operator=(const BackgroundSaver&) = delete;

  void save(SnapshotPtr snapshot) override;

 private:
  void run();

  const std::string listFile_;
  const Report report_;
  FileSystem& fs_;
  std::mutex mutex_;
  std::condition_variable wake_;
  SnapshotPtr next_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace dirserver
