// The file operations a save makes, behind an interface, so that tests can record them and make
// any one of them fail. Each call behaves as the POSIX call of its name: -1 with errno set on
// failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dirserver {

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual int open(const std::string& path, int flags, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
};

// The directory that holds `path`: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path);

// Makes the renames in the directory `dir` durable by syncing it. A file system that cannot sync a
// directory (EINVAL) has nothing to do. Returns false, errno set, when it could not be synced.
bool syncDirectory(FileSystem& fs, const std::string& dir);

// The process's own file system, through the system calls themselves. Safe from any thread.
FileSystem& systemFileSystem();

}  // namespace dirserver
