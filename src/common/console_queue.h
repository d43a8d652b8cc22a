// The server's console on its standard output and error, written by a thread of its own so that a
// stream that cannot take a line at once (a full pipe, a stalled journal) never holds up the loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "common/console.h"

namespace dirserver {

// The most bytes of lines that wait for a stream that does not keep up.
inline constexpr std::size_t kConsoleQueueBytes = 1024 * 1024;
// How long the lines still waiting are given to go out when the process ends.
inline constexpr std::chrono::milliseconds kConsoleExitFlush{2000};

// Console lines on their way to two descriptors. The streams of console() are written like any
// other (line-buffered), and from one thread only, the loop's: the lines it holds until they are
// complete, and its groups, are that thread's alone and take no lock. What they receive goes into one
// queue that a thread of its own writes out with blocking writes, in the order it came, so that
// the lines of the two descriptors interleave as they were printed. Writing never waits for the
// descriptors: when the queue holds kConsoleQueueBytes, lines that come are dropped and counted
// instead, whole, the lines of a group (ConsoleGroup) all together. Once the queue has drained,
// one line on the error descriptor says how many: "+warning: console could not keep up: N lines
// dropped". A line goes into the queue when it is complete; a group when it ends.
//
// A descriptor marked as the journal's gets each line's syslog priority in front (PriorityLines).
// A descriptor that fails a write loses what was meant for it; nothing is retried. The writing
// thread blocks every signal. Never sets O_NONBLOCK on the descriptors (they may be shared with a
// parent's terminal).
class ConsoleQueue {
 public:
  struct Target {
    int fd = -1;
    bool journal = false;  // prefix each line with its priority
  };

  ConsoleQueue(Target out, Target err, std::size_t capacity = kConsoleQueueBytes);
  // Flushes for at most kConsoleExitFlush; a writing thread still stuck then is left to the
  // process's end.
  ~ConsoleQueue();
  ConsoleQueue(const ConsoleQueue&) = delete;
  ConsoleQueue& operator=(const ConsoleQueue&) = delete;

  // The streams that feed the queue, valid for its life.
  Console console();

  // Between the two, lines are held and go into the queue together when the outermost group ends,
  // or are dropped together. Groups nest. On the thread that prints only.
  void beginGroup();
  void endGroup();

  // From holdWakeUps() until resumeWakeUps(), lines that go into the queue do not wake the writing
  // thread; resumeWakeUps() wakes it once for all of them (a loop holds them for a pass, whose
  // requests then cost the writer one wake-up instead of one each). flush() wakes it whatever
  // is held. On the thread that prints only.
  void holdWakeUps();
  void resumeWakeUps();

  // Lines dropped since the start.
  std::uint64_t droppedLines() const;

  // Puts what the streams hold, whole lines or not, into the queue and waits until everything
  // queued (and the count of dropped lines, if due) is written, at most `limit`. Returns whether
  // it all was.
  bool flush(std::chrono::milliseconds limit);

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread writer_;
};

// Holds the lines printed on `console` during its life together (a no-op for a console without a
// queue).
class ConsoleGroup {
 public:
  explicit ConsoleGroup(const Console& console) : queue_(console.queue) {
    if (queue_ != nullptr) queue_->beginGroup();
  }
  ~ConsoleGroup() {
    if (queue_ != nullptr) queue_->endGroup();
  }
  ConsoleGroup(const ConsoleGroup&) = delete;
  ConsoleGroup& operator=(const ConsoleGroup&) = delete;

 private:
  ConsoleQueue* queue_;
};

// The server's console: a ConsoleQueue on standard output and error that lasts until the process
// ends, and is flushed then for at most kConsoleExitFlush. A stream that JOURNAL_STREAM names gets
// each line's priority in front; on a terminal, a file or a pipe the lines stay as they are. Call
// once.
Console processConsole();

}  // namespace dirserver
