#include "support/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "support/child_process.h"
#include "support/loopback.h"

namespace dirserver::testing {
namespace {

std::string readText(const std::filesystem::path& path) {
  const Bytes bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

Process::Process(const std::filesystem::path& dir, const std::string& name,
                 const std::string& program, const std::vector<std::string>& args, int outFd)
    : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
  pid_ = startChild(program, args, dir, {out_, err_, false, outFd});
  if (pid_ < 0) throw std::runtime_error("fork");
}

bool Process::waitServing(const ServerAddress& server, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (exited()) return false;
    try {
      Client probe(server);
      probe.send(request(MessageType::AckRequest));
      if (probe.receiveAll(2s)) return true;
    } catch (const std::exception&) {
      // Not listening yet.
    }
    std::this_thread::sleep_for(25ms);
  }
  return false;
}

int Process::waitExit(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (exited()) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(10ms);
  }
}

void Process::kill() {
  if (pid_ > 0 && !exited()) {
    killChild(pid_);
    done_ = true;
  }
}

void Process::signal(int number) {
  if (pid_ > 0 && !exited()) ::kill(pid_, number);
}

std::string Process::out() const { return readText(out_); }

std::string Process::err() const { return readText(err_); }

bool Process::waitOutput(const std::string& text, bool fromErr,
                         std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while ((fromErr ? err() : out()).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

bool Process::exited() {
  if (!done_ && childEnded(pid_, status_)) done_ = true;
  return done_;
}

Finished runToEnd(const std::filesystem::path& dir, const std::string& program,
                  const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  Process process(dir, std::filesystem::path(program).filename().string(), program, args);
  Finished finished;
  finished.status = process.waitExit(limit);
  process.kill();
  finished.out = process.out();
  finished.err = process.err();
  return finished;
}

}  // namespace dirserver::testing
