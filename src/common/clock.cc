#include "common/clock.h"

#include <ctime>

namespace dirserver {
namespace {

class SystemClock final : public Clock {
 public:
  std::int64_t wallSeconds() const override {
    return static_cast<std::int64_t>(std::time(nullptr));
  }
  std::int64_t wallMilliseconds() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  SteadyClock::time_point steadyNow() const override { return SteadyClock::now(); }
};

}  // namespace

const Clock& systemClock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace dirserver
