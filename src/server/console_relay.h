// Console lines from threads other than the loop's (the HTTP window's library logs on its own
// threads): only the loop thread writes to the console, so the lines are handed to it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/console.h"
#include "net/reactor.h"

namespace dirserver {

// Hands lines to the loop (Reactor::post), which prints them, each call's as one group, in the
// order they were handed over. `reactor` and `console` must outlive it.
class ConsoleRelay {
 public:
  ConsoleRelay(Reactor& reactor, const Console& console) : reactor_(reactor), console_(console) {}
  ConsoleRelay(const ConsoleRelay&) = delete;
  ConsoleRelay& operator=(const ConsoleRelay&) = delete;

  // Prints `lines` (whole lines, each with its line end) on console.err, or on console.out when
  // `progress`, in the loop's next pass. Safe from any thread.
  void print(std::string lines, bool progress = false);

  // Prints what was handed over and not printed yet. Loop thread only: for when the loop no
  // longer runs (after the threads that print have stopped).
  void printHandedOver();

 private:
  struct Lines {
    bool progress = false;
    std::string text;
  };

  Reactor& reactor_;
  const Console& console_;
  std::mutex mutex_;
  std::vector<Lines> handedOver_;
};

}  // namespace dirserver
