// Work that must not hold up the loop (a file written and synced), run elsewhere in the order it
// was handed in.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace dirserver {

// Runs jobs one at a time, in the order run() was called. A job that has something to report
// hands it to the loop itself (Reactor::post).
class TaskRunner {
 public:
  virtual ~TaskRunner() = default;
  virtual void run(std::function<void()> job) = 0;
};

// Runs the jobs on a thread of its own. The destructor runs every job handed in before it, then
// joins the thread.
class WorkerThread final : public TaskRunner {
 public:
  WorkerThread() : thread_([this] { loop(); }) {}
  ~WorkerThread() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void run(std::function<void()> job) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace dirserver
