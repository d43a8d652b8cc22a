// Headless Chromium for the tests of the status page: load a page and take its rendered DOM, or a
// screenshot of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dirserver::testing {

// The browser's executable (chromium or chromium-browser on the PATH), if there is one.
std::optional<std::string> findChromium();

// Runs of one Chromium executable, each with a fresh profile under `workDir`, never reaching
// beyond the addresses it is given.
class Browser {
 public:
  Browser(std::string executable, std::filesystem::path workDir)
      : executable_(std::move(executable)), workDir_(std::move(workDir)) {}

  // The DOM of `url` as the browser renders it after its script has run (5 s of virtual time).
  // Adds a test failure when the browser fails.
  std::string dumpDom(const std::string& url);

  // Saves a screenshot of `url` at `size` ("1280,900") to `file` and checks that it is a PNG.
  void screenshot(const std::string& url, const std::filesystem::path& file,
                  const std::string& size);

 private:
  std::string run(const std::vector<std::string>& extra);

  std::string executable_;
  std::filesystem::path workDir_;
  int runs_ = 0;
};

// The markup of each host row the page has built (those of the tables' current pages), in
// document order.
std::vector<std::string> hostRows(const std::string& dom);

}  // namespace dirserver::testing
