#include "fuzz_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "common/text.h"
#include "listing/list_reply.h"
#include "client/list_reply_decoder.h"
#include "registry/server_key.h"
#include "persist/list_loader.h"

namespace dirserver::fuzz {

void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  std::abort();
}

namespace {

constexpr std::string_view kScratchPrefix = "dirserver-fuzz.";

std::filesystem::path scratchParent() {
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

// Removes the scratch directories of processes that no longer exist.
void removeAbandoned(const std::filesystem::path& parent) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(kScratchPrefix)) continue;
    const std::string digits = name.substr(kScratchPrefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::strtol(digits.c_str(), nullptr, 10);
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }
}

class Scratch {
 public:
  Scratch() {
    const std::filesystem::path parent = scratchParent();
    removeAbandoned(parent);
    path_ = (parent / (std::string(kScratchPrefix) + std::to_string(::getpid()))).string();
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (!std::filesystem::create_directory(path_, error)) {
      std::fprintf(stderr, "cannot make the scratch directory %s\n", path_.c_str());
      std::abort();
    }
  }
  ~Scratch() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace

const std::string& scratchDirectory() {
  static const Scratch scratch;
  return scratch.path();
}

std::string freshListFile() {
  const std::string path = scratchDirectory() + "/server_list.dat";
  // The list, its temporary and damaged copies, its owners file and logs: all begin alike.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(scratchDirectory(), error)) {
    if (entry.path().filename().string().starts_with("server_list.")) {
      removeFile(entry.path().string());
    }
  }
  return path;
}

void writeWhole(const std::string& path, ByteView bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_REQUIRE(fd >= 0);
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    FUZZ_REQUIRE(written > 0);
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  FUZZ_REQUIRE(::close(fd) == 0);
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

std::vector<std::string> knownHostStrings(ServerType type) {
  static const char* const kNames[] = {"Quorv host", "Melee host", "Team host"};
  return {std::string(kServerTypePaths[index(type)]),
          "192.0.2.7:7000",
          kNames[index(type)],
          "1.2",
          "3/8",
          "dm_arena",
          "open"};
}

ServerRecord knownHostRecord(ServerType type) {
  ServerRecord record;
  const std::vector<std::string> strings = knownHostStrings(type);
  for (std::size_t i = 0; i < kFieldCount; ++i) record.fields[i].data = toUtf16le(strings[i]);
  return record;
}

std::uint64_t writeKnownList(const std::string& listFile) {
  ServerRegistry registry;
  for (ServerType type : kServerTypes) {
    ServerRecord record = knownHostRecord(type);
    record.registrationTime = 1'700'000'000;
    registry.insert(type, computeServerKey(record.fields), record, 0x010200C0);
  }
  const CheckpointWritten written =
      writeServerList(systemEnv(), registry.snapshot(), listPaths(systemEnv(), listFile));
  FUZZ_REQUIRE(written.outcome == SaveOutcome::Saved);
  return written.owners.fingerprint;
}

const Clock& clockAt(std::int64_t wallSeconds) {
  static std::map<std::int64_t, std::unique_ptr<SettableClock>> clocks;
  auto& clock = clocks[wallSeconds];
  if (!clock) clock = std::make_unique<SettableClock>(wallSeconds);
  return *clock;
}

ServerContext makeContext(const Console& console, std::int64_t now) {
  ServerContext context;
  context.console = console;
  context.clock = &clockAt(now);
  context.listFile = freshListFile();
  return context;
}

namespace {

void checkConsoleText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    FUZZ_REQUIRE(byte == '\n' || (byte >= 0x20 && byte != 0x7F));
    // U+0080-U+009F in UTF-8.
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      FUZZ_REQUIRE(next < 0x80 || next > 0x9F);
    }
  }
}

}  // namespace

void checkConsole(CapturedConsole& console) {
  checkConsoleText(console.out());
  checkConsoleText(console.err());
}

void checkRegistry(const ServerRegistry& registry, RecordSource source) {
  std::uint64_t total = 0;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      for (const ServerField& field : position->record->fields) {
        FUZZ_REQUIRE(field.data.size() <= kFieldCapacity);
        // Registration stores whole UTF-16 code units.
        FUZZ_REQUIRE(source == RecordSource::File || field.data.size() % 2 == 0);
      }
      FUZZ_REQUIRE(position->key == computeServerKey(position->record->fields));
      // A host's identity, its key and its fields, stands once in its type, in strict order;
      // keys alone may repeat.
      if (position != registry.begin(type)) {
        FUZZ_REQUIRE(HostOrder()(*std::prev(position), *position));
      }
      ++total;
    }
  }
  FUZZ_REQUIRE(total == registry.totalCount());
  FUZZ_REQUIRE(total <= kMaxServers);
}

bool sameRegistry(const ServerRegistry& a, const ServerRegistry& b) {
  for (ServerType type : kServerTypes) {
    if (a.size(type) != b.size(type)) return false;
    for (auto pa = a.begin(type), pb = b.begin(type); pa != a.end(type); ++pa, ++pb) {
      if (!(*pa == *pb)) return false;
    }
  }
  return true;
}

void checkSavedFile(const ServerContext& context) {
  std::error_code error;
  const auto size = std::filesystem::file_size(context.listFile, error);
  FUZZ_REQUIRE(!error);
  FUZZ_REQUIRE(size == listFileSize(context.registry.totalCount()));

  CapturedConsole console;
  ServerContext loaded;
  loaded.console = console.console();
  loaded.clock = context.clock;
  loaded.listFile = context.listFile;
  loadServerList(loaded);
  // A damaged file would have been moved aside, with a line on console.err.
  FUZZ_REQUIRE(fileExists(loaded.listFile));
  FUZZ_REQUIRE(console.err().empty());
  FUZZ_REQUIRE(sameRegistry(loaded.registry, context.registry));
  // The owners file gives every host its owner back.
  for (ServerType type : kServerTypes) {
    FUZZ_REQUIRE(std::equal(loaded.registry.begin(type), loaded.registry.end(type),
                            context.registry.begin(type), context.registry.end(type),
                            [](const HostEntry& a, const HostEntry& b) { return a.from == b.from; }));
  }
}

void checkSaveAndLoad(const ServerContext& context) {
  CapturedConsole console;
  ServerContext saving;
  saving.console = console.console();
  saving.listFile = context.listFile;
  saving.registry = context.registry;
  const CheckpointWritten written = writeServerList(systemEnv(), saving.registry.snapshot(),
                                                  listPaths(systemEnv(), saving.listFile));
  FUZZ_REQUIRE(written.outcome == SaveOutcome::Saved);
  checkSavedFile(saving);
}

namespace {

// The parent and name texts of the root directory and of each game type's, in listing order.
struct DirectoryTexts {
  Bytes parent, name;
};

const std::array<DirectoryTexts, 1 + kServerTypeCount>& directoryTexts() {
  static const auto texts = [] {
    std::array<DirectoryTexts, 1 + kServerTypeCount> all;
    all[0] = {toUtf16le(kRootParent), toUtf16le(kRootName)};
    for (ServerType type : kServerTypes) {
      const std::string_view path = kServerTypePaths[index(type)];
      const auto slash = path.rfind('/');
      all[1 + index(type)] = {toUtf16le(path.substr(0, slash)), toUtf16le(path.substr(slash + 1))};
    }
    return all;
  }();
  return texts;
}

void checkDirectory(const ListedEntry& entry, const DirectoryTexts& texts) {
  FUZZ_REQUIRE(entry.isDirectory);
  FUZZ_REQUIRE(entry.texts.size() == 3);
  FUZZ_REQUIRE(entry.texts[0] == texts.parent);
  FUZZ_REQUIRE(entry.texts[1] == texts.name);
  FUZZ_REQUIRE(entry.texts[2] == texts.name);
  FUZZ_REQUIRE(entry.first == 0 && entry.second == kDirectoryStamp);
}

}  // namespace

void checkListing(const ServerRegistry& registry, ByteView reply) {
  std::size_t expected = 380;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      expected += 25;
      for (const ServerField& field : position->record->fields)
        expected += field.data.size() / 2 * 2;
    }
  }
  FUZZ_REQUIRE(reply.size() == expected);
  FUZZ_REQUIRE(loadU32(reply.data()) == reply.size());

  ListedReply decoded;
  std::string error;
  const bool ok = decodeListReply(reply, decoded, error);
  FUZZ_REQUIRE(ok);
  FUZZ_REQUIRE(decoded.header.size == reply.size());
  FUZZ_REQUIRE(decoded.header.messageId == kMessageId);
  FUZZ_REQUIRE(decoded.header.messageType == static_cast<std::uint32_t>(MessageType::ListReply));
  FUZZ_REQUIRE(decoded.entryCount ==
               static_cast<std::uint16_t>(registry.totalCount() + kDirectoryEntryCount));
  FUZZ_REQUIRE(decoded.entries.size() == registry.totalCount() + kDirectoryEntryCount);

  auto entry = decoded.entries.begin();
  checkDirectory(*entry++, directoryTexts()[0]);
  for (ServerType type : kServerTypes) {
    checkDirectory(*entry++, directoryTexts()[1 + index(type)]);
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      FUZZ_REQUIRE(!entry->isDirectory);
      FUZZ_REQUIRE(entry->texts.size() == kFieldCount);
      for (std::size_t i = 0; i < kFieldCount; ++i) {
        const Bytes& stored = position->record->fields[i].data;
        FUZZ_REQUIRE(entry->texts[i] ==
                     Bytes(stored.begin(), stored.begin() + stored.size() / 2 * 2));
      }
      FUZZ_REQUIRE(entry->first == kServerEntryFixed && entry->second == 0);
      ++entry;
    }
  }
}

}  // namespace dirserver::fuzz
