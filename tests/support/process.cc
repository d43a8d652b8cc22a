#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

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
  // Everything the child needs is made here: after fork it may only make system calls.
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);
  const std::string dirText = dir.string(), outText = out_.string(), errText = err_.string();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    // A server left running would hold port 6001 for the tests after it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = outFd >= 0 ? outFd : ::open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(dirText.c_str()) != 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

bool Process::waitServing(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (exited()) return false;
    try {
      Client probe(kListenPort);
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
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
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
  if (!done_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) done_ = true;
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
