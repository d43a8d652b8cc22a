#include "server/expiry_sweep.h"

#include <cstdio>

#include "registry/expiry.h"
#include "server/change_path.h"

namespace dirserver {

ExpirySweep::ExpirySweep(Reactor& reactor, ServerContext& context, ChangePath& changes,
                         ServerStats& stats, std::chrono::milliseconds interval)
    : reactor_(reactor),
      context_(context),
      changes_(changes),
      stats_(stats),
      interval_(interval),
      timer_(reactor, [this] { run(); }) {
  timer_.setAt(reactor_.now() + interval_);
}

void ExpirySweep::stop() {
  timer_.cancel();
  printRefreshSummary();
}

void ExpirySweep::run() {
  timer_.setAt(reactor_.now() + interval_);
  const std::uint32_t before = context_.registry.totalCount();
  changes_.change(ChangeOrigin::Sweep, [&] { expireServers(context_); });
  stats_.sweepRemovals += before - context_.registry.totalCount();
  printRefreshSummary();
}

// The refreshes that printed nothing, at most once a sweep interval (and at the stop).
void ExpirySweep::printRefreshSummary() {
  if (context_.unprintedRefreshes == 0) return;
  std::fprintf(
      context_.console.out, "> servers refreshed in the last minute: %llu, number of servers: %u\n",
      static_cast<unsigned long long>(context_.unprintedRefreshes), context_.registry.totalCount());
  context_.unprintedRefreshes = 0;
}

}  // namespace dirserver
