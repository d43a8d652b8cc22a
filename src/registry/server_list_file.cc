#include "registry/server_list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "registry/file_system.h"
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

LoadResult loadServerList(ServerContext& context) {
  const Console& console = context.console;
  std::FILE* file = std::fopen(context.listFile.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(console.err, "- starting with empty server list\n");
    return {};
  }
  // Anything but a regular file (a directory, a device) cannot be a server list.
  struct stat status {};
  if (::fstat(::fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fclose(file);
    std::fprintf(console.err, "- starting with empty server list\n");
    return {};
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);

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
    const std::string aside = damagedListFile(context.listFile);
    const bool keptAside = std::rename(context.listFile.c_str(), aside.c_str()) == 0;
    std::fprintf(console.err,
                 "- server list is damaged (%s): kept %u servers read before it; %s %s\n",
                 damage.c_str(), registry.totalCount(),
                 keptAside ? "the damaged file is kept as" : "could not keep the damaged file as",
                 aside.c_str());
  }
  if (!damage.empty()) result.rewrite = true;
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

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the rename of a file in `dir` durable. A file system that cannot sync a directory
// (EINVAL) has nothing to do.
bool syncDirectory(FileSystem& fs, const std::string& dir) {
  const int fd = fs.open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool synced = fs.fsync(fd) == 0 || errno == EINVAL;
  fs.close(fd);
  return synced;
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
