#include "server/console_relay.h"

#include <cstdio>

#include "common/console_queue.h"

namespace dirserver {

void ConsoleRelay::print(std::string lines, bool progress) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = handedOver_.empty();
    handedOver_.push_back({progress, std::move(lines)});
  }
  // One pass prints everything handed over before it.
  if (first) reactor_.post([this] { printHandedOver(); });
}

void ConsoleRelay::printHandedOver() {
  std::vector<Lines> lines;
  {
    std::lock_guard lock(mutex_);
    lines.swap(handedOver_);
  }
  for (const Lines& each : lines) {
    ConsoleGroup group(console_);
    std::fputs(each.text.c_str(), each.progress ? console_.out : console_.err);
  }
}

}  // namespace dirserver
