// The server list's write-ahead log as the server reads it at start: the input is the whole log,
// beside a fixed list of three hosts whose fingerprint the seeds' headers name.
//
// The loaded registry is compared with the list and the entries a plain LogReader walk yields up
// to its first damage, applied one by one. A damaged log must leave a copy of the input aside and
// be cut back to its whole entries, after which a second start finds no damage and loads the
// same; a last commit cut short is cut back without a copy; a log whose header of ours cannot be
// read is moved aside whole as damaged; a log of another list or none of ours is moved aside
// whole, unreplayed.

#include <fcntl.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "persist/list_loader.h"

namespace dirserver::fuzz {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;

// What the list and the input make, by the reader alone; counts the changes applied.
ServerRegistry expected(ServerContext& context, const std::string& path, std::uint64_t base,
                        std::uint64_t& applied, bool& damaged) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_REQUIRE(fd >= 0);
  LogReader reader(systemEnv(), fd, static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END)));
  ::lseek(fd, 0, SEEK_SET);
  LogHeader header;
  const bool read = reader.readHeader(header);
  if (read && header.seq == 1 && header.baseFingerprint == base &&
      header.firstChange <= header.baseChange + 1) {
    LogEntry entry;
    auto result = LogReader::Result::End;
    std::uint64_t number = header.firstChange;
    while ((result = reader.next(entry)) == LogReader::Result::Entry) {
      if (number++ <= header.baseChange) continue;
      std::string why;
      if (!applyLogEntry(context, entry, why)) {
        result = LogReader::Result::Damaged;
        break;
      }
      ++applied;
    }
    FUZZ_REQUIRE(result != LogReader::Result::ReadError);
    // A commit cut short by a kill is dropped without a copy.
    damaged = result == LogReader::Result::Damaged && !reader.cutShort();
  } else if (!read) {
    FUZZ_REQUIRE(reader.readError().empty());
    // A header of ours that cannot be read in front of entries is damage, moved aside whole.
    const bool ours = reader.headerDamaged();
    damaged = ours && !reader.holdsNothing();
  }
  ::close(fd);
  return context.registry;
}

void runLog(ByteView input) {
  CapturedConsole console;
  ServerContext context = makeContext(console.console(), kNow);
  const std::uint64_t base = writeKnownList(context.listFile);
  const std::string log = listPaths(systemEnv(), context.listFile).log(1);
  writeWhole(log, input);

  CapturedConsole plainConsole;
  ServerContext plain;
  plain.console = plainConsole.console();
  plain.listFile = context.listFile;
  SystemEnv env(clockAt(kNow));
  {
    // The list without its log, as the reader's walk starts from it.
    const std::string aside = log + ".walked";
    FUZZ_REQUIRE(::rename(log.c_str(), aside.c_str()) == 0);
    loadServerList(plain, env);
    FUZZ_REQUIRE(::rename(aside.c_str(), log.c_str()) == 0);
  }
  std::uint64_t applied = 0;
  bool damaged = false;
  const ServerRegistry walked = expected(plain, log, base, applied, damaged);

  const LoadResult result = loadServerList(context, env);
  FUZZ_REQUIRE(result.readable);
  FUZZ_REQUIRE(result.changesReplayed == applied);
  FUZZ_REQUIRE(sameRegistry(context.registry, walked));
  checkRegistry(context.registry, RecordSource::File);
  const std::string copy = damagedListFile(log, kNow);
  FUZZ_REQUIRE(fileExists(copy) == damaged);
  if (fileExists(log)) {
    // Whatever stayed in place loads again without a word, to the same registry.
    CapturedConsole againConsole;
    ServerContext again;
    again.console = againConsole.console();
    again.listFile = context.listFile;
    loadServerList(again, env);
    FUZZ_REQUIRE(againConsole.err().empty());
    FUZZ_REQUIRE(sameRegistry(again.registry, walked));
  }
  checkListing(context.registry, buildListReply(context.registry));
  checkConsole(console);
}

}  // namespace
}  // namespace dirserver::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dirserver::fuzz::runLog(dirserver::ByteView(data, size));
  return 0;
}
