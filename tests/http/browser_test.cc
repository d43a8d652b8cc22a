// The status page in a real browser (headless Chromium): the rendered tables hold the published
// hosts, hostile strings show as text and never run, disguising characters show as marks, and the
// filter narrows the rows. Screenshots are kept in the build tree's artifacts folder for a person
// to look at. Skipped where Chromium is not installed.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "http/browser.h"
#include "http/http_server.h"
#include "http/snapshots.h"
#include "support/http_client.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::makeSnapshot;
using testing::typedHost;

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto found = testing::findChromium();
    if (!found) GTEST_SKIP() << "chromium is not installed: the status page is not checked in a browser";
    browser_.emplace(*found, t_.dir);
  }

  void serve(SnapshotPtr snapshot) {
    status_.snapshots.publish(std::move(snapshot));
    server_ = std::make_unique<HttpServer>();
    std::string error;
    ASSERT_TRUE(server_->bind({"127.0.0.1", 0}, error)) << error;
    ASSERT_TRUE(server_->start(status_, nullptr, error)) << error;
    // The page is loaded once the listing is encoded, so that its first fetch finds it.
    for (auto until = std::chrono::steady_clock::now() + 30s;
         testing::httpGet(server_->port(), "/servers.json").status != 200;) {
      ASSERT_LT(std::chrono::steady_clock::now(), until);
      std::this_thread::sleep_for(10ms);
    }
  }

  std::string url(const std::string& rest = "") const {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + "/" + rest;
  }

  static constexpr const char* kArtifacts = DIRSERVER_ARTIFACT_DIR;
  testing::TestContext t_;
  std::optional<testing::Browser> browser_;
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
      // A right-to-left override that would show "Evil" reversed, and a C1 control.
      typedHost(ServerType::Melee, "Good \xE2\x80\xAEliveE\xC2\x85", now),
      typedHost(ServerType::GetTheQuorv, "Sur", now)};
  // A lone high surrogate after "Sur".
  putU16(hosts.back().second.fields[kNameField].data, 0xD800);
  serve(makeSnapshot(1, now, hosts));

  const std::string dom = browser_->dumpDom(url());
  ASSERT_EQ(testing::hostRows(dom).size(), hosts.size()) << dom;
  EXPECT_NE(dom.find("<title>dirserver \xE2\x80\x94 11 hosts</title>"), std::string::npos) << dom;
  for (const char* name : {"Alpha Arena", "Bravo Base", "Charlie Court", "Delta Dome", "Echo Edge",
                           "&lt;img src=x onerror=\"document.title='pwned'\"&gt;",
                           "&lt;script&gt;document.title='pwned'&lt;/script&gt;",
                           "\"quoted\" &amp; 'apostrophes'",
                           "tab\xE2\x90\x89here\xE2\x90\x81",  // control pictures
                           "Good <span class=\"mark\">U+202E</span>liveE<span class=\"mark\">U+0085</span>",
                           "Sur\xEF\xBF\xBD"}) {
    EXPECT_NE(dom.find(std::string(">") + name + "</td>"), std::string::npos) << name;
  }
  EXPECT_EQ(dom.find("\xE2\x80\xAE"), std::string::npos);  // the override itself never reaches it
  EXPECT_EQ(occurrences(dom, "<img"), 0u);
  EXPECT_EQ(occurrences(dom, "<script"), 1u);  // the page's own
  // Ages, counted from the response's Date header; the headless browser's virtual clock may run a
  // little ahead of it.
  EXPECT_TRUE(std::regex_search(dom, std::regex(">1 h 0[0-3] min</td>")));  // Bravo Base
  EXPECT_NE(dom.find(">1 d 1 h</td>"), std::string::npos);                  // Charlie Court
  // The time until the first rows were drawn is recorded once a frame after them is drawn, which a
  // browser starved of CPU may not reach within its time budget: it is looked for in a few loads.
  const std::regex firstRows(R"(data-first-rows-ms="\d+")");
  bool measured = std::regex_search(dom, firstRows);
  for (int load = 0; load < 3 && !measured; ++load) {
    measured = std::regex_search(browser_->dumpDom(url()), firstRows);
  }
  EXPECT_TRUE(measured);

  // The filter, set from the address, keeps only the matching rows, whatever the case; one that
  // cannot be decoded is ignored.
  for (const std::string& filter : {std::string("?filter=bravo"), std::string("#filter=BRAVO%20b")}) {
    const std::vector<std::string> filtered = testing::hostRows(browser_->dumpDom(url(filter)));
    ASSERT_EQ(filtered.size(), 1u) << filter;
    EXPECT_NE(filtered[0].find("Bravo Base"), std::string::npos) << filter;
  }
  EXPECT_EQ(testing::hostRows(browser_->dumpDom(url("?filter=10.0.0.1"))).size(), hosts.size());
  EXPECT_EQ(testing::hostRows(browser_->dumpDom(url("#filter=%"))).size(), hosts.size());
  EXPECT_EQ(testing::hostRows(browser_->dumpDom(url("?filter=no such host"))).size(), 0u);

  browser_->screenshot(url(), std::filesystem::path(kArtifacts) / "status-page-11-hosts.png",
                       "1280,900");
}

}  // namespace
}  // namespace dirserver
