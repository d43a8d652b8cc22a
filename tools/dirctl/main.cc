// dirctl: lists, pings, registers and shuts down hosts on a dirserver, and decodes its server list
// file. See 'dirctl --help'.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dirctl.h"

int main(int argc, char** argv) {
  const int status = dirserver::dirctl::runDirctl(std::vector<std::string>(argv + 1, argv + argc),
                                                  dirserver::Console{});
  // A full disk or a closed pipe behind standard output is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "dirctl: cannot write the output: %s\n", std::strerror(errno));
    return status == 0 ? 1 : status;
  }
  return status;
}
