// Child processes for the programs that run the server executable as an operator runs it (the
// benchmark and the end-to-end tests): started in a directory of their own, their standard output
// and error going to files there, killed when the program that started them dies.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace dirserver {

// Where a child's standard output and error go: to the files `out` and `err` (created when
// missing; emptied first unless `append`), or standard output to the open descriptor `outFd`
// when it is not -1.
struct ChildOutput {
  std::filesystem::path out;
  std::filesystem::path err;
  bool append = false;
  int outFd = -1;
};

// Starts `program` with `args` in `dir`, its output as `output` says, with every signal unblocked.
// The child gets SIGKILL when the calling process dies; when its program cannot be run (or the
// files not opened) it ends with code 127. Returns its process id, -1 when fork failed (errno
// tells why).
pid_t startChild(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& dir, const ChildOutput& output);

// Whether the child `pid` has ended, reaping it then and filling `status` (a wait status).
bool childEnded(pid_t pid, int& status);

// SIGKILLs the child `pid` and reaps it.
void killChild(pid_t pid);

}  // namespace dirserver
