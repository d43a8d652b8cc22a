#include "process.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"
#include "hosts.h"
#include "load.h"
#include "net/listener.h"
#include "protocol/message.h"

namespace dirserver::bench {
namespace {

namespace fs = std::filesystem;

// What to undo when a signal ends the run.
struct Started {
  std::mutex mutex;
  std::set<pid_t> processes;
  std::set<fs::path> directories;
};

Started& started() {
  static Started instance;
  return instance;
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t cleanupSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kCleanupSignals) sigaddset(&set, signal);
  return set;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

void installCleanupOnSignals() {
  const sigset_t set = cleanupSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    Started& state = started();
    const std::lock_guard lock(state.mutex);
    for (pid_t pid : state.processes) {
      killChild(pid);
    }
    std::error_code ignored;
    for (const fs::path& dir : state.directories) fs::remove_all(dir, ignored);
    std::fprintf(stderr, "dirserver-bench: stopped by signal %d, cleaned up\n", signal);
    std::_Exit(128 + signal);
  }).detach();
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "dirserver-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory: " +
                             std::string(std::strerror(errno)));
  }
  path_ = pattern;
  const std::lock_guard lock(started().mutex);
  started().directories.insert(path_);
}

TemporaryDirectory::~TemporaryDirectory() {
  const std::lock_guard lock(started().mutex);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  started().directories.erase(path_);
}

bool port6001Free(std::string& why) {
  const Socket probe(bindListener(kListenPort));
  if (probe.valid() && startListening(probe.fd())) return true;
  why = std::strerror(errno);
  return false;
}

ServerProcess::ServerProcess(const std::string& executable, const fs::path& dir,
                             const std::vector<std::string>& args)
    : dir_(dir) {
  if (::access(executable.c_str(), X_OK) != 0) {
    throw std::runtime_error("cannot run the server " + executable + ": " + std::strerror(errno));
  }
  const std::lock_guard lock(started().mutex);
  started_ = std::chrono::steady_clock::now();
  // The scenarios fill the registry from a few networks of 127/8 and churn hosts flat out: they
  // measure the server's work, so its per-network bound and new-host rate are lifted unless a
  // scenario sets them itself.
  std::vector<std::string> all = args;
  if (std::find(all.begin(), all.end(), "--max-hosts-per-net") == all.end()) {
    all.insert(all.end(), {"--max-hosts-per-net", "65531"});
  }
  if (std::find(all.begin(), all.end(), "--new-hosts-per-minute") == all.end()) {
    all.insert(all.end(), {"--new-hosts-per-minute", "0"});
  }
  pid_ = startChild(executable, all, dir, {dir / "out.txt", dir / "err.txt", true});
  if (pid_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  started().processes.insert(pid_);
}

bool ServerProcess::exited() {
  if (pid_ <= 0) return true;
  if (!childEnded(pid_, status_)) return false;
  const std::lock_guard lock(started().mutex);
  started().processes.erase(pid_);
  pid_ = -1;
  return true;
}

void ServerProcess::kill() {
  if (pid_ <= 0) return;
  const std::lock_guard lock(started().mutex);
  killChild(pid_);
  started().processes.erase(pid_);
  pid_ = -1;
}

std::chrono::duration<double> ServerProcess::waitUntilServing(std::chrono::seconds limit) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (exited()) {
      const std::string how = WIFEXITED(status_)
                                  ? "with exit code " + std::to_string(WEXITSTATUS(status_))
                                  : "by signal " + std::to_string(WTERMSIG(status_));
      throw std::runtime_error("the server ended " + how + " before it served; it said: " + out() +
                               err());
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) throw std::runtime_error("the server did not start serving in time");
    std::string error;
    // A connection is refused until the server listens, which it does once the file is loaded.
    Socket probe = connectLoopback(kListenPort, now + 1s, error);
    if (!probe.valid()) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    const std::chrono::duration<double> startUp = std::chrono::steady_clock::now() - started_;
    const Bytes ask = buildRequest(MessageType::AckRequest);
    Bytes answer;
    const auto keep = [&answer](ByteView chunk) {
      answer.insert(answer.end(), chunk.begin(), chunk.end());
    };
    if (!sendAll(probe.fd(), ask, deadline, error) ||
        !receiveUntilClosed(probe.fd(), deadline, keep, error)) {
      throw std::runtime_error("the server's first answer: " + error);
    }
    if (!std::equal(answer.begin(), answer.end(), kAckMessage.begin(), kAckMessage.end())) {
      throw std::runtime_error("the server answered an acknowledgement request wrongly");
    }
    return startUp;
  }
}

std::uint64_t ServerProcess::residentKiB() const {
  if (pid_ <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

std::string ServerProcess::out() const { return slurp(dir_ / "out.txt"); }
std::string ServerProcess::err() const { return slurp(dir_ / "err.txt"); }

bool ServerProcess::waitOut(const std::string& text, std::chrono::seconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string fileSystemType(const fs::path& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) return "unknown";
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:
      return "ext4";
    case TMPFS_MAGIC:
      return "tmpfs";
    case BTRFS_SUPER_MAGIC:
      return "btrfs";
    case XFS_SUPER_MAGIC:
      return "xfs";
    case OVERLAYFS_SUPER_MAGIC:
      return "overlayfs";
    default:
      return "fs 0x" + [&] {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(info.f_type));
        return std::string(hex);
      }();
  }
}

}  // namespace dirserver::bench
