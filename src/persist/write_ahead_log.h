// The server list's write-ahead log: every change of the registry since the checkpoint it follows,
// appended as it is acknowledged, so that a kill loses nothing acknowledged and a change costs the
// disk a few hundred bytes instead of a whole server list. Files "server_list.wal.SEQ" beside the
// list (the stem of the list's name, ".wal.", a sequence number), read back at start after the
// list, oldest first.
//
// Layout, integers little-endian:
//   header, 48 bytes:
//     magic            8 bytes  "DSWAL\r\n\x1a"
//     version          u32      2 (this server writes 2, and reads 1 and 2)
//     sequence number  u64      the N of its name; a new log gets a larger one than any before
//     base             u64      fingerprint of the server list this log follows
//     base change      u64      the number of the last change that list holds
//     first change     u64      the number of this log's first entry; entries count up by one
//     checksum         u32      CRC-32C of the 44 bytes before it
//   entries, one per change, each:
//     checksum         u32      CRC-32C of the length and the payload
//     length           u32      bytes of payload, 24 to 28696
//     payload:
//       operation      u8       1: the host now has this whole state (added; in a version 1 log,
//                                  also refreshed);
//                               2: the host is gone (shut down or dropped by the expiry sweep);
//                               3 (version 2 only): a refresh, see below
//     operations 1 and 2:
//       type           u8       its ServerType, 0 to 2
//       time           i32      its registration time
//       owner          4 bytes  the IPv4 address it belongs to, in network order; 0.0.0.0: none
//       7 x { length u16, that many bytes }   its fields
//     operation 3, 30 bytes in all: the stored host named sets its time and owner, absolutely
//       type           u8       its ServerType, 0 to 2
//       time           i32      its registration time from now on
//       owner          4 bytes  its owner from now on, as above; 0.0.0.0: it keeps its owner
//       key            u32      its ServerKey
//       host id        16 bytes its HostId
//   then nothing, or zeros up to the end of the file (room taken ahead of the entries). A zero
//   length where an entry would start ends the log.
//
// A refresh names its host rather than restating it: a host with long strings costs the log 38
// bytes per refresh instead of up to 28 KiB. Replaying one whose host is not stored (no host of
// that type and key has that id) is damage, like a checksum that does not match.
//
// A server that knows only version 1 finds "log version 2 is not known" in a newer log's header and
// moves the log aside as damaged (LOG.damaged-...), replaying nothing of it; this one does the same
// with any version it does not know. A version 1 log left by an earlier server is replayed, and a
// new log takes over after it (a version 1 log is never appended to).
//
// A change's number places it in the registry's history across logs: loading applies, after the
// list, every change after the list's base change, each once and in order, and stops at the
// first gap or damage.
#pragma once

#include <cstdint>
#include <string>

#include "persist/env.h"
#include "registry/host_id.h"
#include "registry/registry_snapshot.h"

namespace dirserver {

inline constexpr std::size_t kLogMagicSize = 8;
inline constexpr std::uint32_t kLogVersion = 2;
// The oldest version this server replays.
inline constexpr std::uint32_t kLogOldestVersion = 1;
inline constexpr std::size_t kLogHeaderSize = 48;
inline constexpr std::size_t kLogEntryHeaderSize = 8;                   // checksum, length
inline constexpr std::size_t kLogPayloadMin = 1 + 1 + 4 + 4 + kFieldCount * 2;  // 24
inline constexpr std::size_t kLogPayloadMax = kLogPayloadMin + kFieldCount * kFieldCapacity;
inline constexpr std::size_t kLogRefreshPayload = 1 + 1 + 4 + 4 + 4 + kHostIdSize;  // 30

struct LogHeader {
  std::uint64_t seq = 0;
  std::uint64_t baseFingerprint = 0;
  std::uint64_t baseChange = 0;
  std::uint64_t firstChange = 0;
  // The format of its entries: kLogVersion for a log this server begins.
  std::uint32_t version = kLogVersion;
};

Bytes encodeLogHeader(const LogHeader& header);

// Why a file's first bytes are not a header of ours.
enum class LogHeaderFault : std::uint8_t {
  None,         // they are one
  Short,        // the file is shorter than a header, or could not be read
  NotOurs,      // they do not begin with a log's magic
  Checksum,     // the header's checksum does not match
  UnknownVersion  // its version is not one this server knows
};

// Decodes the first kLogHeaderSize bytes of a log. Returns LogHeaderFault::None, or the fault with
// `why` when they are not a header of a version this server reads.
LogHeaderFault decodeLogHeader(ByteView bytes, LogHeader& header, std::string& why);

enum class LogOperation : std::uint8_t { Set = 1, Remove = 2, Refresh = 3 };

struct LogEntry {
  LogOperation operation = LogOperation::Set;
  ServerType type{};
  // Set and Remove: the host's whole state. Refresh: only the registration time; no fields.
  ServerRecord record;
  PeerAddress owner = kUnknownAddress;
  // Refresh only: the host named.
  ServerKey key = 0;
  HostId id{};
};

// The entry of one change: an addition as Set of the host's state, a refresh as Refresh of its
// time and owner, naming it by key and id, a removal as Remove (with the whole state: a reader
// needs no earlier entry to tell which host it is about).
LogEntry logEntryOf(const HostChange& change);
void appendLogEntry(Bytes& out, const HostChange& change);
void appendLogEntry(Bytes& out, const LogEntry& entry);

// Reads a log entry by entry through `env`, trusting nothing in it: an entry cut short, a length
// out of bounds, a checksum that does not match, a payload that does not add up, or anything but
// zeros after a zeroed end is damage, and ends the entries. Reads in blocks of a megabyte,
// whatever the file says.
class LogReader {
 public:
  enum class Result { Entry, End, Damaged, ReadError };

  // `fd` is positioned at the start of the file, which holds `fileSize` bytes.
  LogReader(Env& env, int fd, std::uint64_t fileSize);

  // Reads the header; false, with why(), when the file is not a log of ours of a version this
  // server reads (or cannot be read: then readError() is set too). Refresh entries are read only
  // from a log whose header says version 2.
  bool readHeader(LogHeader& header);

  // The next entry (its number is header.firstChange + entriesRead() - 1 after it is returned),
  // End, Damaged (see why()) or ReadError (see readError()). After any but Entry, every further
  // call returns the same.
  Result next(LogEntry& entry);

  // After readHeader() failed: whether the file holds no entry bytes, being shorter than a header
  // or nothing but zeros (what a crash while it was being created leaves). Reads the rest of the
  // file to tell.
  bool holdsNothing();
  // After readHeader() failed, and before holdsNothing(): whether the file begins as a log of ours
  // (its magic, or zeros where the header goes), so that the header is damaged rather than the
  // file someone else's.
  bool headerDamaged() const;

  // After next() returned Damaged: whether the damage is what a kill inside the last commit
  // leaves, an entry cut short (or whose bytes do not all match its checksum) followed only by
  // zeros or the end of the file. Then cutBytes() counts the bytes of that entry written.
  bool cutShort() const { return cutShort_; }
  std::uint64_t cutBytes() const { return cutBytes_; }

  std::uint64_t entriesRead() const { return entries_; }
  // The checksum of the entry next() returned last: the same change written twice (into a log
  // and into the one that takes over from it) has the same one.
  std::uint32_t lastChecksum() const { return lastChecksum_; }
  // Where the entries read so far end: the offset a writer goes on from.
  std::uint64_t validEnd() const { return offset_; }
  std::uint64_t fileSize() const { return fileSize_; }
  const std::string& why() const { return why_; }
  // After readHeader() failed: what it found wrong.
  LogHeaderFault headerFault() const { return headerFault_; }
  const std::string& readError() const { return readError_; }

 private:
  bool fill(std::size_t wanted);
  Result fail(std::string why);
  bool restIsZero();
  Result failEntry(std::string why, std::uint64_t extent);

  Env& env_;
  int fd_;
  std::uint64_t fileSize_;
  std::uint64_t offset_ = 0;   // of buffer_[position_] in the file
  std::uint64_t entries_ = 0;
  std::uint32_t lastChecksum_ = 0;
  std::uint32_t version_ = kLogVersion;
  Bytes buffer_;
  std::size_t position_ = 0;
  bool finished_ = false;
  Result finalResult_ = Result::End;
  std::string why_;
  LogHeaderFault headerFault_ = LogHeaderFault::None;
  std::string readError_;
  bool cutShort_ = false;
  std::uint64_t cutBytes_ = 0;
};

}  // namespace dirserver
