// The status page in a real browser (headless Chromium): the rendered tables hold the published
// hosts, hostile strings show as text and never run, and the filter narrows the rows. Screenshots
// are kept in the build tree's artifacts folder for a person to look at. Skipped where Chromium is
// not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "http/http_server.h"
#include "http/snapshots.h"
#include "support/process.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::makeSnapshot;
using testing::typedHost;

// The browser's executable, if one is on the PATH.
std::optional<std::string> findChromium() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    for (const char* name : {"chromium", "chromium-browser"}) {
      const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    start = end + 1;
  }
  return std::nullopt;
}

// The rows the page rendered: each host row's text, and whether it is hidden by the filter.
struct RenderedRow {
  std::string html;
  bool hidden = false;
};

std::vector<RenderedRow> hostRows(const std::string& dom) {
  std::vector<RenderedRow> rows;
  const std::regex row(R"(<tr class="host"( hidden="")?>(.*?)</tr>)");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator();
       ++it) {
    rows.push_back({(*it)[2], (*it)[1].matched});
  }
  return rows;
}

std::size_t visibleRows(const std::vector<RenderedRow>& rows) {
  return static_cast<std::size_t>(
      std::count_if(rows.begin(), rows.end(), [](const RenderedRow& r) { return !r.hidden; }));
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto found = findChromium();
    if (!found) GTEST_SKIP() << "chromium is not installed: the status page is not checked in a browser";
    chromium_ = *found;
    std::filesystem::create_directories(kArtifacts);
  }

  void serve(SnapshotPtr snapshot) {
    status_.snapshots.publish(std::move(snapshot));
    server_ = std::make_unique<HttpServer>(status_);
    std::string error;
    ASSERT_TRUE(server_->bind({"127.0.0.1", 0}, error)) << error;
    server_->start();
  }

  std::string url(const std::string& rest = "") const {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + "/" + rest;
  }

  // Runs the browser on `url` with `extra` arguments; returns what it printed on standard output.
  std::string browse(const std::vector<std::string>& extra, std::chrono::seconds limit = 60s) {
    const std::filesystem::path profile = t_.dir / ("profile-" + std::to_string(++runs_));
    std::vector<std::string> args = {
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const testing::Finished run = testing::runToEnd(t_.dir, chromium_, args, limit);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }

  std::string dumpDom(const std::string& page) {
    return browse({"--virtual-time-budget=5000", "--dump-dom", page});
  }

  // Saves a screenshot of `page` as `name` among the artifacts and checks that it is a PNG image.
  void screenshot(const std::string& page, const std::string& name, const std::string& size) {
    const std::filesystem::path file = std::filesystem::path(kArtifacts) / name;
    std::filesystem::remove(file);
    browse({"--virtual-time-budget=5000", "--window-size=" + size, "--screenshot=" + file.string(),
            page});
    std::ifstream png(file, std::ios::binary);
    char signature[8] = {};
    png.read(signature, sizeof signature);
    EXPECT_EQ(std::string(signature, 8), "\x89PNG\r\n\x1a\n") << file;
    std::cout << "screenshot: " << file.string() << "\n";
  }

  static constexpr const char* kArtifacts = DIRSERVER_ARTIFACT_DIR;
  std::string chromium_;
  testing::TestContext t_;
  int runs_ = 0;
  ServerStatus status_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(BrowserTest, TablesHoldEveryHostShowHostileStringsAsTextAndTheFilterNarrowsThem) {
  const std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
  std::vector<testing::TypedRecord> hosts = {
      typedHost(ServerType::GetTheQuorv, "Alpha Arena", now - 30),
      typedHost(ServerType::GetTheQuorv, "Bravo Base", now - 3630),
      typedHost(ServerType::Melee, "Charlie Court", now - 90'000),
      typedHost(ServerType::Melee, "Delta Dome", now - 5),
      typedHost(ServerType::TeamMelee, "Echo Edge", now - 600),
      typedHost(ServerType::TeamMelee, "<img src=x onerror=\"document.title='pwned'\">", now),
      typedHost(ServerType::TeamMelee, "<script>document.title='pwned'</script>", now),
      typedHost(ServerType::Melee, "\"quoted\" & 'apostrophes'", now),
      typedHost(ServerType::Melee, "tab\there\x01", now),
      typedHost(ServerType::GetTheQuorv, "Sur", now)};
  // A lone high surrogate after "Sur".
  putU16(hosts.back().second.fields[kNameField].data, 0xD800);
  serve(makeSnapshot(1, now, hosts));

  const std::string dom = dumpDom(url());
  const std::vector<RenderedRow> rows = hostRows(dom);
  ASSERT_EQ(rows.size(), hosts.size()) << dom;
  EXPECT_EQ(visibleRows(rows), hosts.size());
  EXPECT_NE(dom.find("<title>dirserver \xE2\x80\x94 10 hosts</title>"), std::string::npos) << dom;
  for (const char* name : {"Alpha Arena", "Bravo Base", "Charlie Court", "Delta Dome", "Echo Edge",
                           "&lt;img src=x onerror=\"document.title='pwned'\"&gt;",
                           "&lt;script&gt;document.title='pwned'&lt;/script&gt;",
                           "\"quoted\" &amp; 'apostrophes'",
                           "tab\xE2\x90\x89here\xE2\x90\x81",  // control pictures
                           "Sur\xEF\xBF\xBD"}) {
    EXPECT_NE(dom.find(std::string(">") + name + "</td>"), std::string::npos) << name;
  }
  EXPECT_EQ(occurrences(dom, "<img"), 0u);
  EXPECT_EQ(occurrences(dom, "<script"), 1u);  // the page's own
  // Ages, counted from the response's Date header; the headless browser's virtual clock may run a
  // little ahead of it.
  EXPECT_TRUE(std::regex_search(dom, std::regex(">1 h 0[0-3] min</td>")));  // Bravo Base
  EXPECT_NE(dom.find(">1 d 1 h</td>"), std::string::npos);                  // Charlie Court

  // The filter, set from the address, keeps only the matching rows, whatever the case.
  for (const std::string& filter : {std::string("?filter=bravo"), std::string("#filter=BRAVO%20b")}) {
    const std::vector<RenderedRow> filtered = hostRows(dumpDom(url(filter)));
    ASSERT_EQ(filtered.size(), hosts.size()) << filter;
    ASSERT_EQ(visibleRows(filtered), 1u) << filter;
    for (const RenderedRow& row : filtered) {
      EXPECT_EQ(row.html.find("Bravo Base") != std::string::npos, !row.hidden) << filter;
    }
  }
  EXPECT_EQ(visibleRows(hostRows(dumpDom(url("?filter=10.0.0.1")))), hosts.size());
  EXPECT_EQ(visibleRows(hostRows(dumpDom(url("?filter=no such host")))), 0u);

  screenshot(url(), "status-page-10-hosts.png", "1280,900");
}

TEST_F(BrowserTest, TenThousandHostsRenderWhole) {
  const std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
  std::vector<testing::TypedRecord> hosts;
  for (int i = 0; i < 10'000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Host %05d", i);
    hosts.push_back(typedHost(kServerTypes[i % 3], name, now - i * 7));
  }
  serve(makeSnapshot(1, now, hosts));
  const std::string dom = dumpDom(url());
  EXPECT_EQ(hostRows(dom).size(), hosts.size());
  EXPECT_NE(dom.find("<title>dirserver \xE2\x80\x94 10000 hosts</title>"), std::string::npos);
  screenshot(url(), "status-page-10000-hosts.png", "1280,900");
}

}  // namespace
}  // namespace dirserver
