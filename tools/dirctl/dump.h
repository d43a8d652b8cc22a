// dirctl dump: a server list file decoded for the operator, with no server involved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dirserver::dirctl {

// Reads the server list file at `path` with the server's own ServerListReader and prints on `out`:
//   PATH: N bytes
//   section S (TYPE PATH)              or "section S (TYPE PATH): no records"
//     record I at offset O
//       key       K                    with ", stored S" when the file's key differs
//       time      asctime text (age D[d] HH:MM:SS[, over a day: the next sweep drops it]),
//                 the full time nearest to `now` whose low 32 bits the file holds
//       path      ... the seven strings, through consoleText
//       note      ...                  anything the server makes of the record that the bytes
//                                      do not show: a key already in the section (dropped at
//                                      load), a path of no or another type, a field of odd
//                                      length (its last byte is not listed)
//   N records
// then each log beside it (server_list.wal.N), oldest first:
//   LOG: N bytes, log N (version V), follows the list of fingerprint F (which holds the changes
//   up to C)
//     change C at offset O: set|remove|refresh, owner A.B.C.D|none
//       key, time, path ...            as for a record (set, remove)
//       type, key, host id, time       the host a refresh names, and its new time (refresh)
//     N changes, ending at offset O of SIZE
// The file and the logs together make the registry a start would load (changes the file holds
// already are shown too; a start skips them). The age is `now` minus the registration time in
// the server's 32-bit arithmetic.
//
// Returns true for a whole file and whole logs. Returns false, with `error` one line, when the
// file or a log cannot be opened or is no regular file, or fails to read part way (an I/O error:
// what came before it has been printed), or is damaged (bytes after the third section included):
// then the records or changes read whole before the damage have been printed and `error` says
// where and why.
bool dumpServerList(const std::string& path, std::int64_t now, std::FILE* out, std::string& error);

}  // namespace dirserver::dirctl
