// What the loop tells the outside about itself while it serves: a heartbeat that other threads
// read to know it turns, and the periodic lines about connections it refused or dropped. Both run
// on the reactor's thread, on timers of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "common/console.h"
#include "net/reactor.h"
#include "server/server_status.h"

namespace dirserver {

// Every second, stores the reactor's clock (in milliseconds) in stats.loopAliveAtMs, and the
// console lines dropped so far in stats.consoleLinesDropped. Beats once when made.
class Heartbeat {
 public:
  // `reactor`, `console` and `stats` must outlive the heartbeat.
  Heartbeat(Reactor& reactor, const Console& console, ServerStats& stats);
  // No beat follows.
  void stop() { timer_.cancel(); }

 private:
  void beat();

  Reactor& reactor_;
  const Console& console_;
  ServerStats& stats_;
  Timer timer_;
};

// Counts the connections refused or dropped, and every `interval` prints, on console.err, one line per
// kind that had any since the last report:
//   +warning: refused N connections over the per-address limit
//   +warning: refused N connections while every slot was taken, most of them by their own address
//   +warning: dropped N connections that made no progress, to make room
class RefusalReport {
 public:
  // `reactor` and `console` must outlive the report. The first report comes `interval` from now.
  RefusalReport(Reactor& reactor, const Console& console, std::chrono::milliseconds interval);

  void refusedOverAddressLimit() { ++overAddressLimit_; }
  void refusedWhileFull() { ++whileFull_; }
  void shed() { ++shed_; }
  // No report follows; what was counted since the last is not printed.
  void stop() { timer_.cancel(); }

 private:
  void report();

  Reactor& reactor_;
  const Console& console_;
  std::chrono::milliseconds interval_;
  std::uint64_t overAddressLimit_ = 0;
  std::uint64_t whileFull_ = 0;
  std::uint64_t shed_ = 0;
  Timer timer_;
};

}  // namespace dirserver
