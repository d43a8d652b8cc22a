// The status page served at "/": one static, self-contained HTML document (no external scripts,
// styles or fonts). It holds no host data: its script fetches /servers.json and builds the tables
// with textContent only, so a host's string can never become markup or script.
#pragma once

#include <string_view>

namespace dirserver {

// The page's bytes, UTF-8. What it shows: per game type, the hosts with their seven strings and
// their age (from registrationTime and the response's Date header), host counts, a filter box
// (also set from "?filter=TEXT" or "#filter=TEXT" on load), columns sorted by a click on their
// heading, and a refresh every 10 seconds without reloading the page.
std::string_view statusPage();

}  // namespace dirserver
