// Starting the server as systemd's socket activation does: with a listening socket the launcher
// holds and hands over, so that the port stays open while one server stops and the next starts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace dirserver::testing {

// A child process started with `socket` as its descriptor 3, LISTEN_FDS=1 and LISTEN_PID set to
// its own process id, in `dir`, its standard output and error going to NAME.out and NAME.err
// there. The launcher keeps its own copy of the socket. SIGKILLed and reaped when it goes, unless
// it has ended.
class HandedServer {
 public:
  HandedServer(const std::filesystem::path& dir, const std::string& name,
               const std::string& program, const std::vector<std::string>& args, int socket);
  ~HandedServer();
  HandedServer(const HandedServer&) = delete;
  HandedServer& operator=(const HandedServer&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // The exit code once it has ended within `limit`; -1 when it has not, or a signal ended it.
  int waitExit(std::chrono::milliseconds limit);
  std::string err() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::filesystem::path errPath_;
};

// A listening IPv4 TCP socket on 127.0.0.1 and a free port, with the given backlog.
int listeningLoopbackSocket(int backlog);

}  // namespace dirserver::testing
