// The server list file: the registry as it stands after the latest registration or shutdown
// request, carried across restarts.
//
// Layout, all integers little-endian, no header, no padding: three sections, one per ServerType
// in the order 0, 1, 2, each present even when empty:
//   count   u32                 records in the section
//   records count x 28694 bytes in ascending unsigned key order, each:
//     key                 u32   the key the record is filed under
//     registration time   i32   seconds since 1970
//     7 x { length u16, data 4096 bytes }   the field's bytes, then zeros up to 4096
// A registry of N records in all makes a file of 12 + 28694 x N bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/byte_order.h"
#include "persist/file_system.h"
#include "registry/registry_snapshot.h"
#include "registry/server_context.h"

namespace dirserver {

inline constexpr std::size_t kFileCountSize = 4;
inline constexpr std::size_t kFileFieldSize = 2 + kFieldCapacity;                     // 4098
inline constexpr std::size_t kFileRecordSize = 4 + 4 + kFieldCount * kFileFieldSize;  // 28694

// A name under which a damaged server list file found at `now` (seconds since 1970) is kept, next
// to the file itself: LISTFILE.damaged-YYYYMMDDTHHMMSSZ in UTC, with "-N" appended for the Nth
// try (N >= 2) when the earlier names are taken.
std::string damagedListFile(const std::string& listFile, std::int64_t now, unsigned attempt = 1);

// Moves `listFile` aside to the first damagedListFile(listFile, now, attempt) name that nothing
// holds yet, never replacing anything that is there. Returns true with `keptAs` the name used;
// returns false with `keptAs` the first name and `why` the reason when the file could not be moved,
// in which case it stays where it was.
bool keepDamagedListFile(const std::string& listFile, std::int64_t now, std::string& keptAs,
                         std::string& why);

// Appends one record in file layout.
void appendFileRecord(Bytes& out, ServerKey key, const ServerRecord& record);

// Reads a server list file record by record, trusting nothing in it: a file that ends inside a
// count or a record, a count that needs more bytes than the file holds, or a field length above
// kFieldCapacity is damage, and no data that no read supplied is ever returned. A field of odd
// length is returned as it is stored. Bytes after the third section are not read. Allocates one
// record's worth at a time, whatever the file says.
class ServerListReader {
 public:
  // ReadError: the file could not be read (an I/O error), which says nothing about its contents.
  enum class Result { Record, End, Damaged, ReadError };

  struct Entry {
    ServerType section{};
    ServerKey storedKey = 0;  // as the file has it; the loader recomputes it
    ServerRecord record;
    std::uint64_t offset = 0;  // where the record starts in the file
  };

  // `file` is positioned at the start of the file and holds `fileSize` bytes.
  ServerListReader(std::FILE* file, std::uint64_t fileSize);

  // The next record, or End after the third section, or Damaged (see damage()), or ReadError
  // (see readError()). After any but Record every further call returns the same.
  Result next(Entry& entry);

  // Where and why the file is damaged, once next() has returned Damaged.
  const std::string& damage() const { return damage_; }

  // Bytes after the third section, once next() has returned End; nothing reads them.
  std::uint64_t trailingBytes() const { return fileSize_ - offset_; }

  // Why the file could not be read (the system's text for the error), once next() has returned
  // ReadError.
  const std::string& readError() const { return readError_; }

 private:
  Result fail(std::string why);
  Result failToRead(int error);

  std::FILE* file_;
  std::uint64_t fileSize_;
  std::uint64_t offset_ = 0;
  std::size_t nextSection_ = 0;  // sections whose count has been read
  std::uint32_t recordsLeft_ = 0;
  // Set when a count claims more records than the file holds: the whole records that are there
  // are read first, then the reader reports this.
  std::string countDamage_;
  std::uint32_t recordIndex_ = 0;
  bool finished_ = false;
  Result finalResult_ = Result::End;
  std::string damage_;
  std::string readError_;
  Bytes buffer_;
};

// What became of a save.
enum class SaveOutcome : std::uint8_t {
  Saved,       // the new file is in place and synced, its directory too
  NotDurable,  // the new file is in place, but its directory could not be synced
  Failed,      // nothing changed: the old file is as it was
};

// Where a save writes: the list file itself, or, when it is a symbolic link, the file the link
// leads to (so that the link keeps pointing at the current list).
std::string saveTarget(const std::string& listFile);

// Writes `snapshot` as the server list file `listFile`, atomically: a stale temporary file
// (saveTarget + ".tmp") is removed, a new one is created exclusively (never through a link),
// written, synced and closed, and then renamed over the target, whose directory is synced last. A
// crash at any moment leaves either the old file or the new one, whole. On failure the temporary
// file is removed and the old file stays. Prints nothing; safe from any thread.
SaveOutcome writeServerList(const RegistrySnapshot& snapshot, const std::string& listFile,
                            FileSystem& fs = systemFileSystem());

// Prints what the operator must know of a save: "- could not save server list" when it failed, a
// line saying the list is saved but may not survive a power loss when only the directory sync
// failed, and nothing when it was saved.
void reportSave(SaveOutcome outcome, const Console& console);

// Saves the registry of `context` at once on the calling thread and reports the outcome: what the
// server does at start when the file it loaded needs rewriting.
SaveOutcome saveServerList(const ServerContext& context);

// What loading found.
struct LoadResult {
  // False when the file is there but cannot be read: the server must end.
  bool readable = true;
  // The file differs from what a save of the loaded registry would write (damage, a dropped
  // duplicate, a stored key that is not the computed one, records out of order, bytes after the
  // last section, damage moved aside): the server writes the registry back at once.
  bool rewrite = false;
};

// Fills the (empty) registry from the file, putting each record in the map of the section it
// stands in, under the key computed afresh from its fields (with the key trace when the switch is
// on); only a record identical to one already loaded in its section is dropped. Prints
// "- starting with empty server list" on console.err when there is no file, otherwise
// "- loaded %d servers" on console.out. A damaged file keeps the records read whole before the
// damage, says so on console.err, and is moved aside to a name of its own (keepDamagedListFile)
// so that neither the next save nor a later damaged file destroys it. Stops at kMaxServers
// records in all. Marks the registry filled now (ServerRegistry::setFilledAt).
//
// When the file is there but cannot be read (no permission, a directory or anything else that is
// no regular file, an I/O error): prints "+error: cannot read server list FILE: REASON" on
// console.err, leaves the file untouched, and returns `readable` false; the caller must not go on
// with the registry (the server ends).
LoadResult loadServerList(ServerContext& context);

}  // namespace dirserver
