#include "registry/server_list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "registry/server_key.h"

namespace dirserver {

void appendFileRecord(Bytes& out, ServerKey key, const ServerRecord& record) {
  putU32(out, key);
  putU32(out, static_cast<std::uint32_t>(record.registrationTime));
  for (const ServerField& field : record.fields) {
    putU16(out, field.length());
    putBytes(out, field.bytes());
    out.insert(out.end(), kFieldCapacity - field.data.size(), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Reading

ServerListReader::ServerListReader(std::FILE* file, std::uint64_t fileSize)
    : file_(file), fileSize_(fileSize) {}

ServerListReader::Result ServerListReader::fail(std::string why) {
  damage_ = std::move(why);
  finished_ = true;
  finalResult_ = Result::Damaged;
  return Result::Damaged;
}

ServerListReader::Result ServerListReader::failToRead(int error) {
  readError_ = std::strerror(error);
  finished_ = true;
  finalResult_ = Result::ReadError;
  return Result::ReadError;
}

ServerListReader::Result ServerListReader::next(Entry& entry) {
  if (finished_) return finalResult_;
  while (recordsLeft_ == 0) {
    if (!countDamage_.empty()) return fail(std::move(countDamage_));
    if (nextSection_ == kServerTypeCount) {
      finished_ = true;
      return Result::End;
    }
    const std::uint64_t left = fileSize_ - offset_;
    std::uint8_t word[kFileCountSize];
    if (left < kFileCountSize || std::fread(word, 1, sizeof word, file_) != sizeof word) {
      if (std::ferror(file_)) return failToRead(errno);
      return fail("the file ends inside the count of section " + std::to_string(nextSection_) +
                  " at offset " + std::to_string(offset_));
    }
    const std::uint32_t count = loadU32(word);
    const std::uint64_t room = (left - kFileCountSize) / kFileRecordSize;
    if (count > room) {
      countDamage_ = "section " + std::to_string(nextSection_) + " at offset " +
                     std::to_string(offset_) + " claims " + std::to_string(count) +
                     " records, but the file holds at most " + std::to_string(room) + " after it";
    }
    offset_ += kFileCountSize;
    recordsLeft_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, room));
    recordIndex_ = 0;
    ++nextSection_;
  }

  const std::size_t section = nextSection_ - 1;
  // Only a damaged record needs its place spelled out.
  const auto where = [&] {
    return "record " + std::to_string(recordIndex_) + " of section " + std::to_string(section) +
           " at offset " + std::to_string(offset_);
  };
  buffer_.resize(kFileRecordSize);
  if (std::fread(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
    if (std::ferror(file_)) return failToRead(errno);
    return fail("the file ends inside " + where());
  }
  ByteReader reader(buffer_);
  std::uint32_t time = 0;
  reader.readU32(entry.storedKey);
  reader.readU32(time);
  entry.record.registrationTime = static_cast<std::int32_t>(time);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t length = 0;
    ByteView area;
    reader.readU16(length);
    reader.readBytes(kFieldCapacity, area);
    if (length > kFieldCapacity) {
      return fail("field " + std::to_string(i) + " of " + where() + " has length " +
                  std::to_string(length) + ", more than " + std::to_string(kFieldCapacity));
    }
    // A text is whole UTF-16 code units. An odd length was never written by this server, and
    // the listing, which counts code units, could not describe such a field to any client.
    if (length % 2 != 0) {
      return fail("field " + std::to_string(i) + " of " + where() + " has the odd length " +
                  std::to_string(length));
    }
    entry.record.fields[i].data.assign(area.begin(), area.begin() + length);
  }
  entry.section = kServerTypes[section];
  entry.offset = offset_;
  offset_ += kFileRecordSize;
  --recordsLeft_;
  ++recordIndex_;
  return Result::Record;
}

namespace {

// Opens the server list file for reading and gives its size. Returns nullptr with `why` empty
// when there is no such file, or with `why` saying why it cannot be read; anything but a regular
// file (a directory, a device, a pipe) cannot be a server list. Never blocks on a pipe with no
// writer (O_NONBLOCK changes nothing for a regular file).
std::FILE* openListFile(const std::string& path, std::uint64_t& size, std::string& why) {
  why.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) why = std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  std::FILE* file = nullptr;
  if (::fstat(fd, &status) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    why = std::strerror(EISDIR);
  } else if (!S_ISREG(status.st_mode)) {
    why = "not a regular file";
  } else if ((file = ::fdopen(fd, "rb")) == nullptr) {
    why = std::strerror(errno);
  }
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(status.st_size);
  return file;
}

// Prints the line for a server list file that is there but cannot be read; returns false, the
// result of loadServerList then.
bool cannotRead(const ServerContext& context, const std::string& why) {
  std::fprintf(context.console.err, "+error: cannot read server list %s: %s\n",
               context.listFile.c_str(), why.c_str());
  return false;
}

}  // namespace

bool loadServerList(ServerContext& context) {
  const Console& console = context.console;
  std::uint64_t size = 0;
  std::string openFailure;
  std::FILE* file = openListFile(context.listFile, size, openFailure);
  if (file == nullptr) {
    // Only a missing file means a first start. A file that is there but unreadable must not be
    // taken for an empty list: the first save would replace it.
    if (!openFailure.empty()) return cannotRead(context, openFailure);
    std::fprintf(console.err, "- starting with empty server list\n");
    return true;
  }

  ServerRegistry& registry = context.registry;
  ServerListReader reader(file, size);
  ServerListReader::Entry entry;
  std::string damage;
  for (;;) {
    const auto result = reader.next(entry);
    if (result == ServerListReader::Result::End) break;
    if (result == ServerListReader::Result::Damaged) {
      damage = reader.damage();
      break;
    }
    if (result == ServerListReader::Result::ReadError) {
      std::fclose(file);
      return cannotRead(context, reader.readError());
    }
    const ServerKey key = computeServerKey(entry.record.fields, context.keyTrace());
    if (registry.find(entry.section, key) != registry.end(entry.section)) continue;
    if (registry.totalCount() >= kMaxServers) {
      damage = "it holds more than " + std::to_string(kMaxServers) + " servers";
      break;
    }
    registry.insert(entry.section, key, std::move(entry.record));
  }
  std::fclose(file);

  if (!damage.empty()) {
    const std::string aside = damagedListFile(context.listFile);
    const bool keptAside = std::rename(context.listFile.c_str(), aside.c_str()) == 0;
    std::fprintf(console.err,
                 "- server list is damaged (%s): kept %u servers read before it; %s %s\n",
                 damage.c_str(), registry.totalCount(),
                 keptAside ? "the damaged file is kept as" : "could not keep the damaged file as",
                 aside.c_str());
  }
  std::fprintf(console.out, "- loaded %d servers\n", static_cast<int>(registry.totalCount()));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

// Writes all of `bytes`, resuming after partial writes and interruptions.
bool writeAll(int fd, ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool writeServerList(int fd, const ServerRegistry& registry) {
  constexpr std::size_t kFlushAt = 1 << 20;
  // Room for the whole file, or for one flush's worth when it is larger: a small registry does not
  // cost a megabyte at every save.
  const std::size_t fileSize =
      3 * kFileCountSize + kFileRecordSize * std::size_t{registry.totalCount()};
  Bytes buffer;
  buffer.reserve(std::min(fileSize, kFlushAt + kFileRecordSize));
  for (ServerType type : kServerTypes) {
    putU32(buffer, registry.size(type));
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      appendFileRecord(buffer, position->first, position->second);
      if (buffer.size() >= kFlushAt) {
        if (!writeAll(fd, buffer)) return false;
        buffer.clear();
      }
    }
  }
  return writeAll(fd, buffer);
}

// Makes the rename of a file in `dir` durable. A file system that cannot sync a directory
// (EINVAL) has nothing to do.
bool syncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return synced;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void saveServerList(const ServerContext& context) {
  const std::string& target = context.listFile;
  const std::string temporary = target + ".tmp";
  bool saved = false;
  // Permissions as any file the server creates: what the umask leaves of 0666.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd >= 0) {
    const bool written = writeServerList(fd, context.registry) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    saved = written && closed && std::rename(temporary.c_str(), target.c_str()) == 0;
    if (!saved) ::unlink(temporary.c_str());
  }
  if (saved) saved = syncDirectory(directoryOf(target));
  if (!saved) std::fprintf(context.console.err, "- could not save server list\n");
}

}  // namespace dirserver
