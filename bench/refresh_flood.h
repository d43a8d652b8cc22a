// What refreshes cost the disk when one address refreshes hosts with long strings as fast as it
// can: the server's write bytes per refresh and its acknowledgement-to-durable figures, each as a
// ratio to a quiet segment of the same run (the same hosts refreshed once a second each), and
// whether the files a SIGKILL leaves right after the flood hold every acknowledged time.
#pragma once

#include <filesystem>

#include "options.h"

namespace dirserver::bench {

// Runs the flood at each registry size in options.heartbeat (that many preloaded hosts, and 40
// more with long strings) and prints its table.
void runRefreshFlood(const Options& options, const std::filesystem::path& base);

}  // namespace dirserver::bench
