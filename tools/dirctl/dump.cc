#include "dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <set>

#include "common/console.h"
#include "common/text.h"
#include "listing_output.h"
#include "registry/expiry.h"
#include "registry/host_id.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"
#include "persist/write_ahead_log.h"

namespace dirserver::dirctl {
namespace {

// Prints one line of a record: its label in a column of its own, then the text.
void printItem(std::FILE* out, const char* label, const std::string& text) {
  std::fprintf(out, "    %-9s %s\n", label, text.c_str());
}

std::string ageText(std::int64_t now, std::int32_t registrationTime) {
  const std::int32_t age = registrationAge(registrationTime, now);
  if (age < 0) return "in the future";
  std::string out = "age ";
  constexpr std::int32_t kDay = 86400;
  if (age >= kDay) out += std::to_string(age / kDay) + "d ";
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(age % kDay / 3600),
                static_cast<int>(age % 3600 / 60), static_cast<int>(age % 60));
  out += clock;
  if (age > kExpirySeconds) out += ", over a day: the next sweep drops it";
  return out;
}

std::string sectionHeading(std::size_t section) {
  return "section " + std::to_string(section) + " (" + std::string(kServerTypePaths[section]) + ")";
}

// Prints record `index` of its section, `key` being the key computed from its fields and
// `keyTaken` whether an earlier record of the section has that key.
void printHost(std::FILE* out, const ServerListReader::Entry& entry, ServerKey key,
               std::int64_t now) {
  const ServerRecord& record = entry.record;
  std::string keyText = std::to_string(key);
  if (key != entry.storedKey) keyText += ", stored " + std::to_string(entry.storedKey);
  printItem(out, "key", keyText);
  std::string time = asctimeText(fullTime(record.registrationTime, now));
  if (!time.empty() && time.back() == '\n') time.pop_back();
  printItem(out, "time", time + " (" + ageText(now, record.registrationTime) + ")");
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    printItem(out, fieldLabel(i), consoleText(toDisplayText(record.fields[i].data)));
  }
}

// An owner's address as text; "none" for a host that belongs to no address.
std::string ownerText(PeerAddress owner) {
  if (owner == kUnknownAddress) return "none";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&owner);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

void printRecord(std::FILE* out, const ServerListReader::Entry& entry, std::size_t index,
                 ServerKey key, bool keyTaken, std::int64_t now) {
  const ServerRecord& record = entry.record;
  std::fprintf(out, "  record %zu at offset %llu\n", index,
               static_cast<unsigned long long>(entry.offset));
  printHost(out, entry, key, now);
  if (keyTaken) {
    printItem(out, "note",
              "key " + std::to_string(key) +
                  " is already in this section: the server keeps the earlier record "
                  "and drops this one");
  }
  // The server matches the path as a C string, up to its first U+0000.
  const auto type = serverTypeForPath(toDisplayText(record.fields[kPathField].data).c_str());
  if (type != entry.section) {
    printItem(out, "note",
              std::string("the path names ") + (type ? "another game type" : "no game type") +
                  "; the server files the record in this section all the same");
  }
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const std::size_t length = record.fields[i].data.size();
    if (length % 2 != 0) {
      printItem(out, "note",
                std::string(fieldLabel(i)) + " has the odd length " + std::to_string(length) +
                    ": the server keeps all of it, the listing sends its first " +
                    std::to_string(length - 1) + " bytes");
    }
  }
}

// Opens `path` for reading through the system's environment; -1 with `error` set when it cannot
// be, or is no regular file.
int openFile(const std::string& path, std::uint64_t& size, std::string& error) {
  Env& env = systemEnv();
  const int fd = env.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat status {};
  if (env.fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    env.close(fd);
    error = path + " is not a regular file";
    return -1;
  }
  size = static_cast<std::uint64_t>(status.st_size);
  return fd;
}

// Prints one log beside the list: its header and each of its entries.
bool dumpLog(const std::string& path, std::int64_t now, std::FILE* out, std::string& error) {
  std::uint64_t size = 0;
  const int fd = openFile(path, size, error);
  if (fd < 0) return false;
  LogReader reader(systemEnv(), fd, size);
  LogHeader header;
  if (!reader.readHeader(header)) {
    ::close(fd);
    error = path + " is not a log of the server: " + reader.why();
    return false;
  }
  char base[17];
  std::snprintf(base, sizeof base, "%016llx", static_cast<unsigned long long>(header.baseFingerprint));
  std::fprintf(out,
               "%s: %llu bytes, log %llu (version %u), follows the list of fingerprint %s (which holds the "
               "changes up to %llu)\n",
               consoleText(path).c_str(), static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(header.seq), header.version, base,
               static_cast<unsigned long long>(header.baseChange));
  LogEntry entry;
  auto result = LogReader::Result::End;
  while (true) {
    const std::uint64_t offset = reader.validEnd();
    if ((result = reader.next(entry)) != LogReader::Result::Entry) break;
    const std::uint64_t number = header.firstChange + reader.entriesRead() - 1;
    const char* operation = entry.operation == LogOperation::Set      ? "set"
                            : entry.operation == LogOperation::Remove ? "remove"
                                                                      : "refresh";
    std::fprintf(out, "  change %llu at offset %llu: %s, owner %s\n",
                 static_cast<unsigned long long>(number), static_cast<unsigned long long>(offset),
                 operation, ownerText(entry.owner).c_str());
    if (entry.operation == LogOperation::Refresh) {
      // Names the host rather than restating it: its section, key and id, and the new time.
      printItem(out, "type", std::string(kServerTypePaths[index(entry.type)]));
      printItem(out, "key", std::to_string(entry.key));
      printItem(out, "host id", hostIdText(entry.id));
      std::string time = asctimeText(fullTime(entry.record.registrationTime, now));
      if (!time.empty() && time.back() == '\n') time.pop_back();
      printItem(out, "time", time + " (" + ageText(now, entry.record.registrationTime) + ")");
      continue;
    }
    ServerListReader::Entry shown;
    shown.section = entry.type;
    shown.record = std::move(entry.record);
    shown.offset = offset;
    const ServerKey key = computeServerKey(shown.record.fields);
    shown.storedKey = key;
    printHost(out, shown, key, now);
  }
  ::close(fd);
  if (result == LogReader::Result::ReadError) {
    error = "cannot read " + path + ": " + reader.readError();
    return false;
  }
  if (result == LogReader::Result::Damaged) {
    error = path + " is damaged: " + reader.why() + " (" + std::to_string(reader.entriesRead()) +
            " whole changes before it are shown)";
    return false;
  }
  std::fprintf(out, "  %llu changes, ending at offset %llu of %llu\n",
               static_cast<unsigned long long>(reader.entriesRead()),
               static_cast<unsigned long long>(reader.validEnd()),
               static_cast<unsigned long long>(size));
  return true;
}

// Prints every log beside the list at `path`, oldest first: the changes made since the list was
// written. Sets `found` to how many there are.
bool dumpLogs(const std::string& path, std::int64_t now, std::FILE* out, std::size_t& found,
              std::string& error) {
  const ListPaths paths = listPaths(systemEnv(), path);
  std::vector<std::string> names;
  std::vector<std::pair<std::uint64_t, std::string>> logs;
  if (systemEnv().listDirectory(paths.dir, names) == 0) {
    for (const std::string& name : names) {
      if (const auto seq = paths.logSeq(name)) logs.emplace_back(*seq, paths.log(*seq));
    }
  }
  std::sort(logs.begin(), logs.end());
  found = logs.size();
  for (const auto& [seq, log] : logs) {
    if (!dumpLog(log, now, out, error)) return false;
  }
  return true;
}

}  // namespace

bool dumpServerList(const std::string& path, std::int64_t now, std::FILE* out, std::string& error) {
  // Before its first snapshot a server has only its logs: they are what there is to show.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
    std::size_t logs = 0;
    const bool read = dumpLogs(path, now, out, logs, error);
    if (read && logs == 0) {
      error = "cannot open " + path + ": " + std::strerror(ENOENT) + ", and no log is beside it";
      return false;
    }
    if (read) {
      std::fprintf(out, "no %s yet: the %zu log%s above hold%s every change\n",
                   consoleText(path).c_str(), logs, logs == 1 ? "" : "s", logs == 1 ? "s" : "");
    }
    return read;
  }
  std::uint64_t size = 0;
  const int fd = openFile(path, size, error);
  if (fd < 0) return false;
  std::fprintf(out, "%s: %llu bytes\n", consoleText(path).c_str(),
               static_cast<unsigned long long>(size));

  ServerListReader reader(systemEnv(), fd, size);
  ServerListReader::Entry entry;
  std::size_t headed = 0;  // sections whose heading has been printed
  std::size_t records = 0;
  std::size_t inSection = 0;
  std::set<ServerKey> keys;  // those of the section at hand, to tell which records load drops
  auto result = ServerListReader::Result::End;
  while ((result = reader.next(entry)) == ServerListReader::Result::Record) {
    const std::size_t section = index(entry.section);
    for (; headed < section; ++headed) {
      std::fprintf(out, "%s: no records\n", sectionHeading(headed).c_str());
    }
    if (headed == section) {
      std::fprintf(out, "%s\n", sectionHeading(section).c_str());
      ++headed;
      inSection = 0;
      keys.clear();
    }
    const ServerKey key = computeServerKey(entry.record.fields);
    const bool keyTaken = !keys.insert(key).second;
    printRecord(out, entry, inSection++, key, keyTaken, now);
    ++records;
  }
  ::close(fd);

  if (result == ServerListReader::Result::ReadError) {
    error = "cannot read " + path + ": " + reader.readError();
    return false;
  }
  if (result == ServerListReader::Result::Damaged) {
    const std::string shown = records == 0 ? "no whole record before it"
                              : records == 1
                                  ? "1 whole record before it is shown"
                                  : std::to_string(records) + " whole records before it are shown";
    error = path + " is damaged: " + reader.damage() + " (" + shown + ")";
    return false;
  }
  for (; headed < kServerTypeCount; ++headed) {
    std::fprintf(out, "%s: no records\n", sectionHeading(headed).c_str());
  }
  std::fprintf(out, "%zu record%s\n", records, records == 1 ? "" : "s");

  // The logs beside it, oldest first: the changes made since it was written.
  std::size_t logs = 0;
  return dumpLogs(path, now, out, logs, error);
}

}  // namespace dirserver::dirctl
