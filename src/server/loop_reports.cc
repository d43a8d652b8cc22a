#include "server/loop_reports.h"

#include "common/console_queue.h"

namespace dirserver {
namespace {

constexpr auto kHeartbeat = std::chrono::seconds(1);

// Prints `text` with `count` when any was counted, and starts counting afresh.
void reportCount(std::FILE* err, const char* format, std::uint64_t& count) {
  if (count == 0) return;
  std::fprintf(err, format, static_cast<unsigned long long>(count));
  count = 0;
}

}  // namespace

Heartbeat::Heartbeat(Reactor& reactor, const Console& console, ServerStats& stats)
    : reactor_(reactor), console_(console), stats_(stats), timer_(reactor, [this] { beat(); }) {
  beat();
}

void Heartbeat::beat() {
  const auto now = reactor_.now();
  stats_.loopAliveAtMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  if (console_.queue != nullptr) stats_.consoleLinesDropped = console_.queue->droppedLines();
  timer_.setAt(now + kHeartbeat);
}

RefusalReport::RefusalReport(Reactor& reactor, const Console& console,
                             std::chrono::milliseconds interval)
    : reactor_(reactor),
      console_(console), interval_(interval), timer_(reactor, [this] { report(); }) {
  timer_.setAt(reactor_.now() + interval_);
}

void RefusalReport::report() {
  timer_.setAt(reactor_.now() + interval_);
  std::FILE* err = console_.err;
  reportCount(err, "+warning: refused %llu connections over the per-address limit\n",
              overAddressLimit_);
  reportCount(err,
              "+warning: refused %llu connections while every slot was taken, most of them by "
              "their own address\n",
              whileFull_);
  reportCount(err, "+warning: dropped %llu connections that made no progress, to make room\n",
              shed_);
}

}  // namespace dirserver
