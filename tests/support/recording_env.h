// An Env over the system's files that records every call by name and makes chosen ones fail, for
// tests of loading, the log and snapshots.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "persist/env.h"

namespace dirserver::testing {

class RecordingEnv final : public SystemEnv {
 public:
  using SystemEnv::SystemEnv;

  // Calls as recorded: "open NAME" (" new" when it creates exclusively), "open dir", "write NAME"
  // (once for consecutive writes), "fsync NAME", "fdatasync NAME", "ftruncate NAME", "close NAME",
  // "rename FROM TO", "unlink NAME", "read NAME" (once for consecutive reads). Temporary names
  // are shown as NAME.tmp.
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Fails the next `times` calls recorded as `call` with EIO, after letting `skip` of them pass.
  void fail(const std::string& call, int times = 1, int skip = 0) {
    std::lock_guard lock(mutex_);
    failing_ = call;
    failTimes_ = times;
    failSkip_ = skip;
  }
  // Fails every call after the first `calls` recorded ones, as if the machine stopped there.
  void crashAfter(std::size_t calls) {
    std::lock_guard lock(mutex_);
    crashAfter_ = calls;
  }

  int open(const std::string& path, int flags, mode_t mode) override {
    const bool dir = (flags & O_DIRECTORY) != 0;
    const std::string name = dir ? "dir" : tail(path);
    if (fails("open " + name + ((flags & O_EXCL) ? " new" : ""))) return -1;
    const int fd = SystemEnv::open(path, flags, mode);
    std::lock_guard lock(mutex_);
    names_[fd] = name;
    return fd;
  }
  ssize_t read(int fd, void* data, std::size_t size) override {
    return fails("read " + nameOf(fd), true) ? -1 : SystemEnv::read(fd, data, size);
  }
  ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override {
    return fails("write " + nameOf(fd), true) ? -1 : SystemEnv::pwrite(fd, data, size, offset);
  }
  int fsync(int fd) override { return fails("fsync " + nameOf(fd)) ? -1 : SystemEnv::fsync(fd); }
  int fdatasync(int fd) override {
    return fails("fdatasync " + nameOf(fd)) ? -1 : SystemEnv::fdatasync(fd);
  }
  int ftruncate(int fd, off_t size) override {
    return fails("ftruncate " + nameOf(fd)) ? -1 : SystemEnv::ftruncate(fd, size);
  }
  int close(int fd) override {
    const bool failed = fails("close " + nameOf(fd));
    SystemEnv::close(fd);
    return failed ? -1 : 0;
  }
  int rename(const std::string& from, const std::string& to) override {
    return fails("rename " + tail(from) + " " + tail(to)) ? -1 : SystemEnv::rename(from, to);
  }
  int unlink(const std::string& path) override {
    return fails("unlink " + tail(path)) ? -1 : SystemEnv::unlink(path);
  }

 private:
  static std::string tail(const std::string& path) {
    static const std::regex temporary(R"(\.tmp-[0-9]+-[0-9]+$)");
    return std::regex_replace(std::filesystem::path(path).filename().string(), temporary, ".tmp");
  }
  std::string nameOf(int fd) {
    std::lock_guard lock(mutex_);
    return names_[fd];
  }
  bool fails(const std::string& call, bool once = false) {
    std::lock_guard lock(mutex_);
    if (!once || calls_.empty() || calls_.back() != call) calls_.push_back(call);
    const bool crashed = calls_.size() > crashAfter_;
    if (!crashed && (call != failing_ || failTimes_ == 0)) return false;
    if (!crashed && failSkip_ > 0) {
      --failSkip_;
      return false;
    }
    if (!crashed) --failTimes_;
    errno = EIO;
    return true;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::string failing_;
  int failTimes_ = 0;
  int failSkip_ = 0;
  std::size_t crashAfter_ = static_cast<std::size_t>(-1);
  std::map<int, std::string> names_;
};

}  // namespace dirserver::testing
