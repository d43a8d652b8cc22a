// The outbox file: what this node changed and acknowledged that the cluster's bucket has not yet
// confirmed, the latest value per key with the revision of that key the node had seen when it
// made the change. An append log of checksummed records, so that each batch costs one small write
// and one sync; rewritten whole (temporary file, sync, rename, sync of the directory) when it has
// grown well past what it holds, after a failed write, and once at start.
//
// Layout, integers little-endian:
//   magic      8 bytes  "DSOUTBOX"
//   version    u32      1
//   records, each:
//     length   u32      bytes of the body
//     body:
//       kind      u8    1 put, 2 drop, 3 revise
//       key size  u16   then the key's bytes
//       revision  u64   put and revise: the revision of the key the value was made on
//       value           put: the rest of the body (the host's encoded state)
//     checksum u32      CRC-32C of the length and the body
// A record cut short at the end (a crash in the middle of an append) is ignored; a record whose
// checksum does not match, or whose length is more than any record's, ends the reading there, and
// the rest is reported as damage.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "persist/env.h"

namespace dirserver {

inline constexpr char kOutboxMagic[] = "DSOUTBOX";
inline constexpr std::size_t kOutboxMagicSize = 8;
inline constexpr std::uint32_t kOutboxVersion = 1;
inline constexpr std::size_t kOutboxHeaderBytes = kOutboxMagicSize + 4;
inline constexpr std::size_t kOutboxRecordFrameBytes = 4 + 4;    // length and checksum
inline constexpr std::size_t kOutboxBodyFixedBytes = 1 + 2 + 8;  // kind, key size, revision
inline constexpr std::size_t kOutboxMaxKeyBytes = 0xFFFF;
// The longest value a record may hold: a host's encoded state is well under it.
inline constexpr std::size_t kOutboxMaxValueBytes = 64 * 1024;
inline constexpr std::size_t kOutboxMaxBodyBytes =
    kOutboxBodyFixedBytes + kOutboxMaxKeyBytes + kOutboxMaxValueBytes;

// One change waiting for the bucket: its value and the revision it was made on.
struct OutboxEntry {
  std::uint64_t revision = 0;
  Bytes value;

  bool operator==(const OutboxEntry&) const = default;
};
using OutboxEntries = std::map<std::string, OutboxEntry>;

// One step of the log. Put makes `key` hold `value` on `revision`; Drop forgets `key`; Revise
// moves the entry of `key` onto `revision` (its earlier value was confirmed there).
struct OutboxRecord {
  enum class Kind : std::uint8_t { Put = 1, Drop = 2, Revise = 3 };
  Kind kind = Kind::Put;
  std::string key;
  std::uint64_t revision = 0;
  Bytes value;
};

// Applies `record` to `entries`. Replaying a file's records in order gives what it holds.
void applyRecord(OutboxEntries& entries, const OutboxRecord& record);

// The bytes of `record`, framed. Keys longer than kOutboxMaxKeyBytes are cut there.
Bytes encodeOutboxRecord(const OutboxRecord& record);

// What a file held.
struct OutboxLoad {
  OutboxEntries entries;
  bool found = false;  // there was a file
  // Empty, or why some of it could not be used ("not an outbox file", "checksum mismatch at
  // byte 812: 40 bytes ignored", "read cluster_outbox: Input/output error").
  std::string damage;
};

// Decodes the bytes of a whole file.
OutboxLoad decodeOutbox(ByteView bytes);

// Reads the file at `path`. A missing file is an empty outbox.
OutboxLoad loadOutbox(Env& env, const std::string& path);

// Writes one outbox file. Not safe across threads: one thread writes (the files' writer).
class OutboxFile {
 public:
  OutboxFile(Env& env, std::string path) : env_(env), path_(std::move(path)) {}
  ~OutboxFile();
  OutboxFile(const OutboxFile&) = delete;
  OutboxFile& operator=(const OutboxFile&) = delete;

  // Replaces the file with one that holds `entries`: a temporary file, synced, renamed over it,
  // the directory synced. Returns false with `error` ("rename cluster_outbox.tmp: ...") when a
  // step failed; the file in place then still holds what it held.
  bool rewrite(const OutboxEntries& entries, std::string& error);

  // Appends `records` and syncs them. Returns false with `error` when that failed, or when no
  // rewrite has opened the file yet (or the last append failed): the caller rewrites it whole.
  bool append(const std::vector<OutboxRecord>& records, std::string& error);

  // Bytes of the file as written so far.
  std::uint64_t bytes() const { return end_; }

 private:
  void close();

  Env& env_;
  const std::string path_;
  int fd_ = -1;
  std::uint64_t end_ = 0;
};

// Where the outbox ("cluster_outbox") and the id of the bucket last followed ("cluster_bucket")
// live: beside the server list.
std::string outboxFileBeside(const std::string& listFile);
std::string bucketIdFileBeside(const std::string& listFile);

// The id of the bucket this node followed last, kept in a small file beside the outbox: empty
// when there is none or it cannot be read.
std::string readBucketId(Env& env, const std::string& path);
// Replaces that file (temporary file, sync, rename, sync of the directory). False with `error`.
bool writeBucketId(Env& env, const std::string& path, const std::string& id, std::string& error);

}  // namespace dirserver
