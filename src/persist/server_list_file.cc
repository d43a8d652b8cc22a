#include "persist/server_list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "persist/file_system.h"
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
// Damaged files

std::string damagedListFile(const std::string& listFile, std::int64_t now, unsigned attempt) {
  const auto clock = static_cast<std::time_t>(now);
  std::tm utc{};
  char stamp[80] = "00000000T000000Z";
  if (::gmtime_r(&clock, &utc) != nullptr) {
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  }
  std::string name = listFile + ".damaged-" + stamp;
  if (attempt > 1) name += "-" + std::to_string(attempt);
  return name;
}

namespace {

// Gives `from` the name `to` unless `to` exists, in one step where the file system can
// (RENAME_NOREPLACE), else as a second link that is made only when the name is free. Returns 0
// or the error; EEXIST when `to` is taken.
int moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  return 0;
}

}  // namespace

bool keepDamagedListFile(const std::string& listFile, std::int64_t now, std::string& keptAs,
                         std::string& why) {
  // Enough for any number of damaged starts within one second.
  constexpr unsigned kAttempts = 1000;
  for (unsigned attempt = 1; attempt <= kAttempts; ++attempt) {
    const std::string name = damagedListFile(listFile, now, attempt);
    const int error = moveWithoutReplacing(listFile, name);
    if (error == 0) {
      keptAs = name;
      return true;
    }
    if (error != EEXIST) {
      keptAs = name;
      why = std::strerror(error);
      return false;
    }
  }
  keptAs = damagedListFile(listFile, now);
  why = "every name up to -" + std::to_string(kAttempts) + " is taken";
  return false;
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
    // An odd length (this server never writes one) is kept as it is: the key, the console and
    // the listing all take what they need of it, and the next save writes it back unchanged.
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

// Prints the line for a server list file that is there but cannot be read; returns what
// loadServerList then returns.
LoadResult cannotRead(const ServerContext& context, const std::string& why) {
  std::fprintf(context.console.err, "+error: cannot read server list %s: %s\n",
               context.listFile.c_str(), why.c_str());
  return {.readable = false, .rewrite = false};
}

}  // namespace

LoadResult loadServerList(ServerContext& context) {
  const Console& console = context.console;
  std::uint64_t size = 0;
  std::string openFailure;
  std::FILE* file = openListFile(context.listFile, size, openFailure);
  if (file == nullptr) {
    // Only a missing file means a first start. A file that is there but unreadable must not be
    // taken for an empty list: the first save would replace it.
    if (!openFailure.empty()) return cannotRead(context, openFailure);
    std::fprintf(console.err, "- starting with empty server list\n");
    return {};
  }

  ServerRegistry& registry = context.registry;
  ServerListReader reader(file, size);
  ServerListReader::Entry entry;
  std::string damage;
  LoadResult result;
  for (;;) {
    const auto next = reader.next(entry);
    if (next == ServerListReader::Result::End) break;
    if (next == ServerListReader::Result::Damaged) {
      damage = reader.damage();
      break;
    }
    if (next == ServerListReader::Result::ReadError) {
      std::fclose(file);
      return cannotRead(context, reader.readError());
    }
    const ServerType type = entry.section;
    const ServerKey key = computeServerKey(entry.record.fields, context.keyTrace());
    if (key != entry.storedKey) result.rewrite = true;
    // Only the very same host twice in one section is dropped; hosts whose strings merely sum to
    // the same key are all kept.
    if (registry.find(type, key, entry.record.fields) != registry.end(type)) {
      result.rewrite = true;
      continue;
    }
    if (registry.totalCount() >= kMaxServers) {
      damage = "it holds more than " + std::to_string(kMaxServers) + " servers";
      break;
    }
    // A host that does not come last is out of the order the file is written in.
    const auto inserted = registry.insert(type, key, std::move(entry.record)).first;
    if (std::next(inserted) != registry.end(type)) result.rewrite = true;
  }
  if (damage.empty() && reader.trailingBytes() > 0) result.rewrite = true;
  std::fclose(file);

  if (!damage.empty()) {
    std::string aside, why;
    if (keepDamagedListFile(context.listFile, context.wallClock(), aside, why)) {
      std::fprintf(console.err,
                   "- server list is damaged (%s): kept %u servers read before it; "
                   "the damaged file is kept as %s\n",
                   damage.c_str(), registry.totalCount(), aside.c_str());
      // Written back at once: the records kept live in the file again, not only in memory.
      result.rewrite = true;
    } else {
      // The damaged file stays where it is, and so must the evidence: no rewrite over it.
      std::fprintf(console.err,
                   "- server list is damaged (%s): kept %u servers read before it; "
                   "could not keep the damaged file as %s (%s)\n",
                   damage.c_str(), registry.totalCount(), aside.c_str(), why.c_str());
      result.rewrite = false;
    }
  }
  std::fprintf(console.out, "- loaded %d servers\n", static_cast<int>(registry.totalCount()));
  return result;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

// Writes all of `bytes`, resuming after partial writes and interruptions.
bool writeAll(FileSystem& fs, int fd, ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t written = fs.write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool writeRecords(FileSystem& fs, int fd, const RegistrySnapshot& snapshot) {
  constexpr std::size_t kFlushAt = 1 << 20;
  // Room for the whole file, or for one flush's worth when it is larger: a small registry does not
  // cost a megabyte at every save.
  const std::size_t fileSize =
      3 * kFileCountSize + kFileRecordSize * std::size_t{snapshot.totalCount()};
  Bytes buffer;
  buffer.reserve(std::min(fileSize, kFlushAt + kFileRecordSize));
  for (const auto& hosts : snapshot.hosts) {
    putU32(buffer, static_cast<std::uint32_t>(hosts.size()));
    for (const HostEntry& entry : hosts) {
      appendFileRecord(buffer, entry.key, *entry.record);
      if (buffer.size() >= kFlushAt) {
        if (!writeAll(fs, fd, buffer)) return false;
        buffer.clear();
      }
    }
  }
  return writeAll(fs, fd, buffer);
}

}  // namespace

std::string saveTarget(const std::string& listFile) {
  std::string path = listFile;
  // As many links as the system itself would follow.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return path;
    target.resize(static_cast<std::size_t>(length));
    path = target.front() == '/' ? target : directoryOf(path) + "/" + target;
  }
  return path;
}

SaveOutcome writeServerList(const RegistrySnapshot& snapshot, const std::string& listFile,
                            FileSystem& fs) {
  const std::string target = saveTarget(listFile);
  const std::string temporary = target + ".tmp";
  // A temporary file left by a crash, or anything planted under its name (a link to a file
  // elsewhere, say), goes first; the new one is created afresh and never through a link.
  if (fs.unlink(temporary) != 0 && errno != ENOENT) return SaveOutcome::Failed;
  // Permissions as any file the server creates: what the umask leaves of 0666.
  const int fd = fs.open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return SaveOutcome::Failed;
  const bool written = writeRecords(fs, fd, snapshot) && fs.fsync(fd) == 0;
  const bool closed = fs.close(fd) == 0;
  if (!written || !closed || fs.rename(temporary, target) != 0) {
    fs.unlink(temporary);
    return SaveOutcome::Failed;
  }
  return syncDirectory(fs, directoryOf(target)) ? SaveOutcome::Saved : SaveOutcome::NotDurable;
}

void reportSave(SaveOutcome outcome, const Console& console) {
  switch (outcome) {
    case SaveOutcome::Saved:
      break;
    case SaveOutcome::NotDurable:
      std::fprintf(console.err,
                   "- server list saved, but its directory could not be synced: the save may not "
                   "survive a power loss\n");
      break;
    case SaveOutcome::Failed:
      std::fprintf(console.err, "- could not save server list\n");
      break;
  }
}

SaveOutcome saveServerList(const ServerContext& context) {
  const SaveOutcome outcome = writeServerList(context.registry.snapshot(), context.listFile);
  reportSave(outcome, context.console);
  return outcome;
}

}  // namespace dirserver
