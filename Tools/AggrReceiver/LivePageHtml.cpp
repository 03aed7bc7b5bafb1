// The live page: one HTML text with its style and script, so that it works on a machine
// without any other connection. The script opens /events and draws each state it gets; every
// text from the state is set as text, never as markup.
//
// "?keep-loading" in the address keeps the page's load pending (a hidden second stream), so that
// a headless browser's --timeout decides when --dump-dom and --screenshot record the live page.
#include "Tools/AggrReceiver/LivePage.h"

namespace aggrreceiver {

const char* const kLivePageHtml = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>KriAggrReceiver: live</title>
<style>
body { font-family: system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2330; }
header { background: #1d2330; color: #fff; padding: .6em 1em; display: flex; flex-wrap: wrap;
         gap: .3em 1.5em; align-items: baseline; }
header h1 { font-size: 1.1em; margin: 0; }
#status.down { color: #ffb4a8; }
.network { background: #b3261e; color: #fff; padding: .5em 1em; font-weight: bold; }
main { padding: .5em 1em 2em; }
.studio { background: #fff; border-radius: 6px; box-shadow: 0 1px 3px #0002; margin: 1em 0;
          padding: .6em 1em; }
.studio h2 { margin: .2em 0; font-size: 1.3em; }
.housetime { font-size: 1.6em; font-variant-numeric: tabular-nums; font-weight: bold; }
.link { margin: .3em 0 .6em; }
.link .up { color: #1b7d33; font-weight: bold; }
.link .downlink { color: #b3261e; font-weight: bold; }
.session h3 { margin: .8em 0 .3em; font-size: 1.1em; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; width: 100%; font-size: .92em; }
th, td { text-align: left; padding: .25em .5em; border-bottom: 1px solid #e3e5ea; white-space: nowrap; }
th { color: #5b6272; font-weight: 600; }
td.num { font-variant-numeric: tabular-nums; }
tr.on-air { background: #fde8e6; font-weight: bold; }
tr.on-air td:first-child::before { content: "\25CF  ON AIR "; color: #d0241b; }
.removed, tr.removed { color: #9aa0ab; text-decoration: line-through; }
.removed-note { color: #9aa0ab; font-size: .85em; }
details { margin: .5em 0; }
summary { cursor: pointer; font-weight: 600; }
ul.log { margin: .3em 0; padding-left: .5em; list-style: none; font-size: .88em;
         max-height: 22em; overflow-y: auto; font-variant-numeric: tabular-nums; }
ul.log li { margin: .1em 0; word-break: break-word; }
.dup { color: #8a5a00; }
.bad { color: #b3261e; }
.empty { color: #5b6272; font-style: italic; }
@media (max-width: 600px) { main { padding: .3em .4em; } .studio { padding: .5em; }
  th, td { padding: .2em .3em; } }
</style>
</head>
<body>
<header><h1>KriAggrReceiver</h1><span id="receiver"></span><span id="status">connecting&hellip;</span></header>
<div id="network" class="network" hidden></div>
<main id="studios"><p class="empty">Waiting for the receiver&rsquo;s state&hellip;</p></main>
<script>
"use strict";
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
function clock(utc) { return utc ? utc.substring(11, 23) : ""; }
function row(cells, tag) {
  const tr = el("tr");
  for (const c of cells) tr.appendChild(el(tag || "td", null, c));
  return tr;
}
function linkLine(link) {
  const p = el("p", "link");
  if (!link) { p.appendChild(el("span", "downlink", "no link")); return p; }
  p.appendChild(el("span", link.connected ? "up" : "downlink",
                   link.connected ? "connected" : "disconnected at " + link.closedAt));
  p.appendChild(document.createTextNode(" since " + link.since + " from " + link.address +
      ", client certificate " + link.subject + ", reconnections " + link.reconnections));
  return p;
}
function session(s) {
  const box = el("section", "session" + (s.removedAt ? " removed" : ""));
  box.dataset.session = s.id;
  const h = el("h3", null, (s.name || "(not opened while this receiver ran)") + "  ");
  h.appendChild(el("span", "removed-note", "session " + s.id +
      (s.removedAt ? ", removed at " + s.removedAt : "") +
      (s.houseTime ? ", house time " + s.houseTime : "")));
  box.appendChild(h);
  if (!s.entries.length) { box.appendChild(el("p", "empty", "no entries")); return box; }
  const table = el("table");
  // The status comes early, so that a phone shows it without scrolling sideways.
  table.appendChild(row(["Id", "Status", "Name", "Time", "Duration", "Segment", "On-air date"], "th"));
  for (const e of s.entries) {
    const tr = row([e.id, e.status, e.name, e.time, e.duration, e.segment, e.date]);
    tr.className = "entry" + (e.onAir ? " on-air" : "") + (e.removedAt ? " removed" : "");
    tr.dataset.entry = e.id;
    if (e.removedAt) tr.title = "removed at " + e.removedAt;
    table.appendChild(tr);
  }
  const scroll = el("div", "scroll");
  scroll.appendChild(table);
  box.appendChild(scroll);
  return box;
}
// A folding list, newest first.
function log(title, count, items, describe, open) {
  const d = el("details");
  d.open = open;
  d.appendChild(el("summary", null, title + ": " + count +
      (count > items.length ? " (the last " + items.length + " shown)" : "")));
  if (!items.length) { d.appendChild(el("p", "empty", "none")); return d; }
  const ul = el("ul", "log");
  for (const item of items.slice().reverse()) ul.appendChild(describe(item));
  d.appendChild(ul);
  return d;
}
function transaction(t) {
  const li = el("li", "transaction" + (t.duplicate ? " dup" : ""),
      clock(t.at) + "  " + t.action + "  session " + t.session +
      (t.id ? "  " + t.id : "") + (t.name ? " \"" + t.name + "\"" : "") +
      (t.detail ? "  " + t.detail : "") + (t.duplicate ? "  (duplicate)" : ""));
  li.dataset.at = t.at;
  li.dataset.action = t.action;
  return li;
}
function malformed(m) {
  return el("li", "bad", clock(m.at) + "  from " + m.from + ", " + m.bytes + " bytes: " + m.error);
}
function studio(s) {
  const box = el("section", "studio");
  box.dataset.studio = s.id;
  box.appendChild(el("h2", null, s.id === "" ? "Connections without AddStudio"
                                             : s.name + " (studio " + s.id + ")"));
  box.appendChild(el("div", "housetime", s.houseTime ? "House time " + s.houseTime : "House time not reported yet"));
  box.appendChild(linkLine(s.link));
  if (!s.sessions.length) box.appendChild(el("p", "empty", "no sessions"));
  for (const x of s.sessions) box.appendChild(session(x));
  box.appendChild(log("Transactions", s.transactionCount, s.transactions, transaction, true));
  box.appendChild(log("Duplicates", s.duplicates.count, s.duplicates.recent, transaction, s.duplicates.count > 0));
  box.appendChild(log("Malformed frames", s.malformed.count, s.malformed.recent, malformed, s.malformed.count > 0));
  return box;
}
let updates = 0;
let lastState = "";
function draw(state) {
  updates++;
  lastState = clock(state.generatedAt);
  document.getElementById("receiver").textContent = "TLS on " + state.receiver.address +
      ", state of " + clock(state.generatedAt) + " UTC";
  const net = document.getElementById("network");
  net.hidden = !state.receiver.visibleFromNetwork;
  net.textContent = "This page can be seen from the network at " + state.receiver.page;
  const main = document.getElementById("studios");
  const boxes = state.studios.map(studio);
  if (!boxes.length) boxes.push(el("p", "empty", "No studio has connected yet."));
  main.replaceChildren(...boxes);
  main.dataset.updates = updates;
}
const status = document.getElementById("status");
const events = new EventSource("/events");
events.onopen = () => { status.textContent = "live"; status.className = ""; };
events.onmessage = (m) => draw(JSON.parse(m.data));
events.onerror = () => {
  status.className = "down";
  status.textContent = events.readyState === EventSource.CLOSED
      ? "updates stopped after the state of " + lastState + " UTC; reload to resume"
      : "receiver not reachable, retrying";
};
if (new URLSearchParams(location.search).has("keep-loading")) {
  const hold = el("iframe");
  hold.hidden = true;
  hold.src = "/events";
  document.body.appendChild(hold);
}
</script>
</body>
</html>
)html";

}  // namespace aggrreceiver
