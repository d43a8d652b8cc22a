#include "persist/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace dirserver {

int SystemEnv::open(const std::string& path, int flags, mode_t mode) {
  return ::open(path.c_str(), flags, mode);
}
ssize_t SystemEnv::read(int fd, void* data, std::size_t size) { return ::read(fd, data, size); }
ssize_t SystemEnv::pwrite(int fd, const void* data, std::size_t size, off_t offset) {
  return ::pwrite(fd, data, size, offset);
}
int SystemEnv::fsync(int fd) { return ::fsync(fd); }
int SystemEnv::fdatasync(int fd) { return ::fdatasync(fd); }
int SystemEnv::ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int SystemEnv::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int SystemEnv::close(int fd) { return ::close(fd); }
int SystemEnv::rename(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str());
}
int SystemEnv::unlink(const std::string& path) { return ::unlink(path.c_str()); }
int SystemEnv::lstat(const std::string& path, struct stat* status) {
  return ::lstat(path.c_str(), status);
}
ssize_t SystemEnv::readlink(const std::string& path, char* buffer, std::size_t size) {
  return ::readlink(path.c_str(), buffer, size);
}

int SystemEnv::renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without RENAME_NOREPLACE: a second link, made only when the name is free.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    errno = error;
    return -1;
  }
  return 0;
}

int SystemEnv::listDirectory(const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return -1;
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int error = errno;
  ::closedir(stream);
  errno = error;
  return error == 0 ? 0 : -1;
}

void SystemEnv::writeBack(int fd, off_t offset, off_t size, bool wait) {
  unsigned flags = SYNC_FILE_RANGE_WRITE;
  if (wait) flags |= SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER;
  ::sync_file_range(fd, offset, size, flags);
}

bool SystemEnv::soleOpener(int fd) {
  // A write lease is granted only while no other description of the file is open, for reading or
  // writing, anywhere in the system; it is given back at once.
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return false;
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
  return true;
}

Env& systemEnv() {
  static SystemEnv env;
  return env;
}

ssize_t readFully(Env& env, int fd, void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = env.read(fd, static_cast<std::uint8_t*>(data) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool writeFullyAt(Env& env, int fd, ByteView bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t written = env.pwrite(fd, bytes.data(), bytes.size(), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += written;
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool syncDirectory(Env& env, const std::string& dir) {
  const int fd = env.open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool synced = env.fsync(fd) == 0 || errno == EINVAL;
  const int error = errno;
  env.close(fd);
  errno = error;
  return synced;
}

}  // namespace dirserver
