// The expiry sweep on its timer.
#pragma once

#include <chrono>

#include "net/reactor.h"
#include "registry/server_context.h"
#include "server/server_status.h"

namespace dirserver {

class ChangePath;

// Every `interval`, whatever the traffic, drops the hosts whose time has run out, as changes of
// origin Sweep (logged like shutdowns, so that a restart does not bring them back, and gone from
// the snapshot at once), and prints how many refreshes printed nothing since the last sweep.
class ExpirySweep {
 public:
  // `reactor`, `context`, `changes` and `stats` must outlive the sweep.
  ExpirySweep(Reactor& reactor, ServerContext& context, ChangePath& changes, ServerStats& stats,
              std::chrono::milliseconds interval);

  // No sweep follows; prints the refreshes not yet summarized.
  void stop();

 private:
  void run();
  void printRefreshSummary();

  Reactor& reactor_;
  ServerContext& context_;
  ChangePath& changes_;
  ServerStats& stats_;
  std::chrono::milliseconds interval_;
  Timer timer_;
};

}  // namespace dirserver
