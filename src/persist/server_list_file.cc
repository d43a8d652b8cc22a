#include "persist/server_list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "persist/owners_file.h"

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

void fingerprintListCount(Fingerprint& fingerprint, std::uint32_t count) {
  std::uint8_t word[4];
  storeU32(word, count);
  fingerprint.add(word);
}

void fingerprintListRecord(Fingerprint& fingerprint, ServerKey key, const ServerRecord& record) {
  std::uint8_t head[8];
  storeU32(head, key);
  storeU32(head + 4, static_cast<std::uint32_t>(record.registrationTime));
  fingerprint.add(head);
  for (const ServerField& field : record.fields) {
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(field.length()),
                                    static_cast<std::uint8_t>(field.length() >> 8)};
    fingerprint.add(length);
    fingerprint.add(field.bytes());
  }
}

std::uint64_t emptyListFingerprint() {
  Fingerprint fingerprint;
  for (std::size_t section = 0; section < kServerTypeCount; ++section) {
    fingerprintListCount(fingerprint, 0);
  }
  return fingerprint.value();
}

// ---------------------------------------------------------------------------------------------
// Paths

namespace {

// Where `path` leads through symbolic links, as many as the system itself would follow.
std::string linkTarget(Env& env, const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (env.lstat(at, &status) != 0 || !S_ISLNK(status.st_mode)) return at;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = env.readlink(at, target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return at;
    target.resize(static_cast<std::size_t>(length));
    at = target.front() == '/' ? target : directoryOf(at) + "/" + target;
  }
  return at;
}

constexpr std::string_view kTemporaryMark = ".tmp";

}  // namespace

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string fileBeside(const std::string& listFile, std::string_view name) {
  const auto slash = listFile.rfind('/');
  return (slash == std::string::npos ? "" : listFile.substr(0, slash + 1)) + std::string(name);
}

ListPaths listPaths(Env& env, const std::string& listFile) {
  ListPaths paths;
  paths.list = listFile;
  paths.target = linkTarget(env, listFile);
  paths.dir = directoryOf(paths.target);
  paths.stem = paths.target;
  if (paths.stem.ends_with(".dat") && fileNameOf(paths.stem).size() > 4) {
    paths.stem.resize(paths.stem.size() - 4);
  }
  return paths;
}

std::optional<std::uint64_t> ListPaths::logSeq(const std::string& name) const {
  const std::string prefix = fileNameOf(logPrefix());
  // Up to 19 digits: any 64-bit sequence number a server makes.
  if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 19 ||
      name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(name.substr(prefix.size()));
}

// ---------------------------------------------------------------------------------------------
// Damaged files

std::string damagedListFile(const std::string& file, std::int64_t now, unsigned attempt,
                            const char* what) {
  const auto clock = static_cast<std::time_t>(now);
  std::tm utc{};
  char stamp[80] = "00000000T000000Z";
  if (::gmtime_r(&clock, &utc) != nullptr) {
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  }
  std::string name = file + "." + what + "-" + stamp;
  if (attempt > 1) name += "-" + std::to_string(attempt);
  return name;
}

bool keepDamagedListFile(Env& env, const std::string& file, std::string& keptAs, std::string& why,
                         const char* what) {
  // Enough for any number of damaged starts within one second.
  constexpr unsigned kAttempts = 1000;
  const std::int64_t now = env.clock().wallSeconds();
  for (unsigned attempt = 1; attempt <= kAttempts; ++attempt) {
    const std::string name = damagedListFile(file, now, attempt, what);
    if (env.renameNoReplace(file, name) == 0) {
      keptAs = name;
      return true;
    }
    if (errno != EEXIST) {
      keptAs = name;
      why = std::strerror(errno);
      return false;
    }
  }
  keptAs = damagedListFile(file, now, 1, what);
  why = "every name up to -" + std::to_string(kAttempts) + " is taken";
  return false;
}

void removeStaleTemporaries(Env& env, const ListPaths& paths) {
  std::vector<std::string> names;
  if (env.listDirectory(paths.dir, names) != 0) return;
  const std::string prefixes[] = {fileNameOf(paths.target) + std::string(kTemporaryMark),
                                  fileNameOf(paths.owners()) + std::string(kTemporaryMark)};
  for (const std::string& name : names) {
    if (!name.starts_with(prefixes[0]) && !name.starts_with(prefixes[1])) continue;
    const std::string path = paths.dir + "/" + name;
    struct stat status {};
    if (env.lstat(path, &status) == 0 && S_ISREG(status.st_mode)) env.unlink(path);
  }
}

// ---------------------------------------------------------------------------------------------
// Reading

ServerListReader::ServerListReader(Env& env, int fd, std::uint64_t fileSize)
    : env_(env), fd_(fd), fileSize_(fileSize) {}

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
      if (offset_ < fileSize_) {
        return fail(std::to_string(fileSize_ - offset_) + " bytes follow the third section at offset " +
                    std::to_string(offset_));
      }
      finished_ = true;
      return Result::End;
    }
    const std::uint64_t left = fileSize_ - offset_;
    std::uint8_t word[kFileCountSize];
    const ssize_t got = left < kFileCountSize ? 0 : readFully(env_, fd_, word, sizeof word);
    if (got < 0) return failToRead(errno);
    if (got != static_cast<ssize_t>(sizeof word)) {
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
    fingerprintListCount(fingerprint_, count);
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
  const ssize_t got = readFully(env_, fd_, buffer_.data(), buffer_.size());
  if (got < 0) return failToRead(errno);
  if (got != static_cast<ssize_t>(buffer_.size())) return fail("the file ends inside " + where());
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
  fingerprintListRecord(fingerprint_, entry.storedKey, entry.record);
  entry.section = kServerTypes[section];
  entry.offset = offset_;
  entry.index = recordsRead_++;
  offset_ += kFileRecordSize;
  --recordsLeft_;
  ++recordIndex_;
  return Result::Record;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

// Written in slices: each is handed to the disk as soon as it is complete, and the one before it
// waited for, so that no more than two slices are ever dirty in memory or queued at the disk.
// A paced writer's are small, since a commit's sync may wait behind them: a megabyte takes a few
// milliseconds on a common disk. An unpaced one's are larger, so that the disk always has enough
// of the file queued to go at its full speed.
constexpr std::size_t kPacedSlice = 1 << 20;
constexpr std::size_t kUnpacedSlice = 8 << 20;

// A file being written under a temporary name of its own beside `final`.
class TemporaryFile {
 public:
  TemporaryFile(Env& env, const std::string& final) : env_(env) {
    // The process id keeps the names of servers in one directory apart; the counter, the names of
    // one server's saves. Whatever already holds a name (a file, a directory, a link, planted or
    // left) is passed over, never replaced or followed.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = final + std::string(kTemporaryMark) + "-" + std::to_string(::getpid()) + "-" +
              std::to_string(counter++);
      // Permissions as any file the server creates: what the umask leaves of 0666.
      fd_ = env_.open(path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
  }
  ~TemporaryFile() {
    if (fd_ >= 0) env_.close(fd_);
    if (!kept_) env_.unlink(path_);
  }

  bool opened() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // `beforeWrite` is called with the size of each write first, and says whether it is paced.
  void paceWith(const std::function<bool(std::uint64_t)>* beforeWrite) { beforeWrite_ = beforeWrite; }

  // Appends `bytes`; false on failure.
  bool write(ByteView bytes) {
    const bool paced = beforeWrite_ != nullptr && *beforeWrite_ && (*beforeWrite_)(bytes.size());
    if (!writeFullyAt(env_, fd_, bytes, static_cast<off_t>(size_))) return false;
    size_ += bytes.size();
    // The slices completed by this write go to the disk now; then the ones handed over before
    // are waited for.
    const std::uint64_t slice = paced ? kPacedSlice : kUnpacedSlice;
    const std::uint64_t complete = size_ / slice * slice;
    if (complete > handedOver_) {
      env_.writeBack(fd_, static_cast<off_t>(handedOver_),
                     static_cast<off_t>(complete - handedOver_), false);
      if (handedOver_ > 0) {
        env_.writeBack(fd_, static_cast<off_t>(waitedFor_),
                       static_cast<off_t>(handedOver_ - waitedFor_), true);
      }
      waitedFor_ = handedOver_;
      handedOver_ = complete;
    }
    return true;
  }

  // Syncs and closes; false on failure.
  bool finish() {
    const bool synced = env_.fsync(fd_) == 0;
    const bool closed = env_.close(fd_) == 0;
    fd_ = -1;
    return synced && closed;
  }

  // Renames it to `final`; once done, it is no longer removed.
  bool moveTo(const std::string& final) {
    kept_ = env_.rename(path_, final) == 0;
    return kept_;
  }

  std::uint64_t size() const { return size_; }

 private:
  Env& env_;
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t handedOver_ = 0;  // the bytes handed to the disk so far
  std::uint64_t waitedFor_ = 0;   // the bytes known written so far
  bool kept_ = false;
  const std::function<bool(std::uint64_t)>* beforeWrite_ = nullptr;
};

// The list about to be replaced, held open across the rename, until it goes out of scope.
class ReplacedFile {
 public:
  ReplacedFile(Env& env, const std::string& path) : env_(env) {
    // Never blocks on a FIFO planted at the name; a link is not followed (`path` is the target).
    fd_ = env_.open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
    struct stat status {};
    if (fd_ >= 0 && (env_.fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
      env_.close(fd_);
      fd_ = -1;
    }
  }
  ~ReplacedFile() {
    if (fd_ >= 0) env_.close(fd_);
  }
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;

  // Hands the file to `release` when the rename left it without a name and nobody else has it
  // open: one with another name (a hard link) is someone else's, and one still open elsewhere (a
  // backup copying it) must stay whole for its reader; both are never cut.
  void release(const std::function<void(int, std::uint64_t)>& release) {
    struct stat status {};
    if (fd_ >= 0 && env_.fstat(fd_, &status) == 0 && status.st_nlink == 0 &&
        env_.soleOpener(fd_)) {
      release(fd_, static_cast<std::uint64_t>(status.st_size));
    }
  }

 private:
  Env& env_;
  int fd_ = -1;
};

// Writes the records of `snapshot` and adds them to `fingerprint` and `owners`.
bool writeRecords(TemporaryFile& file, const RegistrySnapshot& snapshot, Fingerprint& fingerprint,
                  std::vector<PeerAddress>& owners) {
  constexpr std::size_t kFlushAt = 1 << 20;
  // Room for the whole file, or for one flush's worth when it is larger: a small registry does not
  // cost a megabyte at every save.
  Bytes buffer;
  buffer.reserve(std::min<std::uint64_t>(listFileSize(snapshot.totalCount()),
                                         kFlushAt + kFileRecordSize));
  owners.reserve(snapshot.totalCount());
  for (const auto& hosts : snapshot.hosts) {
    const auto count = static_cast<std::uint32_t>(hosts.size());
    putU32(buffer, count);
    fingerprintListCount(fingerprint, count);
    for (const HostEntry& entry : hosts) {
      appendFileRecord(buffer, entry.key, *entry.record);
      fingerprintListRecord(fingerprint, entry.key, *entry.record);
      owners.push_back(entry.from);
      if (buffer.size() >= kFlushAt) {
        if (!file.write(buffer)) return false;
        buffer.clear();
      }
    }
  }
  return file.write(buffer);
}

}  // namespace

CheckpointWritten writeServerList(Env& env, const RegistrySnapshot& snapshot, const ListPaths& paths,
                                const OwnerTable* previous,
                                const std::function<bool(std::uint64_t)>& beforeRename,
                                const std::function<bool(std::uint64_t)>& beforeWrite,
                                const std::function<void(int, std::uint64_t)>& releaseReplaced) {
  CheckpointWritten result;
  // Says which step failed on `file`, with the system's reason.
  const auto failed = [&](const char* step, const std::string& file) {
    result.error = std::string(step) + " " + file + ": " + std::strerror(errno);
    return result;
  };
  TemporaryFile list(env, paths.target);
  Fingerprint fingerprint;
  if (!list.opened()) return failed("create a new", paths.target);
  list.paceWith(&beforeWrite);
  if (!writeRecords(list, snapshot, fingerprint, result.owners.owners)) {
    return failed("write", list.path());
  }
  if (!list.finish()) return failed("sync", list.path());
  result.owners.fingerprint = fingerprint.value();
  std::vector<OwnerTable> tables;
  if (previous != nullptr && previous->fingerprint != result.owners.fingerprint) {
    tables.push_back(*previous);
  }
  tables.push_back(result.owners);
  TemporaryFile owners(env, paths.owners());
  if (!owners.opened()) return failed("create a new", paths.owners());
  if (!owners.write(encodeOwnersFile(tables))) return failed("write", owners.path());
  if (!owners.finish()) return failed("sync", owners.path());
  if (beforeRename && !beforeRename(result.owners.fingerprint)) {
    result.error = "begin the log that follows it";
    return result;
  }
  std::optional<ReplacedFile> replaced;
  if (releaseReplaced) replaced.emplace(env, paths.target);
  if (!owners.moveTo(paths.owners())) return failed("rename a new", paths.owners());
  if (!list.moveTo(paths.target)) return failed("rename a new", paths.target);
  result.bytes = list.size() + owners.size();
  result.outcome = SaveOutcome::Saved;
  if (!syncDirectory(env, paths.dir)) {
    failed("sync the directory of", paths.target);
    result.outcome = SaveOutcome::NotDurable;
  }
  if (replaced) replaced->release(releaseReplaced);
  return result;
}

SaveOutcome replaceFile(Env& env, const std::string& path, ByteView bytes, std::string& error) {
  const ListPaths paths = listPaths(env, path);
  TemporaryFile file(env, paths.target);
  const char* failed = !file.opened()                ? "create"
                       : !file.write(bytes)          ? "write"
                       : !file.finish()              ? "sync"
                       : !file.moveTo(paths.target)  ? "rename"
                                                     : nullptr;
  if (failed != nullptr) {
    error = std::string("cannot ") + failed + " a new " + paths.target + ": " + std::strerror(errno);
    return SaveOutcome::Failed;
  }
  if (!syncDirectory(env, paths.dir)) {
    error = "cannot sync the directory of " + paths.target + ": " + std::strerror(errno);
    return SaveOutcome::NotDurable;
  }
  return SaveOutcome::Saved;
}

void reportSave(SaveOutcome outcome, const Console& console, const std::string& reason) {
  const std::string because = reason.empty() ? "" : " (" + reason + ")";
  switch (outcome) {
    case SaveOutcome::Saved:
      break;
    case SaveOutcome::NotDurable:
      std::fprintf(console.err,
                   "- server list saved, but its directory could not be synced%s: the save may not "
                   "survive a power loss\n",
                   because.c_str());
      break;
    case SaveOutcome::Failed:
      std::fprintf(console.err, "- could not save server list%s\n", because.c_str());
      break;
  }
}

}  // namespace dirserver
