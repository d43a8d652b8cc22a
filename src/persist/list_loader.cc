#include "persist/list_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "persist/owners_file.h"
#include "registry/server_key.h"

namespace dirserver {
namespace {

// Opens `path` for reading and gives its size. Returns -1 with `why` empty when there is no such
// file, or with `why` saying why it cannot be read; anything but a regular file (a directory, a
// device, a pipe) cannot be ours. Never blocks on a pipe with no writer (O_NONBLOCK changes
// nothing for a regular file).
int openForReading(Env& env, const std::string& path, std::uint64_t& size, std::string& why) {
  why.clear();
  const int fd = env.open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) {
    if (errno != ENOENT) why = std::strerror(errno);
    return -1;
  }
  struct stat status {};
  if (env.fstat(fd, &status) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    why = std::strerror(EISDIR);
  } else if (!S_ISREG(status.st_mode)) {
    why = "not a regular file";
  }
  if (!why.empty()) {
    env.close(fd);
    return -1;
  }
  size = static_cast<std::uint64_t>(status.st_size);
  return fd;
}

// Prints the line for a file that is there but cannot be read; returns what loadServerList then
// returns.
LoadResult cannotRead(const ServerContext& context, const std::string& file, const std::string& why) {
  std::fprintf(context.console.err, "+error: cannot read server list %s: %s\n", file.c_str(),
               why.c_str());
  LoadResult result;
  result.readable = false;
  return result;
}

// One record read from the list, before it is filed.
struct ReadRecord {
  ServerType type{};
  ServerKey key = 0;
  ServerKey storedKey = 0;
  ServerRecord record;
};

// Reads the list file into `result` and the registry. Returns false when it cannot be read.
bool loadList(ServerContext& context, Env& env, const ListPaths& paths, LoadResult& result) {
  const Console& console = context.console;
  result.inPlace.fingerprint = emptyListFingerprint();
  std::uint64_t size = 0;
  std::string openFailure;
  const int fd = openForReading(env, paths.target, size, openFailure);
  if (fd < 0) {
    // Only a missing file means a first start. A file that is there but unreadable must not be
    // taken for an empty list: the first save would replace it.
    if (!openFailure.empty()) {
      result = cannotRead(context, context.listFile, openFailure);
      return false;
    }
    std::fprintf(console.err, "- starting with empty server list\n");
    return true;
  }

  ServerListReader reader(env, fd, size);
  ServerListReader::Entry entry;
  std::vector<ReadRecord> records;
  std::string damage;
  for (;;) {
    const auto next = reader.next(entry);
    if (next == ServerListReader::Result::End) break;
    if (next == ServerListReader::Result::Damaged) {
      damage = reader.damage();
      break;
    }
    if (next == ServerListReader::Result::ReadError) {
      env.close(fd);
      result = cannotRead(context, context.listFile, reader.readError());
      return false;
    }
    if (records.size() >= kMaxServers) {
      damage = "it holds more than " + std::to_string(kMaxServers) + " servers";
      break;
    }
    const ServerKey key = computeServerKey(entry.record.fields, context.keyTrace());
    records.push_back({entry.section, key, entry.storedKey, std::move(entry.record)});
  }
  env.close(fd);

  // The owners file speaks for this list only when it names it by its fingerprint.
  std::string ownersTrouble;
  const std::vector<PeerAddress> owners =
      damage.empty() ? readOwners(env, paths.owners(), reader.fingerprint(),
                                  static_cast<std::uint32_t>(records.size()), ownersTrouble)
                     : std::vector<PeerAddress>{};
  if (!ownersTrouble.empty()) {
    std::fprintf(console.err,
                 "- the owners file %s cannot be used (%s): the hosts of the server list belong to "
                 "no address until they register again\n",
                 paths.owners().c_str(), ownersTrouble.c_str());
  }

  ServerRegistry& registry = context.registry;
  for (std::size_t i = 0; i < records.size(); ++i) {
    ReadRecord& read = records[i];
    if (read.key != read.storedKey) result.rewrite = true;
    // Only the very same host twice in one section is dropped; hosts whose strings merely sum to
    // the same key are all kept.
    if (registry.find(read.type, read.key, read.record.fields) != registry.end(read.type)) {
      result.rewrite = true;
      continue;
    }
    const PeerAddress owner = owners.empty() ? kUnknownAddress : owners[i];
    // A host that does not come last is out of the order the file is written in.
    const auto inserted = registry.insert(read.type, read.key, std::move(read.record), owner).first;
    if (std::next(inserted) != registry.end(read.type)) result.rewrite = true;
  }
  records.clear();

  if (damage.empty()) {
    result.inPlace.fingerprint = reader.fingerprint();
    result.inPlace.owners = owners;
  } else {
    std::string aside, why;
    if (keepDamagedListFile(env, paths.target, aside, why)) {
      std::fprintf(console.err,
                   "- server list is damaged (%s): kept %u servers read before it; "
                   "the damaged file is kept as %s\n",
                   damage.c_str(), registry.totalCount(), aside.c_str());
      // Written back at once: the records kept live in the file again, not only in memory.
      result.rewrite = true;
    } else {
      // The damaged file stays where it is, and so must the evidence: no rewrite over it. Logs
      // written from now on follow it as it reads.
      std::fprintf(console.err,
                   "- server list is damaged (%s): kept %u servers read before it; "
                   "could not keep the damaged file as %s (%s)\n",
                   damage.c_str(), registry.totalCount(), aside.c_str(), why.c_str());
      result.inPlace.fingerprint = reader.fingerprint();
      result.rewrite = false;
    }
  }
  std::fprintf(console.out, "- loaded %d servers\n", static_cast<int>(registry.totalCount()));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Logs

struct FoundLog {
  std::string path;
  LogHeader header;
  std::uint64_t size = 0;
};

// Moves a log that is not replayed aside, with its line: as LOG.unused-... when nothing is wrong
// with it, as LOG.damaged-... when it is damaged.
void keepAside(const ServerContext& context, Env& env, const std::string& path,
               const std::string& reason, const char* what = "unused") {
  std::string aside, why;
  if (keepDamagedListFile(env, path, aside, why, what)) {
    std::fprintf(context.console.err, "- server list log %s is not replayed (%s); it is kept as %s\n",
                 path.c_str(), reason.c_str(), aside.c_str());
  } else {
    std::fprintf(context.console.err,
                 "- server list log %s is not replayed (%s); could not keep it aside as %s (%s)\n",
                 path.c_str(), reason.c_str(), aside.c_str(), why.c_str());
  }
}

// Copies the whole of `path` to a name of its own beside it; the name used, or empty with `why`.
std::string copyAside(Env& env, const std::string& path, std::string& why) {
  const std::int64_t now = env.clock().wallSeconds();
  int to = -1;
  std::string name;
  for (unsigned attempt = 1; attempt <= 1000 && to < 0; ++attempt) {
    name = damagedListFile(path, now, attempt);
    to = env.open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (to < 0 && errno != EEXIST) break;
  }
  if (to < 0) {
    why = std::strerror(errno);
    return {};
  }
  const int from = env.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  bool copied = from >= 0;
  Bytes block(1 << 20);
  for (off_t offset = 0; copied;) {
    const ssize_t got = readFully(env, from, block.data(), block.size());
    if (got <= 0) {
      copied = got == 0;
      break;
    }
    copied = writeFullyAt(env, to, ByteView(block).first(static_cast<std::size_t>(got)), offset);
    offset += got;
  }
  copied = copied && env.fsync(to) == 0;
  const int error = errno;
  if (from >= 0) env.close(from);
  copied = env.close(to) == 0 && copied;
  if (!copied) {
    why = std::strerror(error);
    env.unlink(name);
    return {};
  }
  return name;
}

// Cuts a log back to `end`, durably; false when it must stay as it is.
bool cutBack(Env& env, const std::string& path, std::uint64_t end) {
  const int fd = env.open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return false;
  const bool cut = env.ftruncate(fd, static_cast<off_t>(end)) == 0 && env.fsync(fd) == 0;
  env.close(fd);
  return cut;
}

// Whether the log at `path` reads to its end without damage (a commit cut short counts as an end).
bool readsToItsEnd(Env& env, const std::string& path) {
  std::uint64_t size = 0;
  std::string why;
  const int fd = openForReading(env, path, size, why);
  if (fd < 0) return false;
  LogReader reader(env, fd, size);
  LogHeader header;
  LogEntry entry;
  auto outcome = LogReader::Result::Damaged;
  if (reader.readHeader(header)) {
    while ((outcome = reader.next(entry)) == LogReader::Result::Entry) {
    }
  }
  env.close(fd);
  return outcome == LogReader::Result::End ||
         (outcome == LogReader::Result::Damaged && reader.cutShort());
}

// Keeps a copy of a damaged log (`copied` says whether it could) and cuts the log back to its last
// whole entry, so that it can be appended to; false when the log must stay as it is.
bool keepDamagedLog(const ServerContext& context, Env& env, const FoundLog& log,
                    std::uint64_t validEnd, const std::string& damage, std::uint64_t replayed,
                    bool& copied) {
  std::string why;
  const std::string copy = copyAside(env, log.path, why);
  const std::string head = "- server list log " + log.path + " is damaged (" + damage +
                           "): replayed " + std::to_string(replayed) +
                           " changes before it, dropped " + std::to_string(log.size - validEnd) +
                           " bytes; ";
  if (copy.empty()) {
    std::fprintf(context.console.err, "%scould not keep a copy of it (%s)\n", head.c_str(),
                 why.c_str());
    return false;
  }
  std::fprintf(context.console.err, "%sthe damaged log is kept as %s\n", head.c_str(),
               copy.c_str());
  copied = true;
  return cutBack(env, log.path, validEnd);
}

}  // namespace

bool applyLogEntry(ServerContext& context, const LogEntry& entry, std::string& why) {
  ServerRegistry& registry = context.registry;
  if (entry.operation == LogOperation::Refresh) {
    const auto found = registry.findById(entry.type, entry.key, entry.id);
    if (found == registry.end(entry.type)) {
      why = "it refreshes host " + hostIdText(entry.id) + ", which is not stored";
      return false;
    }
    ServerRecord record = *found->record;
    record.registrationTime = entry.record.registrationTime;
    registry.replace(entry.type, found, std::move(record), entry.owner);
    return true;
  }
  const ServerKey key = computeServerKey(entry.record.fields, context.keyTrace());
  const auto found = registry.find(entry.type, key, entry.record.fields);
  if (entry.operation == LogOperation::Remove) {
    if (found != registry.end(entry.type)) registry.erase(entry.type, found);
    return true;
  }
  if (found != registry.end(entry.type)) {
    registry.replace(entry.type, found, entry.record, entry.owner);
    return true;
  }
  if (registry.totalCount() >= kMaxServers) {
    why = "it would make more than " + std::to_string(kMaxServers) + " servers";
    return false;
  }
  registry.insert(entry.type, key, entry.record, entry.owner);
  return true;
}

namespace {

// Finds the logs beside the list, oldest first; moves aside those that are not ours.
std::vector<FoundLog> findLogs(const ServerContext& context, Env& env, const ListPaths& paths,
                               LoadResult& result, bool& readable) {
  std::vector<FoundLog> logs;
  std::vector<std::string> names;
  if (env.listDirectory(paths.dir, names) != 0) return logs;
  for (const std::string& name : names) {
    const std::optional<std::uint64_t> found = paths.logSeq(name);
    if (!found) continue;
    const std::uint64_t seq = *found;
    result.nextLogSeq = std::max(result.nextLogSeq, seq + 1);
    FoundLog log;
    log.path = paths.log(seq);
    std::string why;
    const int fd = openForReading(env, log.path, log.size, why);
    if (fd < 0) {
      // Whatever holds a log's name and cannot be read as one (a directory, a pipe, a link that
      // leads nowhere, a file without permission) may stand for acknowledged changes: the server
      // does not go on without them. The name was listed, so a missing file is a dangling link.
      struct stat status {};
      if (why.empty() && env.lstat(log.path, &status) == 0) why = "a symbolic link that leads nowhere";
      if (!why.empty()) {
        cannotRead(context, log.path, why);
        readable = false;
      }
      continue;
    }
    LogReader reader(env, fd, log.size);
    const bool ours = reader.readHeader(log.header);
    // (headerDamaged() looks at the header's bytes, which holdsNothing() reads past.)
    const bool headerOfOurs = !ours && reader.headerDamaged();
    const bool nothing = !ours && reader.holdsNothing();
    const bool damagedHeader = headerOfOurs && !nothing;
    env.close(fd);
    if (!reader.readError().empty()) {
      cannotRead(context, log.path, reader.readError());
      readable = false;
      continue;
    }
    if (nothing) {
      // A log whose creation a crash cut short: it holds no entry, nothing in it was ever durable.
      env.unlink(log.path);
    } else if (damagedHeader) {
      // Entries behind a header that cannot be read: damage, kept for whoever looks into it.
      keepAside(context, env, log.path,
                reader.headerFault() == LogHeaderFault::NotOurs
                    ? "its header is zeros, but entries follow"
                    : reader.why(),
                "damaged");
    } else if (!ours) {
      keepAside(context, env, log.path, reader.why());
    } else if (log.header.seq != seq) {
      keepAside(context, env, log.path, "its header names log " + std::to_string(log.header.seq));
    } else {
      logs.push_back(std::move(log));
    }
  }
  std::sort(logs.begin(), logs.end(),
            [](const FoundLog& a, const FoundLog& b) { return a.header.seq < b.header.seq; });
  return logs;
}

// Why the log of `header` does not go on from the logs replayed before it (`previous`, the last
// of them, or none when it is the first, `first` the first), of which the last change was
// `next - 1`; empty when it does. It must begin no later than `next`, and follow the list those
// logs follow at the same change, or a later list of the same history: one of a checkpoint at a
// change no earlier than the last log's list, whose log holds every change after it.
std::string chainFault(const LogHeader& first, const LogHeader* previous, const LogHeader& header,
                       std::uint64_t next) {
  if (header.firstChange > next) {
    return "it begins at change " + std::to_string(header.firstChange) + ", after a gap";
  }
  if (previous == nullptr) return {};
  const auto follows = [&](const LogHeader& other) {
    return header.baseFingerprint == other.baseFingerprint && header.baseChange == other.baseChange;
  };
  const bool laterList =
      header.baseChange >= previous->baseChange && header.firstChange <= header.baseChange + 1;
  if (follows(*previous) || follows(first) || laterList) return {};
  return "it follows a server list at change " + std::to_string(header.baseChange) +
         " and begins at change " + std::to_string(header.firstChange) +
         ", which the logs before it do not lead to";
}

// Replays the logs that follow the list in place.
bool replayLogs(ServerContext& context, Env& env, const ListPaths& paths, LoadResult& result) {
  bool readable = true;
  std::vector<FoundLog> logs = findLogs(context, env, paths, result, readable);
  if (!readable) return false;
  const std::uint64_t base = result.inPlace.fingerprint;
  const auto start = std::find_if(logs.begin(), logs.end(), [&](const FoundLog& log) {
    return log.header.baseFingerprint == base;
  });
  // Logs older than the first one that follows this list hold nothing it lacks; a damaged one of
  // which no copy was kept is kept aside now instead.
  for (auto log = logs.begin(); log != start && start != logs.end(); ++log) {
    if (readsToItsEnd(env, log->path)) {
      env.unlink(log->path);
    } else {
      keepAside(context, env, log->path, "it is damaged, and older than the server list", "damaged");
    }
  }
  if (start == logs.end()) {
    for (const FoundLog& log : logs) keepAside(context, env, log.path, "it follows another server list");
    return true;
  }
  result.baseChange = start->header.baseChange;
  std::uint64_t next = result.baseChange + 1;  // the number of the change due next
  const LogHeader* previous = nullptr;          // of the last log replayed
  // The checksums of the changes replayed, from the first one on: a log that takes over from
  // another (after a failed sync, or for a checkpoint) repeats some of them, and must repeat
  // them unchanged.
  std::vector<std::uint32_t> checksums;
  const std::uint64_t checksumsFrom = next;
  bool broken = false;
  for (auto log = start; log != logs.end(); ++log) {
    const std::string astray =
        broken ? "a log before it is damaged" : chainFault(start->header, previous, log->header, next);
    if (!astray.empty()) {
      keepAside(context, env, log->path, astray);
      broken = true;
      continue;
    }
    std::uint64_t size = 0;
    std::string why;
    const int fd = openForReading(env, log->path, size, why);
    if (fd < 0) {
      cannotRead(context, log->path, why);
      return false;
    }
    LogReader reader(env, fd, size);
    LogHeader header;
    reader.readHeader(header);
    LogEntry entry;
    std::uint64_t replayed = 0;
    std::string damage;
    std::uint64_t validEnd = reader.validEnd();
    auto outcome = LogReader::Result::End;
    std::string differs;
    while ((outcome = reader.next(entry)) == LogReader::Result::Entry) {
      const std::uint64_t number = header.firstChange + reader.entriesRead() - 1;
      if (number < next) {
        // A change replayed already: the same entry, or this log tells another history (its
        // repeated changes come first, so nothing of it has been applied).
        if (number >= checksumsFrom && checksums[number - checksumsFrom] != reader.lastChecksum()) {
          differs = "its change " + std::to_string(number) + " is not the one replayed before";
          break;
        }
      } else {
        if (!applyLogEntry(context, entry, damage)) {
          outcome = LogReader::Result::Damaged;
          break;
        }
        checksums.push_back(reader.lastChecksum());
        ++replayed;
        ++next;
      }
      validEnd = reader.validEnd();
    }
    env.close(fd);
    if (!differs.empty()) {
      keepAside(context, env, log->path, differs);
      broken = true;
      continue;
    }
    previous = &log->header;
    if (outcome == LogReader::Result::ReadError) {
      cannotRead(context, log->path, reader.readError());
      return false;
    }
    result.changesReplayed += replayed;
    result.liveLogs.push_back(log->header.seq);
    result.appendable.reset();
    if (outcome == LogReader::Result::Damaged && damage.empty() && reader.cutShort()) {
      // What a kill inside a commit leaves: that commit was never acknowledged.
      std::fprintf(context.console.out,
                   "- server list log %s ends in a commit cut short by a stop: dropped %llu bytes "
                   "of changes never acknowledged\n",
                   log->path.c_str(), static_cast<unsigned long long>(reader.cutBytes()));
      if (cutBack(env, log->path, validEnd)) {
        result.appendable = OpenLog{header, validEnd};
        result.logBytes += validEnd;
      } else {
        result.logBytes += size;
      }
    } else if (outcome == LogReader::Result::Damaged) {
      FoundLog found = *log;
      found.size = size;
      if (damage.empty()) damage = reader.why();
      bool copied = false;
      if (keepDamagedLog(context, env, found, validEnd, damage, replayed, copied)) {
        result.appendable = OpenLog{header, validEnd};
        result.logBytes += validEnd;
      } else {
        result.logBytes += size;
      }
      if (!copied) result.uncopiedLogs.push_back(log->header.seq);
    } else {
      result.appendable = OpenLog{header, validEnd};
      result.logBytes += validEnd;
    }
  }
  result.lastChange = next - 1;
  if (result.changesReplayed > 0) {
    std::fprintf(context.console.out, "- replayed %llu changes from the server list log: %u servers\n",
                 static_cast<unsigned long long>(result.changesReplayed),
                 context.registry.totalCount());
  }
  return true;
}

}  // namespace

LoadResult loadServerList(ServerContext& context, Env& env) {
  // The owners restored here have not been seen since the server stopped: they count as seen now,
  // so that each has its whole time to register its hosts again.
  context.registry.setFilledAt(context.clock->steadySeconds());
  const ListPaths paths = listPaths(env, context.listFile);
  LoadResult result;
  if (!loadList(context, env, paths, result)) return result;
  removeStaleTemporaries(env, paths);
  if (!replayLogs(context, env, paths, result)) {
    LoadResult failed;
    failed.readable = false;
    return failed;
  }
  return result;
}

void retireLog(Env& env, const std::string& path, bool uncopied) {
  if (!uncopied) {
    env.unlink(path);
    return;
  }
  std::string aside, why;
  keepDamagedListFile(env, path, aside, why);
}

bool writeBackIfNeeded(const ServerContext& context, LoadResult& loaded, Env& env) {
  if (!loaded.rewrite) return true;
  const ListPaths paths = listPaths(env, context.listFile);
  const CheckpointWritten written =
      writeServerList(env, context.registry.snapshot(), paths, &loaded.inPlace);
  reportSave(written.outcome, context.console, written.error);
  if (written.outcome == SaveOutcome::Failed) return false;
  loaded.rewrite = false;
  loaded.inPlace = written.owners;
  loaded.baseChange = loaded.lastChange;
  for (const std::uint64_t seq : loaded.liveLogs) {
    retireLog(env, paths.log(seq),
              std::find(loaded.uncopiedLogs.begin(), loaded.uncopiedLogs.end(), seq) !=
                  loaded.uncopiedLogs.end());
  }
  loaded.liveLogs.clear();
  loaded.uncopiedLogs.clear();
  loaded.appendable.reset();
  loaded.logBytes = 0;
  return true;
}

}  // namespace dirserver
