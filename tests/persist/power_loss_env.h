// An Env that keeps one directory of files in memory and knows, of every effect on it, whether it
// has been made durable, so that a test can "lose power" at any moment and see what a machine that
// stopped then would find.
//
// Effects and when they become durable:
//   - a write or a cut of a file's data (its bytes before it are kept, writes over the zeros a file
//     was extended with included): at the next successful fsync or fdatasync of that file;
//   - a name made, renamed or removed in the directory: at the next successful fsync of the
//     directory.
// A sync that fails dooms the effects it should have made durable: no later sync saves them (the
// kernel may have dropped the pages whatever a second sync says), so a power loss undoes them.
// Losing power undoes, newest first, every effect that is not durable. A name whose entry a later
// effect replaced is left to that effect.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "persist/env.h"

namespace dirserver::testing {

class PowerLossEnv final : public Env {
 public:
  // The files of the directory as a power loss leaves them: names and their bytes.
  using Image = std::map<std::string, Bytes>;

  // A directory at `dir` (a path no real file system is asked about) holding `files`, all durable.
  explicit PowerLossEnv(std::string dir, const Image& files = {}) : dir_(std::move(dir)) {
    for (const auto& [name, bytes] : files) {
      auto inode = newInode();
      inode->data = bytes;
      names_[name] = inode;
    }
  }

  // Called after every call that changes a file or makes something durable, with the description
  // of the call ("fdatasync server_list.wal.1"), what a power loss right after it leaves, and
  // whether that differs from what it left at the step before (only a sync that makes something
  // durable changes it). Runs on the caller's thread, with the env locked: it must not call this
  // env.
  void onStep(std::function<void(const std::string&, const Image&, bool)> step) {
    std::lock_guard lock(mutex_);
    step_ = std::move(step);
  }

  // Fails, with EIO, the next call `op` ("pwrite", "fsync", "fdatasync", "rename", "unlink",
  // "open", "ftruncate") on a name that starts with `name` ("." for the directory), after letting
  // `skip` such calls pass.
  void failNext(const std::string& op, const std::string& name, int skip = 0) {
    std::lock_guard lock(mutex_);
    failures_.push_back({op, name, skip});
  }

  // The files as they are now, and as a power loss now would leave them.
  Image files() {
    std::lock_guard lock(mutex_);
    Image image;
    for (const auto& [name, inode] : names_) image[name] = inode->data;
    return image;
  }
  Image afterPowerLoss() {
    std::lock_guard lock(mutex_);
    return powerLossImage();
  }

  int open(const std::string& path, int flags, mode_t) override {
    std::lock_guard lock(mutex_);
    if (path == dir_) {
      return addFd({nullptr, true, 0});
    }
    std::string name;
    if (!nameOf(path, name)) return fail(ENOENT);
    if (fails("open", name)) return -1;
    auto found = names_.find(name);
    if (found == names_.end()) {
      if ((flags & O_CREAT) == 0) return fail(ENOENT);
      auto inode = newInode();
      entryEffect(name, nullptr, inode);
      names_[name] = inode;
      found = names_.find(name);
      report("create " + name);
    } else if ((flags & O_EXCL) != 0 && (flags & O_CREAT) != 0) {
      return fail(EEXIST);
    }
    return addFd({found->second, false, 0});
  }

  ssize_t read(int fd, void* data, std::size_t size) override {
    std::lock_guard lock(mutex_);
    Fd* open = fdOf(fd);
    if (open == nullptr || open->inode == nullptr) return fail(EBADF);
    const Bytes& bytes = open->inode->data;
    const std::size_t from = std::min<std::size_t>(open->position, bytes.size());
    const std::size_t count = std::min(size, bytes.size() - from);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), count, static_cast<std::uint8_t*>(data));
    open->position = from + count;
    return static_cast<ssize_t>(count);
  }

  ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override {
    std::lock_guard lock(mutex_);
    Fd* open = fdOf(fd);
    if (open == nullptr || open->inode == nullptr) return fail(EBADF);
    if (fails("pwrite", nameOfInode(open->inode))) return -1;
    Bytes& bytes = open->inode->data;
    const auto at = static_cast<std::size_t>(offset);
    dataEffect(open->inode, at, at + size);
    if (bytes.size() < at + size) bytes.resize(at + size, 0);
    std::copy_n(static_cast<const std::uint8_t*>(data), size, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    report("pwrite " + nameOfInode(open->inode));
    return static_cast<ssize_t>(size);
  }

  int fsync(int fd) override { return sync(fd, "fsync"); }
  int fdatasync(int fd) override { return sync(fd, "fdatasync"); }

  int ftruncate(int fd, off_t size) override {
    std::lock_guard lock(mutex_);
    Fd* open = fdOf(fd);
    if (open == nullptr || open->inode == nullptr) return fail(EBADF);
    if (fails("ftruncate", nameOfInode(open->inode))) return -1;
    const auto to = static_cast<std::size_t>(size);
    dataEffect(open->inode, to, std::max(to, open->inode->data.size()));
    open->inode->data.resize(to, 0);
    report("ftruncate " + nameOfInode(open->inode));
    return 0;
  }

  int fstat(int fd, struct stat* status) override {
    std::lock_guard lock(mutex_);
    Fd* open = fdOf(fd);
    if (open == nullptr) return fail(EBADF);
    *status = {};
    status->st_mode = open->directory ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    if (!open->directory) status->st_size = static_cast<off_t>(open->inode->data.size());
    return 0;
  }

  int close(int fd) override {
    std::lock_guard lock(mutex_);
    return fds_.erase(fd) == 1 ? 0 : fail(EBADF);
  }

  int rename(const std::string& from, const std::string& to) override { return move(from, to, true); }
  int renameNoReplace(const std::string& from, const std::string& to) override {
    return move(from, to, false);
  }

  int unlink(const std::string& path) override {
    std::lock_guard lock(mutex_);
    std::string name;
    if (!nameOf(path, name) || names_.count(name) == 0) return fail(ENOENT);
    if (fails("unlink", name)) return -1;
    entryEffect(name, names_[name], nullptr);
    names_.erase(name);
    report("unlink " + name);
    return 0;
  }

  int lstat(const std::string& path, struct stat* status) override {
    std::lock_guard lock(mutex_);
    *status = {};
    if (path == dir_) {
      status->st_mode = S_IFDIR | 0755;
      return 0;
    }
    std::string name;
    if (!nameOf(path, name) || names_.count(name) == 0) return fail(ENOENT);
    status->st_mode = S_IFREG | 0644;
    status->st_size = static_cast<off_t>(names_[name]->data.size());
    return 0;
  }

  ssize_t readlink(const std::string&, char*, std::size_t) override { return fail(EINVAL); }

  int listDirectory(const std::string& dir, std::vector<std::string>& names) override {
    std::lock_guard lock(mutex_);
    if (dir != dir_) return fail(ENOENT);
    names.clear();
    for (const auto& entry : names_) names.push_back(entry.first);
    return 0;
  }

  void writeBack(int, off_t, off_t, bool) override {}
  bool soleOpener(int) override { return false; }
  const Clock& clock() override { return clock_; }

 private:
  // Wall time stands still; the steady clock moves a millisecond at each reading.
  class TickingClock final : public Clock {
   public:
    std::int64_t wallSeconds() const override { return 1'700'000'000; }
    SteadyClock::time_point steadyNow() const override {
      return SteadyClock::time_point(std::chrono::milliseconds(++ticks_));
    }

   private:
    mutable std::atomic<std::int64_t> ticks_{0};
  };
  TickingClock clock_;

  struct Inode {
    Bytes data;
  };
  using InodePtr = std::shared_ptr<Inode>;
  enum class State { Pending, Durable, Doomed };
  // One effect: on a file's data (`inode`: its bytes [from, from + before.size()) were `before`,
  // and its size `oldSize`) or on the directory (`name` led to `was`, now to `now`; null: none).
  struct Effect {
    State state = State::Pending;
    InodePtr inode;
    std::size_t from = 0;
    Bytes before;
    std::size_t oldSize = 0;
    std::string name;
    InodePtr was, now;
  };
  struct Fd {
    InodePtr inode;
    bool directory = false;
    std::size_t position = 0;
  };
  struct Failure {
    std::string op, name;
    int skip = 0;
  };

  InodePtr newInode() {
    auto inode = std::make_shared<Inode>();
    inodes_.push_back(inode);
    return inode;
  }
  int addFd(Fd fd) {
    fds_[nextFd_] = std::move(fd);
    return nextFd_++;
  }
  Fd* fdOf(int fd) {
    const auto found = fds_.find(fd);
    return found == fds_.end() ? nullptr : &found->second;
  }
  static int fail(int error) {
    errno = error;
    return -1;
  }
  bool nameOf(const std::string& path, std::string& name) const {
    if (path.size() <= dir_.size() + 1 || path.compare(0, dir_.size(), dir_) != 0 ||
        path[dir_.size()] != '/') {
      return false;
    }
    name = path.substr(dir_.size() + 1);
    return name.find('/') == std::string::npos;
  }
  std::string nameOfInode(const InodePtr& inode) const {
    for (const auto& [name, at] : names_) {
      if (at == inode) return name;
    }
    return "(removed)";
  }
  bool fails(const std::string& op, const std::string& name) {
    for (auto at = failures_.begin(); at != failures_.end(); ++at) {
      if (at->op != op || !name.starts_with(at->name)) continue;
      if (at->skip-- > 0) return false;
      failures_.erase(at);
      errno = EIO;
      return true;
    }
    return false;
  }

  void dataEffect(const InodePtr& inode, std::size_t from, std::size_t to) {
    Effect effect;
    effect.inode = inode;
    effect.from = from;
    effect.oldSize = inode->data.size();
    const std::size_t end = std::min(to, inode->data.size());
    if (from < end) {
      effect.before.assign(inode->data.begin() + static_cast<std::ptrdiff_t>(from),
                           inode->data.begin() + static_cast<std::ptrdiff_t>(end));
    }
    journal_.push_back(std::move(effect));
  }
  void entryEffect(const std::string& name, InodePtr was, InodePtr now) {
    Effect effect;
    effect.name = name;
    effect.was = std::move(was);
    effect.now = std::move(now);
    journal_.push_back(std::move(effect));
  }
  int move(const std::string& from, const std::string& to, bool replace) {
    std::lock_guard lock(mutex_);
    std::string a, b;
    if (!nameOf(from, a) || !nameOf(to, b) || names_.count(a) == 0) return fail(ENOENT);
    if (!replace && names_.count(b) != 0) return fail(EEXIST);
    if (fails("rename", a)) return -1;
    const InodePtr moved = names_[a];
    const auto old = names_.find(b);
    entryEffect(b, old == names_.end() ? nullptr : old->second, moved);
    entryEffect(a, moved, nullptr);
    names_[b] = moved;
    names_.erase(a);
    report("rename " + a + " " + b);
    return 0;
  }

  int sync(int fd, const char* op) {
    std::lock_guard lock(mutex_);
    Fd* open = fdOf(fd);
    if (open == nullptr) return fail(EBADF);
    const std::string name = open->directory ? "." : nameOfInode(open->inode);
    const bool failed = fails(op, name);
    for (Effect& effect : journal_) {
      const bool covered = open->directory ? effect.inode == nullptr : effect.inode == open->inode;
      if (covered && effect.state == State::Pending) {
        effect.state = failed ? State::Doomed : State::Durable;
        durableChanged_ = durableChanged_ || !failed;
      }
    }
    report(std::string(op) + " " + name + (failed ? " (fails)" : ""));
    if (failed) errno = EIO;
    return failed ? -1 : 0;
  }

  Image powerLossImage() const {
    std::map<const Inode*, InodePtr> copies;
    for (const InodePtr& inode : inodes_) copies[inode.get()] = std::make_shared<Inode>(*inode);
    const auto copyOf = [&](const InodePtr& inode) {
      return inode == nullptr ? nullptr : copies.at(inode.get());
    };
    std::map<std::string, InodePtr> names;
    for (const auto& [name, inode] : names_) names[name] = copyOf(inode);
    for (auto effect = journal_.rbegin(); effect != journal_.rend(); ++effect) {
      if (effect->state == State::Durable) continue;
      if (effect->inode != nullptr) {
        Bytes& data = copyOf(effect->inode)->data;
        data.resize(effect->oldSize, 0);
        std::copy(effect->before.begin(), effect->before.end(),
                  data.begin() + static_cast<std::ptrdiff_t>(effect->from));
        continue;
      }
      const auto found = names.find(effect->name);
      const InodePtr now = found == names.end() ? nullptr : found->second;
      if (now != copyOf(effect->now)) continue;
      if (effect->was == nullptr) {
        names.erase(effect->name);
      } else {
        names[effect->name] = copyOf(effect->was);
      }
    }
    Image image;
    for (const auto& [name, inode] : names) image[name] = inode->data;
    return image;
  }

  void report(const std::string& call) {
    if (!step_) return;
    const bool changed = durableChanged_ || !lastImage_;
    if (changed) lastImage_ = powerLossImage();
    durableChanged_ = false;
    step_(call, *lastImage_, changed);
  }

  const std::string dir_;
  std::mutex mutex_;
  std::map<std::string, InodePtr> names_;
  std::vector<InodePtr> inodes_;
  std::vector<Effect> journal_;
  std::map<int, Fd> fds_;
  int nextFd_ = 3;
  std::vector<Failure> failures_;
  std::function<void(const std::string&, const Image&, bool)> step_;
  // What a power loss leaves, as of the last report, and whether a sync has changed it since.
  std::optional<Image> lastImage_;
  bool durableChanged_ = false;
};

}  // namespace dirserver::testing
