#include "common/console_queue.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/journal.h"

namespace dirserver {

namespace {

enum StreamIndex : int { kOut = 0, kErr = 1 };

// Bytes for one descriptor, in the order they were printed.
struct Piece {
  int stream = kOut;
  std::string bytes;
};

// Where a descriptor's bytes go, and what the writing thread keeps about it.
struct Destination {
  int fd = -1;
  std::optional<PriorityLines> priorities;  // for the journal
  bool failed = false;                      // a write failed: what comes is dropped

  // Writes `bytes`, each line behind its priority for the journal.
  void write(std::string_view bytes) {
    if (!priorities) return writeAll(bytes);
    std::string prefixed;
    priorities->add(bytes, prefixed);
    writeAll(prefixed);
  }

  // Writes the start of a line still held for its priority, as it is: the stream ends.
  void finish() {
    if (!priorities) return;
    std::string rest;
    priorities->finish(rest);
    writeAll(rest);
  }

  void writeAll(std::string_view bytes) {
    while (!bytes.empty() && !failed) {
      const ssize_t written = ::write(fd, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        failed = true;
        break;
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
  }
};

std::size_t lineCount(const std::vector<Piece>& pieces) {
  std::size_t lines = 0;
  for (const Piece& piece : pieces) {
    lines += static_cast<std::size_t>(std::count(piece.bytes.begin(), piece.bytes.end(), '\n'));
  }
  // A group that ends within a line: that line is one more.
  if (!pieces.empty() && !pieces.back().bytes.empty() && pieces.back().bytes.back() != '\n') {
    ++lines;
  }
  return lines;
}

}  // namespace

struct ConsoleQueue::State {
  explicit State(std::size_t capacity) : capacity(capacity) {}

  // The loop's side: what a stream wrote, held until its line or its group is complete. What is
  // held belongs to the one thread that prints, so holding takes no lock: only queueing does.
  void received(int stream, std::string_view bytes) {
    if (!held.empty() && held.back().stream == stream) {
      held.back().bytes.append(bytes);
    } else {
      held.push_back({stream, std::string(bytes)});
    }
    heldBytes += bytes.size();
    if (groupDepth == 0 && !bytes.empty() && bytes.back() == '\n') queueHeld();
  }

  // Queues what is held (see commit) and wakes the writer if it is due, after letting go of the
  // mutex: woken while the loop still held it, the writer would only wait for it again.
  void queueHeld() {
    if (held.empty()) return;
    bool wakeWriter = false;
    {
      std::lock_guard lock(mutex);
      wakeWriter = commit();
    }
    if (!wakeWriter) return;
    if (wakesHeld) {
      wakeOwed = true;
    } else {
      wake.notify_one();
    }
  }

  // Wakes the writer if a wake-up was held back for it. On the printing thread.
  void payOwedWake() {
    if (std::exchange(wakeOwed, false)) wake.notify_one();
  }

  // Queues what is held, or drops all of it when it does not fit. What is larger than the queue
  // itself goes when the queue is empty. Requires the mutex; returns whether the writer must be
  // woken for it.
  bool commit() {
    bool wakeWriter = false;
    if (held.empty()) return wakeWriter;
    if (queuedBytes == 0 || queuedBytes + heldBytes <= capacity) {
      for (Piece& piece : held) queue.push_back(std::move(piece));
      queuedBytes += heldBytes;
      // One wake-up until the writer has taken what is queued: lines that come meanwhile ride
      // on it instead of each paying for a system call.
      wakeWriter = !wakeSent;
      wakeSent = true;
    } else {
      const std::uint64_t lines = lineCount(held);
      unreported += lines;
      dropped.fetch_add(lines, std::memory_order_relaxed);
    }
    held.clear();
    heldBytes = 0;
    return wakeWriter;
  }

  // The writing thread: writes the queue out, and after drops, once it has drained, says so.
  void write() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (!queue.empty()) {
        // All that is queued at once, each run of one stream's pieces in one write: under a
        // stream of registrations, a system call and a lock hand-over per line cost this thread
        // a seventh of the server's processor time.
        std::deque<Piece> batch;
        batch.swap(queue);
        wakeSent = false;
        lock.unlock();
        std::size_t written = 0;
        for (std::size_t i = 0; i < batch.size();) {
          const int stream = batch[i].stream;
          std::string bytes = std::move(batch[i].bytes);
          for (++i; i < batch.size() && batch[i].stream == stream; ++i) bytes += batch[i].bytes;
          destinations[stream].write(bytes);
          written += bytes.size();
        }
        lock.lock();
        queuedBytes -= written;
        continue;
      }
      if (unreported > 0) {
        const std::string line = "+warning: console could not keep up: " +
                                 std::to_string(unreported) + " lines dropped\n";
        unreported = 0;
        lock.unlock();
        destinations[kErr].write(line);
        lock.lock();
        continue;
      }
      drained.notify_all();
      if (stopping) break;
      wake.wait(lock);
    }
    for (Destination& destination : destinations) destination.finish();
  }

  bool idle() const { return queue.empty() && queuedBytes == 0 && unreported == 0; }

  const std::size_t capacity;
  std::mutex mutex;
  std::condition_variable wake;     // the writing thread waits for work
  std::condition_variable drained;  // flush() waits for the queue to empty
  std::deque<Piece> queue;
  std::size_t queuedBytes = 0;  // in the queue and being written
  // The printing thread's alone: printed, not yet complete, and the groups open.
  std::vector<Piece> held;
  std::size_t heldBytes = 0;
  int groupDepth = 0;
  bool wakesHeld = false;  // holdWakeUps() until resumeWakeUps()
  bool wakeOwed = false;   // the writer was due a wake-up meanwhile
  std::uint64_t unreported = 0;  // dropped since the last line that said so
  std::atomic<std::uint64_t> dropped{0};
  bool stopping = false;
  bool wakeSent = false;  // the writer was woken and has not taken the queue yet
  Destination destinations[2];  // the writing thread's alone

  // The streams: each one's cookie names the state and the stream.
  struct Cookie {
    State* state;
    int stream;
  };
  static ssize_t writeCookie(void* cookie, const char* data, std::size_t size) {
    auto* target = static_cast<Cookie*>(cookie);
    target->state->received(target->stream, std::string_view(data, size));
    return static_cast<ssize_t>(size);
  }
  static int closeCookie(void*) { return 0; }

  Cookie cookies[2] = {{this, kOut}, {this, kErr}};
  std::FILE* files[2] = {nullptr, nullptr};
};

ConsoleQueue::ConsoleQueue(Target out, Target err, std::size_t capacity)
    : state_(std::make_shared<State>(capacity)) {
  const Target targets[2] = {out, err};
  for (int stream : {kOut, kErr}) {
    Destination& destination = state_->destinations[stream];
    destination.fd = targets[stream].fd;
    if (targets[stream].journal) destination.priorities.emplace(stream == kErr);
    const cookie_io_functions_t functions{nullptr, State::writeCookie, nullptr, State::closeCookie};
    std::FILE* file = ::fopencookie(&state_->cookies[stream], "w", functions);
    // Line-buffered, as standard streams on a terminal are: a line goes in once it is complete.
    if (file != nullptr) std::setvbuf(file, nullptr, _IOLBF, BUFSIZ);
    state_->files[stream] = file;
  }
  // The thread takes no signal: the loop must be the one that hears the stop signals, and a
  // write to a closed pipe fails instead of ending the process.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  writer_ = std::thread([state = state_] { state->write(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ConsoleQueue::~ConsoleQueue() {
  const bool drained = flush(kConsoleExitFlush);
  for (std::FILE*& file : state_->files) {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  // A writer stuck on a descriptor nobody reads keeps the state alive until the process ends.
  if (drained) {
    writer_.join();
  } else {
    writer_.detach();
  }
}

Console ConsoleQueue::console() {
  Console console{state_->files[kOut], state_->files[kErr], this};
  // Without a stream of its own (no memory), a kind of line goes where it went before.
  if (console.out == nullptr) console.out = stdout;
  if (console.err == nullptr) console.err = stderr;
  return console;
}

void ConsoleQueue::beginGroup() { ++state_->groupDepth; }

void ConsoleQueue::endGroup() {
  if (state_->groupDepth > 0 && --state_->groupDepth == 0) state_->queueHeld();
}

void ConsoleQueue::holdWakeUps() { state_->wakesHeld = true; }

void ConsoleQueue::resumeWakeUps() {
  state_->wakesHeld = false;
  state_->payOwedWake();
}

std::uint64_t ConsoleQueue::droppedLines() const {
  return state_->dropped.load(std::memory_order_relaxed);
}

bool ConsoleQueue::flush(std::chrono::milliseconds limit) {
  for (std::FILE* file : state_->files) {
    if (file != nullptr) std::fflush(file);
  }
  std::unique_lock lock(state_->mutex);
  if (state_->commit()) state_->wake.notify_one();
  // A wake-up held back is due now: nothing else would wake the writer before the wait ends.
  state_->payOwedWake();
  return state_->drained.wait_for(lock, limit, [this] { return state_->idle(); });
}

Console processConsole() {
  const char* journalStream = std::getenv("JOURNAL_STREAM");
  // Never destroyed: the C library may flush the streams at exit, after every static object has
  // gone, and a writer stuck on a descriptor nobody reads must find its state.
  static ConsoleQueue* const queue =
      new ConsoleQueue({STDOUT_FILENO, isJournalStream(STDOUT_FILENO, journalStream)},
                       {STDERR_FILENO, isJournalStream(STDERR_FILENO, journalStream)});
  std::atexit([] { queue->flush(kConsoleExitFlush); });
  return queue->console();
}

}  // namespace dirserver
