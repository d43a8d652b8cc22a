#include "dump.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "common/console.h"
#include "common/text.h"
#include "listing_output.h"
#include "registry/expiry.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"

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
void printRecord(std::FILE* out, const ServerListReader::Entry& entry, std::size_t index,
                 ServerKey key, bool keyTaken, std::int64_t now) {
  const ServerRecord& record = entry.record;
  std::fprintf(out, "  record %zu at offset %llu\n", index,
               static_cast<unsigned long long>(entry.offset));
  std::string keyText = std::to_string(key);
  if (key != entry.storedKey) keyText += ", stored " + std::to_string(entry.storedKey);
  printItem(out, "key", keyText);
  std::string time = asctimeText(fullTime(record.registrationTime, now));
  if (!time.empty() && time.back() == '\n') time.pop_back();
  printItem(out, "time", time + " (" + ageText(now, record.registrationTime) + ")");
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    printItem(out, fieldLabel(i), consoleText(toDisplayText(record.fields[i].data)));
  }

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

}  // namespace

bool dumpServerList(const std::string& path, std::int64_t now, std::FILE* out, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(::fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fclose(file);
    error = path + " is not a regular file";
    return false;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  std::fprintf(out, "%s: %llu bytes\n", consoleText(path).c_str(),
               static_cast<unsigned long long>(size));

  ServerListReader reader(file, size);
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
  std::fclose(file);

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
  const std::uint64_t used = kServerTypeCount * kFileCountSize + records * kFileRecordSize;
  if (size > used) {
    std::fprintf(out, "note: %llu bytes after the third section are not read\n",
                 static_cast<unsigned long long>(size - used));
  }
  return true;
}

}  // namespace dirserver::dirctl
