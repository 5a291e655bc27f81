// The page of what arrived: plain HTML, CSS and a script that polls /page/state. Everything that
// came from the wire reaches the document as text (textContent), never as markup.
#pragma once

namespace collector {

inline const char* pageHtml() {
    return R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>QuillMark collector</title>
<link rel="icon" href="data:,">
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 1em 2em; color: #222; }
h1 { font-size: 1.4em; margin: 0 0 .2em; }
#status { color: #666; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 2px 8px; border-bottom: 1px solid #ddd; vertical-align: top; }
td.body { white-space: pre-wrap; word-break: break-word; font-family: monospace; }
td.time { white-space: nowrap; }
tr.level-FATAL td.level, tr.level-ERROR td.level { color: #b00; font-weight: bold; }
tr.level-WARN td.level { color: #a60; }
.crash { border: 1px solid #c99; border-radius: 4px; padding: .5em 1em; margin: .5em 0; }
.crash h3 { margin: .2em 0; color: #b00; }
.crash dl { display: grid; grid-template-columns: max-content auto; gap: 0 1em; margin: .3em 0; }
.crash dt { color: #666; }
.crash dd { margin: 0; font-family: monospace; word-break: break-all; }
pre.stack { background: #f6f6f6; padding: .5em; overflow-x: auto; }
.note { color: #666; font-style: italic; }
form { margin: .5em 0; }
</style>
</head>
<body>
<h1>What arrived at this collector</h1>
<p id="status">Waiting for the first answer...</p>
<section id="crashes">
<h2>Crashes</h2>
<p id="no-crash" class="note">No crash yet.</p>
<div id="crash-list"></div>
</section>
<section>
<h2>Records</h2>
<form id="filters">
<label>Level <select id="level-filter"><option value="">all</option></select></label>
<label>Channel <select id="channel-filter"><option value="">all</option></select></label>
<span id="shown"></span>
</form>
<table>
<thead><tr><th>Time</th><th>Level</th><th>Channel</th><th>Body</th></tr></thead>
<tbody id="record-rows"></tbody>
</table>
</section>
<script>
"use strict";
// The crash record's field that carries the records logged just before the crash. While it is
// null, every field holding an array of log-like objects is shown as the last logs.
const LAST_LOGS_FIELD = null;
const BODY_KEYS = ["body", "message", "msg", "text"];
const LEVEL_KEYS = ["logLevel", "level", "severity"];
const TIME_KEYS = ["sendTime", "time", "timestamp", "ts"];
// A channel's records carry its type; its name stays on the device.
const CHANNEL_KEYS = ["logType"];
const LEVELS = ["FATAL", "ERROR", "WARN", "INFO", "DEBUG"];
const POLL_MS = 1000;
// As many as the collector keeps for the page.
const MAX_RECORDS = 5000;

const records = [];
let nextSeq = 0;
let shownCrashes = "";
const filter = new URLSearchParams(location.search);

function isPlainObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}
function firstOf(object, keys) {
  if (!isPlainObject(object)) return "";
  for (const key of keys) {
    if (object[key] !== undefined && object[key] !== null) return String(object[key]);
  }
  return "";
}
function bodyOf(record) {
  return isPlainObject(record) ? firstOf(record, BODY_KEYS) : JSON.stringify(record);
}
// Milliseconds since the epoch, as the library writes "sendTime", else the text as it came.
function timeText(value) {
  if (/^\d{12,14}$/.test(value)) return new Date(Number(value)).toISOString().replace("T", " ");
  return value;
}
function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}
function addOption(select, value) {
  if (!value) return;
  for (const option of select.options) if (option.value === value) return;
  select.appendChild(element("option", value)).value = value;
}

const levelSelect = document.getElementById("level-filter");
const channelSelect = document.getElementById("channel-filter");
for (const level of LEVELS) addOption(levelSelect, level);
addOption(levelSelect, filter.get("level") || "");
addOption(channelSelect, filter.get("channel") || "");
levelSelect.value = filter.get("level") || "";
channelSelect.value = filter.get("channel") || "";

function wanted(record) {
  const level = levelSelect.value, channel = channelSelect.value;
  return (!level || firstOf(record, LEVEL_KEYS) === level) &&
         (!channel || firstOf(record, CHANNEL_KEYS) === channel);
}
function recordRow(record) {
  const row = element("tr", undefined, "record");
  const level = firstOf(record, LEVEL_KEYS);
  if (/^[A-Z]+$/.test(level)) row.classList.add("level-" + level);
  row.appendChild(element("td", timeText(firstOf(record, TIME_KEYS)), "time"));
  row.appendChild(element("td", level, "level"));
  row.appendChild(element("td", firstOf(record, CHANNEL_KEYS), "channel"));
  row.appendChild(element("td", bodyOf(record), "body"));
  return row;
}
function showRecords() {
  const rows = document.getElementById("record-rows");
  const fragment = document.createDocumentFragment();
  let shown = 0;
  for (const record of records) {
    if (!wanted(record)) continue;
    fragment.appendChild(recordRow(record));
    ++shown;
  }
  rows.replaceChildren(fragment);
  document.getElementById("shown").textContent = shown + " of " + records.length + " shown";
}
function onFilterChange() {
  const params = new URLSearchParams();
  if (levelSelect.value) params.set("level", levelSelect.value);
  if (channelSelect.value) params.set("channel", channelSelect.value);
  history.replaceState(null, "", params.toString() ? "?" + params : location.pathname);
  showRecords();
}
levelSelect.addEventListener("change", onFilterChange);
channelSelect.addEventListener("change", onFilterChange);

function isLogLike(value) {
  return isPlainObject(value) && BODY_KEYS.some(k => k in value) &&
         (LEVEL_KEYS.some(k => k in value) || TIME_KEYS.some(k => k in value));
}
function lastLogFields(record) {
  const names = LAST_LOGS_FIELD === null ? Object.keys(record) : [LAST_LOGS_FIELD];
  return names.filter(name => Array.isArray(record[name]) && record[name].length > 0 &&
                              record[name].every(isLogLike));
}
function crashView(crash) {
  const record = isPlainObject(crash.record) ? crash.record : {};
  const view = element("article", undefined, "crash");
  view.appendChild(element("h3", "Crash at " + timeText(firstOf(record, TIME_KEYS)) + ": " +
                                 bodyOf(record)));
  const lastLogs = lastLogFields(record);
  const fields = element("dl");
  for (const [name, value] of Object.entries(record)) {
    if (lastLogs.includes(name)) continue;
    fields.appendChild(element("dt", name));
    fields.appendChild(element("dd", typeof value === "string" ? value : JSON.stringify(value)));
  }
  view.appendChild(fields);
  view.appendChild(element("h4", "Stack"));
  const stack = crash.stack || {};
  const hasOutput = stack.state === "done" || stack.state === "failed";
  view.appendChild(element(hasOutput ? "pre" : "p", stack.text || "",
                           hasOutput ? "stack " + stack.state : "note"));
  for (const name of lastLogs) {
    view.appendChild(element("h4", "Last logs"));
    view.appendChild(element("p", "from the field " + name, "note"));
    const table = element("table", undefined, "last-logs");
    const heading = table.appendChild(element("tr"));
    for (const title of ["Time", "Level", "Channel", "Body"]) {
      heading.appendChild(element("th", title));
    }
    for (const entry of record[name]) table.appendChild(recordRow(entry));
    view.appendChild(table);
  }
  return view;
}
function showCrashes(crashes) {
  const text = JSON.stringify(crashes);
  if (text === shownCrashes) return;
  shownCrashes = text;
  const list = document.getElementById("crash-list");
  list.replaceChildren(...crashes.slice().reverse().map(crashView));
  document.getElementById("no-crash").hidden = crashes.length > 0;
}

async function poll() {
  try {
    const answer = await fetch("/page/state?since=" + nextSeq, {cache: "no-store"});
    if (!answer.ok) throw new Error("status " + answer.status);
    const state = await answer.json();
    for (const entry of state.records) {
      records.push(entry.record);
      addOption(channelSelect, firstOf(entry.record, CHANNEL_KEYS));
      addOption(levelSelect, firstOf(entry.record, LEVEL_KEYS));
    }
    if (records.length > MAX_RECORDS) records.splice(0, records.length - MAX_RECORDS);
    if (state.records.length > 0) showRecords();
    nextSeq = state.next;
    showCrashes(state.crashes);
    document.getElementById("status").textContent =
        records.length + " records, " + state.crashes.length + " crashes; updated " +
        new Date().toLocaleTimeString();
  } catch (error) {
    document.getElementById("status").textContent =
        "The collector did not answer (" + error.message + "); trying again.";
  }
  setTimeout(poll, POLL_MS);
}
showRecords();
poll();
</script>
</body>
</html>
)PAGE";
}

}  // namespace collector
