// The dirserver processes and temporary directories a benchmark run makes, and their clean-up on
// every way out: normal return, error, and SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace dirserver::bench {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread it starts afterwards,
// and starts a thread that waits for them: it then SIGKILLs every process started by
// ServerProcess that is still running, removes every TemporaryDirectory that still exists, and
// ends the program with 128 + the signal's number. Call once, first thing in main.
void installCleanupOnSignals();

// A fresh directory under the system's temporary directory ($TMPDIR or /tmp), removed with
// everything in it on destruction. Throws std::runtime_error when it cannot be made.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Whether a listening socket could be bound to port 6001 on every local address now, as the
// server binds it (with SO_REUSEADDR, so connections that linger after an earlier run do not
// count). Fills `why` when it could not.
bool port6001Free(std::string& why);

// One run of the server executable in `dir` with `args`, its standard output and error going to out.txt and
// err.txt there; it gets SIGKILL if this process dies. The destructor SIGKILLs it and reaps it.
class ServerProcess {
 public:
  // Throws std::runtime_error when `executable` cannot be run or the process cannot be started.
  ServerProcess(const std::string& executable, const std::filesystem::path& dir,
                const std::vector<std::string>& args = {});
  ~ServerProcess() { kill(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Waits until the server accepts connections on port 6001 and answers an acknowledgement
  // request; returns the time from the start of the process until it first accepted one. Throws
  // std::runtime_error, with what the server printed on its standard error, when it ends first
  // or is not ready within `limit`.
  std::chrono::duration<double> waitUntilServing(std::chrono::seconds limit);

  // Its process id while it runs, else -1.
  pid_t pid() const { return pid_; }

  // Its resident memory now (VmRSS), in KiB; 0 when it cannot be read.
  std::uint64_t residentKiB() const;

  // What it has printed so far.
  std::string out() const;
  std::string err() const;
  // Waits, at most `limit`, until its standard output holds `text` (its lines reach the file a
  // moment after it printed them, from a thread of its own); returns whether it does.
  bool waitOut(const std::string& text, std::chrono::seconds limit) const;

  void kill();

 private:
  bool exited();

  std::filesystem::path dir_;
  std::chrono::steady_clock::time_point started_;
  pid_t pid_ = -1;
  int status_ = 0;  // once exited() has seen it end
};

// The load average of the machine, as /proc/loadavg shows it ("0.52 0.61 0.40").
std::string loadAverage();

// The type of the file system that holds `path` ("ext4", "tmpfs", ...).
std::string fileSystemType(const std::filesystem::path& path);

}  // namespace dirserver::bench
