#include "http/status_page.h"

namespace dirserver {
namespace {

constexpr std::string_view kPage = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>dirserver</title>
<style>
  :root { color-scheme: light dark; --line: #8884; --head: #8882; --accent: #2a6fdb; }
  body { font: 14px/1.4 system-ui, sans-serif; margin: 0 1.5em 2em; }
  header { position: sticky; top: 0; background: Canvas; padding: 0.8em 0 0.6em;
           border-bottom: 1px solid var(--line); display: flex; flex-wrap: wrap; gap: 0.6em 1.4em;
           align-items: center; z-index: 1; }
  h1 { font-size: 1.3em; margin: 0; }
  #summary { font-weight: 600; }
  #status { color: GrayText; font-size: 0.9em; }
  #status.failed { color: #c33; }
  input[type=search] { font: inherit; padding: 0.2em 0.4em; width: 18em; }
  section { margin-top: 1.4em; }
  h2 { font-size: 1.1em; margin: 0 0 0.4em; }
  h2 .count { font-weight: normal; color: GrayText; margin-left: 0.6em; }
  table { border-collapse: collapse; width: 100%; table-layout: auto; }
  th, td { text-align: left; padding: 0.2em 0.6em; border-bottom: 1px solid var(--line);
           max-width: 22em; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
  th { background: var(--head); cursor: pointer; user-select: none; position: relative; }
  th:hover { color: var(--accent); }
  th[aria-sort=ascending]::after { content: " \25B2"; font-size: 0.7em; }
  th[aria-sort=descending]::after { content: " \25BC"; font-size: 0.7em; }
  td.age, th.age { text-align: right; font-variant-numeric: tabular-nums; }
  td.name { font-weight: 600; }
  .empty { color: GrayText; font-style: italic; }
</style>
</head>
<body>
<header>
  <h1>Game servers</h1>
  <span id="summary">loading&hellip;</span>
  <label>Filter <input id="filter" type="search" placeholder="any text in any column"
    autocomplete="off"></label>
  <label><input id="auto" type="checkbox" checked> refresh every 10 s</label>
  <button id="refresh" type="button">Refresh now</button>
  <span id="status"></span>
</header>
<main id="types"></main>
<noscript><p>This page needs JavaScript; the same data is at <a href="servers.json">servers.json</a>.</p></noscript>
<script>
"use strict";
// Host strings reach the document only through textContent and title, never as markup.
const kRefreshMs = 10000;
const kColumns = [
  { label: "name", field: 2, css: "name" },
  { label: "field 1", field: 1 },
  { label: "field 3", field: 3 },
  { label: "field 4", field: 4 },
  { label: "field 5", field: 5 },
  { label: "field 6", field: 6 },
  { label: "path", field: 0 },
  { label: "age", age: true, css: "age" },
];
const state = { listing: null, etag: null, serverOffsetMs: 0, tables: [], sort: {} };
const $ = (id) => document.getElementById(id);

// Control characters drawn as their visible pictures (U+2400 block), so they show as text.
function visible(text) {
  return text.replace(/[\u0000-\u001f\u007f]/g,
      (c) => String.fromCharCode(c === "\u007f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));
}

function ageSeconds(host) {
  return Math.max(0, Math.floor((Date.now() + state.serverOffsetMs) / 1000 - host.registrationTime));
}

function ageText(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds / 3600) % 24,
        m = Math.floor(seconds / 60) % 60, s = seconds % 60;
  if (d > 0) return d + " d " + h + " h";
  if (h > 0) return h + " h " + String(m).padStart(2, "0") + " min";
  if (m > 0) return m + " min " + String(s).padStart(2, "0") + " s";
  return s + " s";
}

function cellText(host, column) {
  return column.age ? ageText(ageSeconds(host)) : visible(host.fields[column.field]);
}

function compare(a, b, column) {
  if (column.age) return ageSeconds(a.host) - ageSeconds(b.host);
  const x = a.host.fields[column.field], y = b.host.fields[column.field];
  return x.localeCompare(y, undefined, { numeric: true, sensitivity: "base" });
}

function makeRow(host) {
  const row = document.createElement("tr");
  row.className = "host";
  for (const column of kColumns) {
    const cell = document.createElement("td");
    if (column.css) cell.className = column.css;
    const text = cellText(host, column);
    cell.textContent = text;
    if (!column.age) cell.title = text;
    row.appendChild(cell);
  }
  return { host, row, text: host.fields.join("\u0001").toLowerCase() };
}

function sortTable(table) {
  const order = state.sort[table.type];
  if (!order) return;
  const column = kColumns[order.column];
  table.rows.sort((a, b) => order.direction * compare(a, b, column));
  table.head.forEach((th, i) => {
    if (i === order.column) th.setAttribute("aria-sort", order.direction > 0 ? "ascending" : "descending");
    else th.removeAttribute("aria-sort");
  });
  const rows = document.createDocumentFragment();
  for (const entry of table.rows) rows.appendChild(entry.row);
  table.body.appendChild(rows);
}

function applyFilter() {
  const needle = $("filter").value.trim().toLowerCase();
  let shown = 0, total = 0;
  for (const table of state.tables) {
    let tableShown = 0;
    for (const entry of table.rows) {
      const match = needle === "" || entry.text.includes(needle);
      entry.row.hidden = !match;
      if (match) ++tableShown;
    }
    shown += tableShown;
    total += table.rows.length;
    table.count.textContent = needle === ""
        ? plural(table.rows.length, "host")
        : tableShown + " of " + plural(table.rows.length, "host");
  }
  $("summary").textContent = needle === "" ? plural(total, "host") : shown + " of " + plural(total, "host") + " shown";
  document.title = "dirserver \u2014 " + plural(total, "host");
}

function plural(count, word) { return count + " " + word + (count === 1 ? "" : "s"); }

function render(listing) {
  const main = $("types");
  const sections = document.createDocumentFragment();
  state.tables = [];
  for (const directory of listing.directories) {
    if (directory.type === null) continue;
    const section = document.createElement("section");
    const title = document.createElement("h2");
    title.textContent = visible(directory.path);
    const count = document.createElement("span");
    count.className = "count";
    title.appendChild(count);
    section.appendChild(title);
    const table = { type: directory.type, rows: directory.hosts.map(makeRow), head: [], count };
    if (table.rows.length === 0) {
      const none = document.createElement("p");
      none.className = "empty";
      none.textContent = "no hosts";
      section.appendChild(none);
    }
    const element = document.createElement("table");
    element.dataset.type = directory.type;
    const head = element.createTHead().insertRow();
    kColumns.forEach((column, i) => {
      const th = document.createElement("th");
      th.textContent = column.label;
      if (column.css) th.className = column.css;
      th.addEventListener("click", () => {
        const order = state.sort[directory.type];
        state.sort[directory.type] = { column: i, direction: order && order.column === i ? -order.direction : 1 };
        sortTable(table);
      });
      head.appendChild(th);
      table.head.push(th);
    });
    table.body = element.createTBody();
    for (const entry of table.rows) table.body.appendChild(entry.row);
    if (table.rows.length > 0) section.appendChild(element);
    state.tables.push(table);
    sortTable(table);
    sections.appendChild(section);
  }
  main.replaceChildren(sections);
  applyFilter();
}

function refreshAges() {
  const column = kColumns.findIndex((c) => c.age);
  for (const table of state.tables) {
    for (const entry of table.rows) entry.row.cells[column].textContent = ageText(ageSeconds(entry.host));
  }
}

async function refresh() {
  const status = $("status");
  try {
    // "no-cache" revalidates with If-None-Match, so an unchanged listing costs a 304.
    const response = await fetch("servers.json", { cache: "no-cache" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const date = Date.parse(response.headers.get("Date") || "");
    if (!Number.isNaN(date)) state.serverOffsetMs = date - Date.now();
    const etag = response.headers.get("ETag");
    if (etag === null || etag !== state.etag) {
      state.listing = await response.json();
      state.etag = etag;
      render(state.listing);
    } else {
      refreshAges();
    }
    status.className = "";
    status.textContent = "updated " + new Date().toLocaleTimeString();
  } catch (error) {
    status.className = "failed";
    status.textContent = "refresh failed: " + error.message;
  }
}

function initialFilter() {
  const fromQuery = new URLSearchParams(location.search).get("filter");
  if (fromQuery !== null) return fromQuery;
  const hash = location.hash;
  return hash.startsWith("#filter=") ? decodeURIComponent(hash.slice(8)) : "";
}

$("filter").value = initialFilter();
$("filter").addEventListener("input", () => {
  const value = $("filter").value;
  history.replaceState(null, "", value === "" ? location.pathname : "#filter=" + encodeURIComponent(value));
  applyFilter();
});
$("refresh").addEventListener("click", refresh);
setInterval(() => { if ($("auto").checked) refresh(); }, kRefreshMs);
refresh();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view statusPage() { return kPage; }

}  // namespace dirserver
