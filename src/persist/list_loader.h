// Loading at start: the server list file, the owners of its hosts, and the changes of the logs
// that follow it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "persist/env.h"
#include "persist/server_list_file.h"
#include "persist/write_ahead_log.h"
#include "registry/server_context.h"

namespace dirserver {

// A log that loading replayed to its end and that the saver may go on appending to.
struct OpenLog {
  LogHeader header;
  std::uint64_t end = 0;  // where its entries end
};

// What loading found, and what the saver goes on from.
struct LoadResult {
  // False when a file is there but cannot be read: the server must end.
  bool readable = true;
  // The list in place differs from what a save of the loaded registry writes (damage moved aside,
  // a dropped duplicate, a stored key that is not the computed one, records out of order): the
  // server writes the registry back before it listens.
  bool rewrite = false;
  // The list in place after loading (of no hosts when there is none, or when a damaged one was
  // moved aside), and its hosts' owners.
  OwnerTable inPlace;
  // The number of the last change the list in place holds, and of the last change loaded.
  std::uint64_t baseChange = 0;
  std::uint64_t lastChange = 0;
  std::uint64_t changesReplayed = 0;
  // Logs that hold changes the list does not, oldest first; a checkpoint makes them unneeded.
  std::vector<std::uint64_t> liveLogs;
  // Those of them that are damaged and of which no copy could be kept: never removed, only moved
  // aside once unneeded (retireLog).
  std::vector<std::uint64_t> uncopiedLogs;
  std::uint64_t logBytes = 0;  // their size in all
  // The last of them, when it ends cleanly and may be appended to.
  std::optional<OpenLog> appendable;
  // Larger than the sequence number of any log seen.
  std::uint64_t nextLogSeq = 1;
};

// Fills the (empty) registry: first from the server list file, putting each record in the map of
// the section it stands in, under the key computed afresh from its fields (with the key trace when
// the switch is on), with the owner the owners file gives it when that file belongs to this list;
// only a record identical to one already loaded in its section is dropped. Prints
// "- starting with empty server list" on console.err when there is no file, otherwise
// "- loaded %d servers" on console.out. A damaged file keeps the records read whole before the
// damage, says so on console.err, and is moved aside to a name of its own (keepDamagedListFile;
// through a symbolic link, the file the link leads to is moved, and the link stays) so that
// neither the next save nor a later damaged file destroys it. Stops at kMaxServers records.
//
// Then the logs beside it: every change after the list's base change, in order, each setting or
// removing one host's whole state with its owner, past the bounds on new hosts; prints
// "- replayed N changes from the server list log: M servers" when there were any. A log whose
// last commit a kill cut short (an entry cut short followed only by zeros) keeps the entries
// before it, is cut back to them, and gets one line on console.out with the bytes dropped. A log
// whose entries end in other damage keeps those before it: one line says how many bytes were
// dropped, a copy of the damaged log is kept beside it as LOG.damaged-..., and the log is cut back
// to its last whole entry (when no copy can be made, it stays as it is, and is named in
// `uncopiedLogs`). A file that holds no entry bytes (shorter than a header, or all zeros) is what
// a crash while creating a log leaves, and is removed. A log whose header cannot be read in front
// of entries is moved aside to LOG.damaged-..., one that is not ours or follows another list to
// LOG.unused-..., each with its line; so is, with every log after it, one that does not go on
// from the logs replayed before it: it begins after a gap, follows a list they do not lead to (the
// same one at another change, or one of an earlier change, or it begins after that list's next
// change), or repeats one of their changes with other contents. Logs older than the list's own are removed
// (a damaged one is moved aside instead), and so are temporary files of earlier saves. The
// registry is marked filled now (ServerRegistry::setFilledAt): the owners restored count as seen
// at the start.
//
// When a file is there but cannot be read (no permission, a directory, a symbolic link that leads
// nowhere or anything else that is no regular file, an I/O error): prints "+error: cannot read
// server list FILE: REASON" on console.err, leaves the file untouched, and returns `readable`
// false; the caller must not go on with the registry (the server ends). Symbolic links to regular
// files are followed.
LoadResult loadServerList(ServerContext& context, Env& env = systemEnv());

// Applies one log entry to the registry as loading does: sets or removes the host's whole state,
// its owner included, past the bounds on new hosts (a removal of an absent host changes nothing),
// or sets a stored host's time and owner (a refresh). Returns false, with `why`, and changes
// nothing when it would make more than kMaxServers hosts, or when a refresh names a host that is
// not stored (no host of its type and key has its HostId): the log is damaged there.
bool applyLogEntry(ServerContext& context, const LogEntry& entry, std::string& why);

// Removes a log that the list in place has made unneeded; one that is damaged and of which no copy
// exists (`uncopied`) is moved aside to LOG.damaged-... instead, and stays when it cannot be.
void retireLog(Env& env, const std::string& path, bool uncopied);

// Writes the registry back as the server list at once, when `loaded` says the list in place
// differs from it, and reports the outcome (reportSave); once the new list is in place, the logs
// it makes unneeded are removed and `loaded` describes the new state. Returns false when the
// write-back failed (a checkpoint is then owed).
bool writeBackIfNeeded(const ServerContext& context, LoadResult& loaded, Env& env = systemEnv());

}  // namespace dirserver
