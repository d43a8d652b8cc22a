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

// Rewrites the file from the registry, atomically: the new contents go to a temporary file next to
// it, which is flushed to disk and renamed over the old one, so a crash at any moment leaves
// either the old file or the new one, whole. On any failure prints "- could not save server list"
// on console.err, removes the temporary file and leaves the old file as it was. Prints nothing on
// success; never changes the registry.
void saveServerList(const ServerContext& context);

// Fills the (empty) registry from the file, putting each record in the map of the section it
// stands in, under the key computed afresh from its fields (with the key trace when the switch is
// on); a key already present in that map drops the later record. Returns true and prints
// "- starting with empty server list" on console.err when there is no file, otherwise
// "- loaded %d servers" on console.out. A damaged file keeps the records read whole before the
// damage, says so on console.err, and is moved aside to a name of its own (keepDamagedListFile)
// so that neither the next save nor a later damaged file destroys it. Stops at kMaxServers
// records in all.
//
// Returns false when the file is there but cannot be read (no permission, a directory or anything
// else that is no regular file, an I/O error): prints
// "+error: cannot read server list FILE: REASON" on console.err, leaves the file untouched, and
// the caller must not go on with the registry (the server ends).
bool loadServerList(ServerContext& context);

}  // namespace dirserver
