// The status page served at "/": one static, self-contained HTML document (no external scripts,
// styles or fonts). It holds no host data: its script fetches /servers.json and builds the tables
// with textContent only, so a host's string can never become markup or script. It is written as
// status_page.html, .css and .js beside this header; the build makes them one document.
#pragma once

#include <string_view>

namespace dirserver {

// The page's bytes, UTF-8. What it shows: per game type, the hosts with their seven strings and
// their age (from registrationTime and the response's Date header) in pages of 50 rows, host
// counts, a filter box (also set from "?filter=TEXT" or "#filter=TEXT" on load; a filter that
// cannot be decoded is ignored), columns sorted by a click on their heading, and a refresh every
// 10 seconds without reloading the page, which rebuilds nothing when the listing is unchanged.
// Characters that would hide or disguise text (C0 and C1 controls, bidirectional controls,
// invisible separators) are shown as symbols or code points. The page records two performance
// measures, "dirserver-firstRows" (from navigation until the first rows are drawn) and
// "dirserver-filter" (from a keystroke in the filter until its rows are drawn), and puts each in
// milliseconds on the document element as data-first-rows-ms and data-filter-ms.
std::string_view statusPage();

}  // namespace dirserver
