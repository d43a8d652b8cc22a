#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dirserver {

pid_t startChild(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& dir, const ChildOutput& output) {
  // Everything the child needs is made here: after fork it may only make async-signal-safe calls.
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);
  const std::string dirText = dir.string(), outText = output.out.string(),
                    errText = output.err.string();
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (output.append ? O_APPEND : O_TRUNC);
  sigset_t none;
  sigemptyset(&none);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // A server left running would hold port 6001 for whatever runs after.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Close-on-exec: only the copies on 1 and 2 reach the program.
  const int out = output.outFd >= 0 ? output.outFd : ::open(outText.c_str(), flags, 0644);
  const int err = ::open(errText.c_str(), flags, 0644);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
      ::chdir(dirText.c_str()) != 0) {
    ::_exit(127);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

bool childEnded(pid_t pid, int& status) { return ::waitpid(pid, &status, WNOHANG) == pid; }

void killChild(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace dirserver
