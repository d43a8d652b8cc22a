// The environment that persistence goes through: every file operation of loading, of moving a
// damaged file aside, of the log and of snapshots, and the clocks they read. The server uses
// systemEnv(); tests hand in an Env that records each call and makes any one of them fail.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/clock.h"

namespace dirserver {

class Env {
 public:
  virtual ~Env() = default;

  // Each behaves as the POSIX call of its name: -1 with errno set on failure.
  virtual int open(const std::string& path, int flags, mode_t mode) = 0;
  virtual ssize_t read(int fd, void* data, std::size_t size) = 0;
  virtual ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) = 0;
  virtual int fsync(int fd) = 0;
  virtual int fdatasync(int fd) = 0;
  virtual int ftruncate(int fd, off_t size) = 0;
  virtual int fstat(int fd, struct stat* status) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
  virtual int lstat(const std::string& path, struct stat* status) = 0;
  virtual ssize_t readlink(const std::string& path, char* buffer, std::size_t size) = 0;

  // Gives `from` the name `to` unless something is there already: 0, or -1 with errno (EEXIST
  // when `to` is taken). Never replaces anything.
  virtual int renameNoReplace(const std::string& from, const std::string& to) = 0;

  // The names in directory `dir`, "." and ".." left out. -1 with errno when it cannot be read.
  virtual int listDirectory(const std::string& dir, std::vector<std::string>& names) = 0;

  // Asks the kernel to write back `size` bytes at `offset` of `fd` now, and, when `wait`, waits
  // until they are written. Only a hint for the disk's scheduling: the data is made durable by
  // fsync or fdatasync. Failures are ignored.
  virtual void writeBack(int fd, off_t offset, off_t size, bool wait) = 0;

  // Whether `fd` is the only open description of its file in the whole system: nobody else (a
  // backup copying it, say) is reading or writing it. False when that cannot be known.
  virtual bool soleOpener(int fd) = 0;

  // The clock: wall seconds for the names of damaged files, the steady clock for durations.
  virtual const Clock& clock() = 0;
};

// The process's own files through the system calls themselves, and the system's clock unless
// another is given (which must outlive the env). Safe from any thread (the clock given must be too).
class SystemEnv : public Env {
 public:
  explicit SystemEnv(const Clock& clock = systemClock()) : clock_(clock) {}

  int open(const std::string& path, int flags, mode_t mode) override;
  ssize_t read(int fd, void* data, std::size_t size) override;
  ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override;
  int fsync(int fd) override;
  int fdatasync(int fd) override;
  int ftruncate(int fd, off_t size) override;
  int fstat(int fd, struct stat* status) override;
  int close(int fd) override;
  int rename(const std::string& from, const std::string& to) override;
  int unlink(const std::string& path) override;
  int lstat(const std::string& path, struct stat* status) override;
  ssize_t readlink(const std::string& path, char* buffer, std::size_t size) override;
  int renameNoReplace(const std::string& from, const std::string& to) override;
  int listDirectory(const std::string& dir, std::vector<std::string>& names) override;
  void writeBack(int fd, off_t offset, off_t size, bool wait) override;
  bool soleOpener(int fd) override;
  const Clock& clock() override { return clock_; }

 private:
  const Clock& clock_;
};

// The system's environment, with the system's clocks.
Env& systemEnv();

// Helpers over an Env that retry interruptions and partial transfers.

// Reads up to `size` bytes, fewer only at the end of the file. Returns the count, or -1 with
// errno.
ssize_t readFully(Env& env, int fd, void* data, std::size_t size);

// Writes all of `bytes` at `offset`. Returns false with errno on failure.
bool writeFullyAt(Env& env, int fd, ByteView bytes, off_t offset);

// The directory part of `path` ("." for a bare name).
std::string directoryOf(const std::string& path);

// Makes the creation, renaming or removal of a name in `dir` durable. A file system that cannot
// sync a directory (EINVAL) has nothing to do. Returns false with errno on failure.
bool syncDirectory(Env& env, const std::string& dir);

}  // namespace dirserver
