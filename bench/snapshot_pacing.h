// Whether snapshots hold commits up: a steady stream of changes in segments that alternate
// between none and back-to-back snapshots, with the acknowledgement-to-durable and commit times of
// each kind as the server's histograms show them; the time of a snapshot with nothing else going
// on; and SIGKILLs while a snapshot is under way, each restart checked for acknowledged changes
// lost and how old they were at the kill.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "options.h"

namespace dirserver::bench {

// The cumulative bucket counts of one histogram, by upper bound in seconds (infinity for +Inf),
// summed over any number of intervals between scrapes.
using Buckets = std::map<double, double>;

// Adds the counts `family` gained between two scrapes to `into`.
void addBuckets(Buckets& into, const std::map<std::string, double>& before,
                const std::map<std::string, double>& after, const std::string& family);

// The bound of the bucket the quantile `q` falls in (seconds); -1 with nothing observed. With
// q = 1, the bound of the bucket that holds the largest observation.
double bucketQuantile(const Buckets& buckets, double q);

// For each size in options.heartbeat: the segments, the idle snapshots and the kills asked for,
// and their table.
void runSnapshotPacing(const Options& options, const std::filesystem::path& base);

}  // namespace dirserver::bench
