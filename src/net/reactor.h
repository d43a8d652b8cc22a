// The reactor: readiness of descriptors, timers and work handed in from other threads, dispatched
// on the one thread that runs it. It knows nothing of requests, peers or files; the server core
// registers what it wants to hear about.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/clock.h"

namespace dirserver {

class Reactor;

// Something that waits for a descriptor to become ready.
class EventHandler {
 public:
  virtual ~EventHandler() = default;
  // `events` are epoll's (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP...).
  virtual void onEvents(std::uint32_t events) = 0;
};

// A deadline that calls its action when the reactor's clock reaches it. Belongs to its owner;
// destroying it cancels it.
class Timer {
 public:
  Timer(Reactor& reactor, std::function<void()> action);
  ~Timer() { cancel(); }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Arms the timer for `when`, replacing any earlier time.
  void setAt(SteadyClock::time_point when);
  void cancel();
  bool armed() const { return armed_; }

 private:
  friend class Reactor;
  Reactor& reactor_;
  std::function<void()> action_;
  std::multimap<SteadyClock::time_point, Timer*>::iterator position_;
  bool armed_ = false;
};

class Reactor {
 public:
  // Reads the time from `clock`'s steady clock (the system's in the server, one the test moves in
  // tests), which must outlive the reactor.
  explicit Reactor(const Clock& clock = systemClock());
  ~Reactor();
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  // Whether the reactor could be set up (epoll and its wake-up descriptor exist).
  bool ready() const { return epoll_ >= 0 && wake_ >= 0; }

  SteadyClock::time_point now() const { return clock_.steadyNow(); }

  // Starts, changes or (events 0) ends the interest in `fd`; asking for what is in force already
  // costs no system call. `handler` must outlive the interest. End the interest before closing
  // `fd`, so that a descriptor of the same number starts afresh.
  void watch(int fd, EventHandler* handler, std::uint32_t events);

  // The events `fd` is watched for; 0 when it is not.
  std::uint32_t watchedEvents(int fd) const;

  // Runs `work` on the reactor's thread in its next pass. The only member safe to call from
  // another thread; it wakes the reactor.
  void post(std::function<void()> work);

  // Runs `work` at the end of the current pass, after every event of the pass has been handled:
  // the time to release what those events may still point at.
  void defer(std::function<void()> work);

  // One pass: waits for readiness at most until the nearest timer, and at most `maxWait`; then
  // handles the ready descriptors, the posted work, the timers that are due, and the deferred
  // work, in that order. Tests pass a zero wait and move their clock themselves. Returns whether
  // anything was handled.
  bool runOnce(SteadyClock::duration maxWait = std::chrono::minutes(1));

  // Passes until stop(); stop() may come from a handler or, through post(), from another thread.
  void run();
  void stop() { stopping_ = true; }
  bool stopping() const { return stopping_; }

 private:
  friend class Timer;
  bool fireDueTimers();

  const Clock& clock_;
  int epoll_ = -1;
  int wake_ = -1;  // an eventfd
  struct Interest {
    EventHandler* handler = nullptr;
    std::uint32_t events = 0;
  };
  std::unordered_map<int, Interest> interests_;
  std::multimap<SteadyClock::time_point, Timer*> timers_;
  std::mutex postedMutex_;
  std::vector<std::function<void()>> posted_;
  std::vector<std::function<void()>> deferred_;
  bool stopping_ = false;
};

}  // namespace dirserver
