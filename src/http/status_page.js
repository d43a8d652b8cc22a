"use strict";
// Host strings reach the document only through textContent and title, never as markup. The
// listing stays in memory: filtering and sorting work on arrays, and each table holds only the
// rows of its current page, so a full registry costs no more DOM than a small one.
const kRefreshMs = 10000;
const kPageRows = 50;
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
const kAgeColumn = kColumns.findIndex((c) => c.age);
const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });
const state = { etag: null, serverOffsetMs: 0, tables: [], sort: {}, shownOnce: false, needle: "" };
const $ = (id) => document.getElementById(id);

// Characters that change how the text around them reads without showing themselves: C1 controls,
// bidirectional controls, invisible separators and joiners, line and paragraph separators, the
// byte order mark. A host could disguise its name with them, so each is shown as its code point.
const kHidden = "\u0080-\u009f\u061c\u200b-\u200f\u202a-\u202e\u2066-\u2069\u2028\u2029\ufeff";
const kHiddenAll = new RegExp("[" + kHidden + "]", "g");
const kHiddenAny = new RegExp("[" + kHidden + "]");

function codePoint(c) {
  return "U+" + c.charCodeAt(0).toString(16).toUpperCase().padStart(4, "0");
}

// C0 control characters and DEL drawn as their pictures (U+2400 block), as text.
function pictures(text) {
  return text.replace(/[\u0000-\u001f\u007f]/g,
      (c) => String.fromCharCode(c === "\u007f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));
}

// The text with nothing hidden, as one string ("[U+202E]" for a hidden character): for titles.
function visible(text) {
  return pictures(text).replace(kHiddenAll, (c) => "[" + codePoint(c) + "]");
}

// Sets `element`'s content to `text` with nothing hidden: each hidden character is a marked span.
function fill(element, text) {
  const shown = pictures(text);
  if (!kHiddenAny.test(shown)) {
    element.textContent = shown;
    return;
  }
  element.replaceChildren();
  let last = 0;
  for (const match of shown.matchAll(kHiddenAll)) {
    if (match.index > last) element.append(shown.slice(last, match.index));
    const mark = document.createElement("span");
    mark.className = "mark";
    mark.textContent = codePoint(match[0]);
    element.append(mark);
    last = match.index + 1;
  }
  if (last < shown.length) element.append(shown.slice(last));
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

function plural(count, word) { return count + " " + word + (count === 1 ? "" : "s"); }

function makeRow(host) {
  const row = document.createElement("tr");
  row.className = "host";
  for (const column of kColumns) {
    const cell = document.createElement("td");
    if (column.css) cell.className = column.css;
    if (column.age) {
      cell.textContent = ageText(ageSeconds(host));
    } else {
      fill(cell, host.fields[column.field]);
      cell.title = visible(host.fields[column.field]);
    }
    row.appendChild(cell);
  }
  return row;
}

// The sections, one per game type, built once: a heading with the count, the table of the
// current page's rows, and the pager.
function buildSections(listing) {
  const sections = document.createDocumentFragment();
  for (const directory of listing.directories) {
    if (directory.type === null) continue;
    const table = { type: directory.type, entries: [], view: [], shown: [], page: 0 };
    const section = document.createElement("section");
    const title = document.createElement("h2");
    fill(title, directory.path);
    table.count = document.createElement("span");
    table.count.className = "count";
    title.appendChild(table.count);
    table.empty = document.createElement("p");
    table.empty.className = "empty";
    table.element = document.createElement("table");
    table.element.dataset.type = directory.type;
    const head = table.element.createTHead().insertRow();
    table.head = kColumns.map((column, i) => {
      const th = document.createElement("th");
      th.textContent = column.label;
      if (column.css) th.className = column.css;
      th.addEventListener("click", () => {
        const order = state.sort[table.type];
        state.sort[table.type] = { column: i, direction: order && order.column === i ? -order.direction : 1 };
        sortEntries(table);
        applyFilter(false);
      });
      head.appendChild(th);
      return th;
    });
    table.body = table.element.createTBody();
    table.pager = document.createElement("nav");
    table.pager.className = "pager";
    table.prev = document.createElement("button");
    table.prev.type = "button";
    table.prev.textContent = "\u2039 previous";
    table.range = document.createElement("span");
    table.next = document.createElement("button");
    table.next.type = "button";
    table.next.textContent = "next \u203A";
    table.prev.addEventListener("click", () => { --table.page; renderRows(table); });
    table.next.addEventListener("click", () => { ++table.page; renderRows(table); });
    table.pager.append(table.prev, table.range, table.next);
    section.append(title, table.empty, table.element, table.pager);
    state.tables.push(table);
    sections.appendChild(section);
  }
  $("types").replaceChildren(sections);
}

// Orders a table's hosts by its chosen column; without a choice they keep the listing's order.
function sortEntries(table) {
  const order = state.sort[table.type];
  table.head.forEach((th, i) => {
    if (order && i === order.column) th.setAttribute("aria-sort", order.direction > 0 ? "ascending" : "descending");
    else th.removeAttribute("aria-sort");
  });
  if (!order) return;
  const column = kColumns[order.column];
  const direction = order.direction;
  if (column.age) {
    table.entries.sort((a, b) => direction * (b.host.registrationTime - a.host.registrationTime));
  } else {
    const field = column.field;
    table.entries.sort((a, b) => direction * collator.compare(a.host.fields[field], b.host.fields[field]));
  }
}

// Shows the current page of a table's filtered hosts.
function renderRows(table) {
  const pages = Math.max(1, Math.ceil(table.view.length / kPageRows));
  table.page = Math.min(Math.max(table.page, 0), pages - 1);
  const start = table.page * kPageRows;
  table.shown = table.view.slice(start, start + kPageRows);
  const rows = document.createDocumentFragment();
  for (const entry of table.shown) rows.appendChild(makeRow(entry.host));
  table.body.replaceChildren(rows);
  table.element.hidden = table.view.length === 0;
  table.empty.hidden = table.view.length !== 0;
  table.empty.textContent = table.entries.length === 0 ? "no hosts" : "no host matches the filter";
  table.pager.hidden = pages === 1;
  table.range.textContent = (start + 1) + "\u2013" + (start + table.shown.length) + " of " + table.view.length;
  table.prev.disabled = table.page === 0;
  table.next.disabled = table.page === pages - 1;
}

// Filters every table by the box's text (any column, any case) and shows the pages; a new filter
// starts each table at its first page. A filter that only lengthens the previous one (typing)
// narrows what that one left instead of searching every host again.
function applyFilter(fromFirstPage) {
  const needle = $("filter").value.trim().toLowerCase();
  const narrowing = fromFirstPage && state.needle !== "" && needle.startsWith(state.needle);
  state.needle = needle;
  let shown = 0, total = 0;
  for (const table of state.tables) {
    const candidates = narrowing ? table.view : table.entries;
    table.view = needle === "" ? table.entries : candidates.filter((entry) => searchText(entry).includes(needle));
    if (fromFirstPage) table.page = 0;
    renderRows(table);
    shown += table.view.length;
    total += table.entries.length;
    table.count.textContent = needle === ""
        ? plural(table.entries.length, "host")
        : table.view.length + " of " + plural(table.entries.length, "host");
  }
  $("summary").textContent = needle === "" ? plural(total, "host") : shown + " of " + plural(total, "host") + " shown";
  document.title = "dirserver \u2014 " + plural(total, "host");
}

// Records how long since `mark` until the browser has drawn what was just changed, as a
// performance measure and as data-NAME-ms on the document element for scripts to read.
function measureUntilDrawn(name, mark) {
  requestAnimationFrame(() => setTimeout(() => {
    const measure = performance.measure("dirserver-" + name, mark);
    document.documentElement.dataset[name + "Ms"] = Math.round(measure.duration);
  }, 0));
}

// What the filter searches in a host: its strings, in lower case. Made when first needed, or in
// the background once the rows are drawn, so that it never delays them.
function searchText(entry) {
  if (entry.text === null) entry.text = entry.host.fields.join("\u0001").toLowerCase();
  return entry.text;
}

// Makes the search texts a few thousand at a time, so that a keystroke meanwhile is not kept
// waiting.
function prepareSearch() {
  const pending = state.tables.flatMap((table) => table.entries);
  let next = 0;
  const step = () => {
    for (const end = Math.min(next + 4000, pending.length); next < end; ++next) searchText(pending[next]);
    if (next < pending.length) setTimeout(step, 0);
  };
  step();
}

function setListing(listing) {
  if (state.tables.length === 0) buildSections(listing);
  for (const table of state.tables) {
    const directory = listing.directories.find((d) => d.type === table.type);
    table.entries = (directory ? directory.hosts : []).map((host) => ({ host, text: null }));
    sortEntries(table);
  }
  applyFilter(false);
  if (!state.shownOnce) {
    state.shownOnce = true;
    measureUntilDrawn("firstRows", undefined);
  }
  requestAnimationFrame(() => setTimeout(prepareSearch, 0));
}

function refreshAges() {
  for (const table of state.tables) {
    table.shown.forEach((entry, i) => {
      table.body.rows[i].cells[kAgeColumn].textContent = ageText(ageSeconds(entry.host));
    });
  }
}

async function refresh() {
  const status = $("status");
  try {
    // "no-cache" revalidates with If-None-Match, so an unchanged listing costs a 304 and the page
    // keeps what it has built.
    const response = await fetch("servers.json", { cache: "no-cache" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const date = Date.parse(response.headers.get("Date") || "");
    if (!Number.isNaN(date)) state.serverOffsetMs = date - Date.now();
    const etag = response.headers.get("ETag");
    if (etag === null || etag !== state.etag) {
      const listing = await response.json();
      state.etag = etag;
      setListing(listing);
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

// The filter a link carries ("?filter=TEXT" or "#filter=TEXT"); one that cannot be decoded is
// ignored.
function initialFilter() {
  const fromQuery = new URLSearchParams(location.search).get("filter");
  if (fromQuery !== null) return fromQuery;
  if (!location.hash.startsWith("#filter=")) return "";
  try {
    return decodeURIComponent(location.hash.slice(8));
  } catch (malformed) {
    return "";
  }
}

$("filter").value = initialFilter();
$("filter").addEventListener("input", () => {
  performance.mark("dirserver-filter-start");
  const value = $("filter").value;
  history.replaceState(null, "", value === "" ? location.pathname : "#filter=" + encodeURIComponent(value));
  applyFilter(true);
  measureUntilDrawn("filter", "dirserver-filter-start");
});
$("refresh").addEventListener("click", refresh);
setInterval(() => { if ($("auto").checked) refresh(); }, kRefreshMs);
refresh();
