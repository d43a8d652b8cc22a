// The server list file: a checkpoint of the registry, carried across restarts together with the
// log of the changes made since (write_ahead_log.h) and the owners file (owners_file.h).
//
// Layout, all integers little-endian, no header, no padding: three sections, one per ServerType
// in the order 0, 1, 2, each present even when empty:
//   count   u32                 records in the section
//   records count x 28694 bytes in ascending unsigned key order, each:
//     key                 u32   the key the record is filed under
//     registration time   i32   seconds since 1970
//     7 x { length u16, data 4096 bytes }   the field's bytes, then zeros up to 4096
// A registry of N records in all makes a file of 12 + 28694 x N bytes. Nothing may follow the
// third section.
//
// Its fingerprint (what logs and owners files name it by) is FNV-1a 64 over the same bytes
// without the padding of each field: every count, and of every record its key, time, and each
// field's length and used bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "persist/checksum.h"
#include "persist/env.h"
#include "registry/registry_snapshot.h"
#include "registry/server_context.h"

namespace dirserver {

inline constexpr std::size_t kFileCountSize = 4;
inline constexpr std::size_t kFileFieldSize = 2 + kFieldCapacity;                     // 4098
inline constexpr std::size_t kFileRecordSize = 4 + 4 + kFieldCount * kFileFieldSize;  // 28694

// The size of the file of a registry of `hosts` hosts.
constexpr std::uint64_t listFileSize(std::uint64_t hosts) {
  return kServerTypeCount * kFileCountSize + kFileRecordSize * hosts;
}

// Appends one record in file layout.
void appendFileRecord(Bytes& out, ServerKey key, const ServerRecord& record);

// Feed a section's count, and a record, to a server list's fingerprint.
void fingerprintListCount(Fingerprint& fingerprint, std::uint32_t count);
void fingerprintListRecord(Fingerprint& fingerprint, ServerKey key, const ServerRecord& record);

// The fingerprint of a file of no records (three zero counts), which is also what a missing file
// counts as.
std::uint64_t emptyListFingerprint();

// Where the files of one server list lie: beside the file its name leads to (through symbolic
// links, so that a link keeps pointing at the current list).
struct ListPaths {
  std::string list;    // the name the server was given ("server_list.dat")
  std::string target;  // the file it leads to, which saves replace
  std::string dir;     // the directory of `target`
  std::string stem;    // `target` without a ".dat" ending: the logs and owners file are named on it

  std::string owners() const { return stem + ".owners"; }
  std::string logPrefix() const { return stem + ".wal."; }
  std::string log(std::uint64_t seq) const { return logPrefix() + std::to_string(seq); }
  // The sequence number of the log whose name within `dir` is `name`, if it is one.
  std::optional<std::uint64_t> logSeq(const std::string& name) const;
};

// Resolves `listFile` (as many links as the system itself would follow).
ListPaths listPaths(Env& env, const std::string& listFile);

// The last part of `path`, after its last slash (all of it without one).
std::string fileNameOf(const std::string& path);

// The file `name` in the directory of `listFile` as given (its links not followed): where the
// server keeps the files that go with its list (bans, the cluster's outbox).
std::string fileBeside(const std::string& listFile, std::string_view name);

// A name under which a damaged or unused file found at `now` (seconds since 1970) is kept, next to
// it: FILE.damaged-YYYYMMDDTHHMMSSZ (or another `what` than "damaged") in UTC, with "-N" appended
// for the Nth try (N >= 2) when the earlier names are taken.
std::string damagedListFile(const std::string& file, std::int64_t now, unsigned attempt = 1,
                            const char* what = "damaged");

// Moves `file` aside to the first damagedListFile(file, env.clock().wallSeconds(), attempt, what) name that
// nothing holds yet, never replacing anything that is there. Returns true with `keptAs` the name
// used; returns false with `keptAs` the first name and `why` the reason when it could not be
// moved, in which case it stays where it was.
bool keepDamagedListFile(Env& env, const std::string& file, std::string& keptAs, std::string& why,
                         const char* what = "damaged");

// Removes what saves of an earlier run left when it was killed: regular files named as the
// temporary files of the list or of the owners file (anything else there, such as a directory,
// is not ours and stays).
void removeStaleTemporaries(Env& env, const ListPaths& paths);

// Reads a server list file record by record, trusting nothing in it: a file that ends inside a
// count or a record, a count that needs more bytes than the file holds, a field length above
// kFieldCapacity, or bytes after the third section are damage, and no data that no read supplied
// is ever returned. A field of odd length is returned as it is stored. Allocates one record's
// worth at a time, whatever the file says.
class ServerListReader {
 public:
  // ReadError: the file could not be read (an I/O error), which says nothing about its contents.
  enum class Result { Record, End, Damaged, ReadError };

  struct Entry {
    ServerType section{};
    ServerKey storedKey = 0;  // as the file has it; the loader recomputes it
    ServerRecord record;
    std::uint64_t offset = 0;  // where the record starts in the file
    std::uint32_t index = 0;   // of the records in the file, counted across sections
  };

  // `fd` (read through `env`) is positioned at the start of the file and holds `fileSize` bytes.
  ServerListReader(Env& env, int fd, std::uint64_t fileSize);

  // The next record, or End after the third section, or Damaged (see damage()), or ReadError
  // (see readError()). After any but Record every further call returns the same.
  Result next(Entry& entry);

  // Where and why the file is damaged, once next() has returned Damaged.
  const std::string& damage() const { return damage_; }

  // Why the file could not be read (the system's text for the error), once next() has returned
  // ReadError.
  const std::string& readError() const { return readError_; }

  // The fingerprint of what has been read so far: of the whole file once next() returned End.
  std::uint64_t fingerprint() const { return fingerprint_.value(); }

 private:
  Result fail(std::string why);
  Result failToRead(int error);

  Env& env_;
  int fd_;
  std::uint64_t fileSize_;
  std::uint64_t offset_ = 0;
  std::size_t nextSection_ = 0;  // sections whose count has been read
  std::uint32_t recordsLeft_ = 0;
  // Set when a count claims more records than the file holds: the whole records that are there
  // are read first, then the reader reports this.
  std::string countDamage_;
  std::uint32_t recordIndex_ = 0;
  std::uint32_t recordsRead_ = 0;
  bool finished_ = false;
  Result finalResult_ = Result::End;
  std::string damage_;
  std::string readError_;
  Fingerprint fingerprint_;
  Bytes buffer_;
};

// What became of a save.
enum class SaveOutcome : std::uint8_t {
  Saved,       // the new file is in place and synced, its directory too
  NotDurable,  // the new file is in place, but its directory could not be synced
  Failed,      // nothing changed: the old file is as it was
};

// The owners of a checkpoint's hosts, in the order its file holds them (section by section), under
// the fingerprint of that file.
struct OwnerTable {
  std::uint64_t fingerprint = 0;
  std::vector<PeerAddress> owners;
};

// What a checkpoint wrote: its outcome, the new file's fingerprint and the owners it holds, and the
// bytes written.
struct CheckpointWritten {
  SaveOutcome outcome = SaveOutcome::Failed;
  OwnerTable owners;
  std::uint64_t bytes = 0;
  // Unless Saved, the step that failed and the system's reason ("sync server_list.dat.tmp-1-0:
  // Input/output error").
  std::string error;
};

// Writes `snapshot` as the server list file, atomically, with the owners file beside it: each is
// written to a temporary file of a name of its own (never through a link, never over anything),
// synced and closed. Then `beforeRename` (when given) is called with the new fingerprint; when it
// returns false, the temporary files are removed and the save fails. Otherwise the owners file is
// renamed into place (holding the owners of `previous`, the list in place now, and of the new
// one, so that either list finds its owners whatever moment a crash comes), then the list, and
// their directory is synced last. A crash at any moment leaves the old list or the new one, whole.
// On failure the temporary files are removed and the old files stay. Writes back in slices as it
// goes, so that it never holds much unwritten data that a sync elsewhere could wait for; when
// `beforeWrite` is given, it is called with the size of each piece of the list before it is
// written (it may wait, to keep the writes to a rate) and returns whether the writer is paced:
// paced, the slices are a megabyte, so that a commit's sync never queues behind much of the list;
// unpaced (and without `beforeWrite`), 8 MiB, for the disk's full speed. When `releaseReplaced`
// is given and the list replaced had no other name, that file is held open across the rename and
// handed to it, once the directory sync is done, with its size: it may free the file's blocks in
// steps (ftruncate) before the file is closed. Left to the rename, the blocks of a list of
// hundreds of megabytes are freed in one go, and that holds the file system's journal, and every
// sync waiting on it, for a tenth of a second. Prints nothing; safe from any thread.
CheckpointWritten writeServerList(Env& env, const RegistrySnapshot& snapshot, const ListPaths& paths,
                                const OwnerTable* previous = nullptr,
                                const std::function<bool(std::uint64_t)>& beforeRename = {},
                                const std::function<bool(std::uint64_t)>& beforeWrite = {},
                                const std::function<void(int, std::uint64_t)>& releaseReplaced = {});

// Replaces the file `path` leads to (through symbolic links, as the list's target) with `bytes`,
// crash-safely as a checkpoint: a temporary file of a name of its own beside it, written, synced,
// renamed over it, and their directory synced. Saved: the new bytes are durable. NotDurable: they
// are in place, but the directory could not be synced. Failed: the old file is as it was. Unless
// Saved, `error` says which step failed and why. Prints nothing; safe from any thread.
SaveOutcome replaceFile(Env& env, const std::string& path, ByteView bytes, std::string& error);

// Prints what the operator must know of a save: "- could not save server list (REASON)" when it
// failed, a line saying the list is saved but may not survive a power loss when only the
// directory sync failed (with its reason), and nothing when it was saved. Without a reason, the
// parentheses are left out.
void reportSave(SaveOutcome outcome, const Console& console, const std::string& reason = {});

}  // namespace dirserver
