#include "http/browser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>

#include "support/process.h"

namespace dirserver::testing {

std::optional<std::string> findChromium() {
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    for (const char* name : {"chromium", "chromium-browser"}) {
      const std::filesystem::path candidate =
          std::filesystem::path(dirs.substr(start, end - start)) / name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::string Browser::run(const std::vector<std::string>& extra) {
  const std::filesystem::path profile = workDir_ / ("browser-profile-" + std::to_string(++runs_));
  // No background traffic of its own: on a closed network it would only retry and wait.
  std::vector<std::string> args = {
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  const Finished finished = runToEnd(workDir_, executable_, args, std::chrono::seconds(120));
  EXPECT_EQ(finished.status, 0) << finished.err;
  std::filesystem::remove_all(profile);
  return finished.out;
}

std::string Browser::dumpDom(const std::string& url) {
  return run({"--virtual-time-budget=5000", "--dump-dom", url});
}

void Browser::screenshot(const std::string& url, const std::filesystem::path& file,
                         const std::string& size) {
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::remove(file);
  run({"--virtual-time-budget=5000", "--window-size=" + size, "--screenshot=" + file.string(), url});
  std::ifstream png(file, std::ios::binary);
  char signature[8] = {};
  png.read(signature, sizeof signature);
  EXPECT_EQ(std::string(signature, 8), "\x89PNG\r\n\x1a\n") << file;
  std::cout << "screenshot: " << file.string() << "\n";
}

std::vector<std::string> hostRows(const std::string& dom) {
  std::vector<std::string> rows;
  const std::regex row(R"(<tr class="host">(.*?)</tr>)");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator();
       ++it) {
    rows.push_back((*it)[1]);
  }
  return rows;
}

}  // namespace dirserver::testing
