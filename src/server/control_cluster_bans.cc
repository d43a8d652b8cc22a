// The control server's side of a cluster's bans: what the cluster's bans bucket says becomes this
// node's ban list and bans file. Publishing the operator's own changes is in control_execution.cc.
#include <cstdio>
#include <memory>
#include <string>

#include "persist/bans_file.h"
#include "server/control.h"

namespace dirserver {

void ControlServer::followBans(const std::vector<Ban>& bans) {
  BanList list;
  for (const Ban& ban : bans) list.set(ban);
  const BanDiff diff = diffBans(bans_, list);
  if (diff.empty()) return;
  ++followed_;
  auto old = std::make_shared<BanList>(std::move(bans_));
  applyBans(std::move(list));
  files_.run([old = std::move(old)]() mutable { old.reset(); });
  core_.closeRefused();
  rewriteBansFile(diff);
  std::fprintf(context_.console.out,
               "- cluster: the bans bucket holds %zu bans: %zu new or changed here, %zu lifted "
               "here\n",
               bans_.size(), diff.put.size(), diff.lifted.size());
}

void ControlServer::followBan(const Ban& ban, bool lifted, const std::string& node) {
  const std::string range = rangeText(ban.range);
  const std::string where = node.empty() ? "another node" : "node '" + node + "'";
  BanDiff diff;
  if (lifted) {
    if (!bans_.erase(ban.range)) return;
    diff.lifted.push_back(ban.range);
    std::fprintf(context_.console.out, "- cluster: %s is no longer banned (lifted on %s)\n",
                 range.c_str(), where.c_str());
  } else {
    const std::string* before = bans_.find(ban.range);
    if (before != nullptr && *before == ban.reason) return;
    bans_.set(ban);
    diff.put.push_back(ban);
    core_.closeRefused();
    std::fprintf(context_.console.out, "- cluster: %s banned on %s%s%s\n", range.c_str(),
                 where.c_str(), ban.reason.empty() ? "" : ": ", ban.reason.c_str());
  }
  ++followed_;
  core_.status().stats.bans = bans_.size();
  rewriteBansFile(diff);
}

// Makes the bans file say what `diff` changed, off the loop: the lines of other ranges, comments
// and blank lines stay as they are. A file that cannot be read or written is left as it is, with
// a line on console.err; the bans in force are the cluster's either way.
void ControlServer::rewriteBansFile(const BanDiff& diff) {
  if (settings_.bansFile.empty()) return;
  files_.run([this, &reactor = reactor_, &env = env_, diff, path = settings_.bansFile] {
    const BansFileText file = readBansFile(path, env);
    std::string error;
    if (!file.readable) {
      error = "cannot read it: " + file.error;
    } else {
      std::string text = file.text;
      for (const Ban& ban : diff.put) {
        // A ban without a reason leaves a line with one as it is: the reason goes first.
        text = withBan(ban.reason.empty() ? withoutBan(text, ban.range) : text, ban);
      }
      for (const Ipv4Range& range : diff.lifted) text = withoutBan(text, range);
      // Sets `error` unless the new text is durable.
      if (text != file.text) writeBansFile(path, text, error, env);
    }
    if (error.empty()) return;
    reactor.post([this, path, error] {
      std::fprintf(context_.console.err,
                   "+error: cluster: the bans file %s: %s; the cluster's bans are in force, the "
                   "file does not say so\n",
                   path.c_str(), error.c_str());
    });
  });
}

}  // namespace dirserver
