#include "support/socket_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace dirserver::testing {
namespace {

// Writes `value` in decimal after `prefix` into `out` without allocating: the child of a process
// with threads may only do what is async-signal-safe before it execs.
void formatNumber(char* out, const char* prefix, long value) {
  std::size_t at = std::strlen(prefix);
  std::memcpy(out, prefix, at);
  char digits[24];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) out[at++] = digits[--count];
  out[at] = '\0';
}

}  // namespace

HandedServer::HandedServer(const std::filesystem::path& dir, const std::string& name,
                           const std::string& program, const std::vector<std::string>& args,
                           int socket)
    : errPath_(dir / (name + ".err")) {
  // Everything the child needs is made before the fork.
  const std::string outPath = (dir / (name + ".out")).string();
  const std::string errPath = errPath_.string();
  const std::string workDir = dir.string();
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0) envStrings.emplace_back(*entry);
  }
  envStrings.emplace_back("LISTEN_FDS=1");
  char pidEntry[48] = {};
  std::vector<char*> envp;
  for (std::string& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(pidEntry);
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ != 0) return;
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(127);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  if (socket == 3) {
    ::fcntl(3, F_SETFD, 0);
  } else {
    ::dup2(socket, 3);  // the copy is not closed on exec
  }
  formatNumber(pidEntry, "LISTEN_PID=", static_cast<long>(::getpid()));
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

HandedServer::~HandedServer() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void HandedServer::signal(int number) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, number);
}

int HandedServer::waitExit(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (!reaped_) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string HandedServer::err() const {
  std::ifstream in(errPath_);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int listeningLoopbackSocket(int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace dirserver::testing
