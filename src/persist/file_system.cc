#include "persist/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace dirserver {
namespace {

class SystemFileSystem final : public FileSystem {
 public:
  int open(const std::string& path, int flags, mode_t mode) override {
    return ::open(path.c_str(), flags, mode);
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    return ::write(fd, data, size);
  }
  int fsync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
};

}  // namespace

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool syncDirectory(FileSystem& fs, const std::string& dir) {
  const int fd = fs.open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool synced = fs.fsync(fd) == 0 || errno == EINVAL;
  const int error = errno;
  fs.close(fd);
  errno = error;
  return synced;
}

FileSystem& systemFileSystem() {
  static SystemFileSystem fileSystem;
  return fileSystem;
}

}  // namespace dirserver
