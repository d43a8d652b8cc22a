// The executables of the build run as an operator runs them: child processes started in a
// directory of their own, their standard output and error written to files there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/loopback.h"

namespace dirserver::testing {

// How long a wait for the real executable lasts before the test gives up: far beyond what any step
// takes on a quiet machine, because a CI machine running the suite two tests at a time, beside the
// disk traffic of other tests' fsyncs, can stall a process for seconds.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(20);

// One run of `program` with `args`, started in `dir` with its standard output and error going to
// NAME.out and NAME.err there (emptied first), or its standard output to `outFd` when that is
// given. It gets SIGKILL if the test process dies; the destructor SIGKILLs it and reaps it.
class Process {
 public:
  Process(const std::filesystem::path& dir, const std::string& name, const std::string& program,
          const std::vector<std::string>& args = {}, int outFd = -1);
  ~Process() { kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Waits until the server accepts connections at `server` and acknowledges a request. Returns
  // false when the process ends first or nothing answers within `limit`.
  bool waitServing(const ServerAddress& server = {},
                   std::chrono::milliseconds limit = kPatience);

  // The exit code once the process has ended within `limit`; -1 when it has not, or when a
  // signal ended it.
  int waitExit(std::chrono::milliseconds limit = kPatience);

  // SIGKILLs the process unless it has ended, and reaps it.
  void kill();

  // Sends it `number` unless it has ended.
  void signal(int number);

  // What it has written so far.
  std::string out() const;
  std::string err() const;

  // Waits, at most `limit`, until what it wrote to standard output (standard error when
  // `fromErr`) holds `text`: the server's lines reach their files a moment after it printed them
  // (and after its answers), from a thread of its own. Lines of both streams come out in the order
  // they were printed, so a line waited for on one stream has every earlier line of the other
  // behind it. Returns whether the text came.
  bool waitOutput(const std::string& text, bool fromErr = false,
                  std::chrono::milliseconds limit = kPatience) const;

 private:
  bool exited();

  std::filesystem::path out_;
  std::filesystem::path err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool done_ = false;
};

// What a program run to its end printed, and how it ended.
struct Finished {
  int status = -1;  // the exit code; -1 when it was killed
  std::string out;
  std::string err;
};

// Runs `program` with `args` in `dir` until it ends, SIGKILLing it after `limit`. Its output
// passes through files in `dir` named after the program.
Finished runToEnd(const std::filesystem::path& dir, const std::string& program,
                  const std::vector<std::string>& args,
                  std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace dirserver::testing
