#include "common/console.h"

#include <ctime>

namespace dirserver {

std::string asctimeText(std::int64_t secondsSince1970) {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto clock = static_cast<std::time_t>(secondsSince1970);
  std::tm local{};
  if (localtime_r(&clock, &local) == nullptr) return "??? ??? ?? ??:??:?? ????\n";
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d\n", kWeekdays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, local.tm_year + 1900);
  return text;
}

}  // namespace dirserver
