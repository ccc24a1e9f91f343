#include "status/status_page_html.h"

namespace rureza {

// The console's colours: the deep blue ground, white panels framed in light blue, grey wells
// for the values, the clock's cyan; the icon as the console draws it.
const std::string_view kStatusPageHtml = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Zivevir Media server</title>
<link rel="icon" href="data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 32 32'%3E%3Cdefs%3E%3ClinearGradient id='g' x1='0' y1='0' x2='0' y2='1'%3E%3Cstop offset='0' stop-color='%23407cd6'/%3E%3Cstop offset='1' stop-color='%230b2a5b'/%3E%3C/linearGradient%3E%3C/defs%3E%3Crect x='1' y='1' width='30' height='30' rx='5.8' fill='url(%23g)' stroke='%23061838'/%3E%3Crect x='4.5' y='19.2' width='23' height='7' rx='1.6' fill='%23e6ecf6'/%3E%3Ccircle cx='24.2' cy='22.7' r='1.3' fill='%2346dc78'/%3E%3Cpath d='M12.2 5.1L22.4 11.2L12.2 17.3Z' fill='%23fff'/%3E%3C/svg%3E">
<style nonce="@NONCE@">
  :root { --deep: #0b2a5b; --night: #061838; --frame: #6e8cbe; --well: #c0c0c0; --clock: #78e6ff; }
  * { box-sizing: border-box; }
  body { margin: 0; font: 14px/1.35 Arial, "Liberation Sans", Helvetica, sans-serif; color: #000;
         background: linear-gradient(135deg, var(--deep), var(--night)) fixed; min-height: 100vh; }
  header { display: flex; align-items: center; gap: 12px; padding: 12px 16px; color: #fff; }
  header svg { width: 40px; height: 40px; flex: none; }
  header h1 { font-size: 20px; margin: 0; flex: 1; }
  header .host { font-size: 13px; color: #c8d6ee; display: block; font-weight: normal; }
  #clock { color: var(--clock); font: bold 22px Arial, sans-serif; }
  main { display: grid; gap: 12px; padding: 0 12px 16px; grid-template-columns: repeat(auto-fit, minmax(320px, 1fr)); }
  section { background: #fff; border: 1px solid var(--frame); border-radius: 6px; padding: 10px 12px;
            box-shadow: 2px 2px 0 rgba(0,0,0,.28); min-width: 0; }
  section.wide { grid-column: 1 / -1; }
  h2 { color: var(--deep); font-size: 15px; margin: 0 0 8px; }
  dl { display: grid; grid-template-columns: max-content 1fr; gap: 4px 10px; margin: 0; }
  dt { align-self: center; }
  dd { margin: 0; background: var(--well); padding: 1px 6px; border-top: 1px solid #808080;
       border-left: 1px solid #808080; border-bottom: 1px solid #fff; border-right: 1px solid #fff;
       overflow-wrap: anywhere; }
  table { width: 100%; border-collapse: collapse; }
  th { text-align: left; color: var(--deep); font-weight: bold; border-bottom: 1px solid var(--frame); padding: 3px 6px; }
  td { padding: 3px 6px; border-bottom: 1px solid #e3e8f2; vertical-align: top; overflow-wrap: anywhere; }
  .bar { height: 6px; background: #e3e8f2; border-radius: 3px; margin-top: 3px; }
  .bar span { display: block; height: 6px; background: #2258aa; border-radius: 3px; }
  .bad { color: #b00020; }
  .good { color: #17803d; }
  .none { color: #666; font-style: italic; }
  #log { margin: 0; padding: 4px 6px; list-style: none; background: var(--well); max-height: 24em; overflow-y: auto;
         font-size: 13px; border-top: 1px solid #808080; border-left: 1px solid #808080; }
  #log li { white-space: pre-wrap; overflow-wrap: anywhere; }
  #log time { color: #333; margin-right: 8px; }
  #offline { display: none; background: #b00020; color: #fff; padding: 6px 16px; }
  footer { color: #c8d6ee; font-size: 12px; padding: 0 16px 16px; }
  footer a { color: var(--clock); }
  @media (max-width: 600px) {
    .adapters thead { display: none; }
    .adapters tr { display: block; border-bottom: 1px solid var(--frame); padding: 4px 0; }
    .adapters td { display: block; border: 0; padding: 1px 4px; }
  }
</style>
</head>
<body>
<header>
  <svg viewBox="0 0 32 32" aria-hidden="true"><defs><linearGradient id="tile" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#407cd6"/><stop offset="1" stop-color="#0b2a5b"/></linearGradient></defs><rect x="1" y="1" width="30" height="30" rx="5.8" fill="url(#tile)" stroke="#061838"/><rect x="4.5" y="19.2" width="23" height="7" rx="1.6" fill="#e6ecf6"/><circle cx="24.2" cy="22.7" r="1.3" fill="#46dc78"/><path d="M12.2 5.1L22.4 11.2L12.2 17.3Z" fill="#fff"/></svg>
  <h1>Zivevir Media server <span class="host" id="host"></span></h1>
  <div id="clock"></div>
</header>
<div id="offline">The server does not answer; trying again every second.</div>
<main>
  <section>
    <h2>Server</h2>
    <dl>
      <dt>State</dt><dd id="state"></dd>
      <dt>Address</dt><dd id="address"></dd>
      <dt>Ports</dt><dd id="ports"></dd>
      <dt>Clients</dt><dd id="clients"></dd>
      <dt>Streams</dt><dd id="streams"></dd>
      <dt>Sent</dt><dd id="sent"></dd>
      <dt>Received</dt><dd id="received"></dd>
      <dt>Rate</dt><dd id="rate"></dd>
    </dl>
  </section>
  <section>
    <h2>Conversion and cache</h2>
    <dl>
      <dt>Conversion</dt><dd id="conversion"></dd>
      <dt>Running</dt><dd id="conv-running"></dd>
      <dt>Started, failed</dt><dd id="conv-counts"></dd>
      <dt>Cache</dt><dd id="cache"></dd>
      <dt>Hits, misses</dt><dd id="cache-hits"></dd>
    </dl>
  </section>
  <section class="wide">
    <h2>Adapters</h2>
    <table class="adapters">
      <thead><tr><th>Address</th><th>Doing</th><th>File</th><th>How far</th><th>Rate</th><th>Since</th></tr></thead>
      <tbody id="adapters"></tbody>
    </table>
  </section>
  <section class="wide">
    <h2>Media folders</h2>
    <table>
      <thead><tr><th>Folder</th><th>Path</th><th>State</th><th>Files listed last</th></tr></thead>
      <tbody id="folders"></tbody>
    </table>
  </section>
  <section class="wide">
    <h2>Activity log</h2>
    <ul id="log"></ul>
  </section>
</main>
<footer>For scripts: <a href="/status.json">/status.json</a> · for Prometheus: <a href="/metrics">/metrics</a> · this page updates itself every second.</footer>
<script nonce="@NONCE@">
"use strict";
const $ = (id) => document.getElementById(id);
function text(id, value) { $(id).textContent = value; }
function cell(row, value, cls) {
  const td = row.insertCell();
  td.textContent = value;
  if (cls) td.className = cls;
  return td;
}
function bytes(n) {
  if (n === null || n === undefined) return "";
  const units = ["bytes", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(1) : String(n)) + " " + units[i];
}
function clock(iso) {
  if (!iso) return "";
  const d = new Date(iso);
  const same = d.toDateString() === new Date().toDateString();
  return same ? d.toLocaleTimeString() : d.toLocaleString();
}
function duration(seconds) {
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60, s = seconds % 60;
  return (h ? h + " h " : "") + (h || m ? m + " min " : "") + s + " s";
}
function show(r) {
  text("host", r.host);
  text("state", r.running ? "Running since " + clock(r.started) + " (" + duration(r.uptime_seconds) + ")" : "Stopped");
  $("state").className = r.running ? "good" : "bad";
  text("address", r.address);
  text("ports", r.port + " requests, " + (r.port + 1) + " control, " + (r.port + 3) + " discovery (UDP)");
  text("clients", r.clients + " of " + r.client_limit);
  text("streams", r.streams);
  text("sent", bytes(r.bytes_sent) + " in " + r.send_calls + " sends");
  text("received", bytes(r.bytes_received) + " in " + r.receive_calls + " receives");
  text("rate", r.rate_mbit_per_second.toFixed(4) + " Mbit/s");
  const c = r.conversion;
  text("conversion", c.on ? "on" : "off");
  text("conv-running", c.running);
  text("conv-counts", c.started + ", " + c.failed);
  text("cache", c.cache_bound ? c.cache_entries + " files, " + bytes(c.cache_bytes) + " of " + bytes(c.cache_bound) : "none on disk");
  text("cache-hits", c.cache_hits + ", " + c.cache_misses);

  const adapters = $("adapters");
  adapters.replaceChildren();
  for (const a of r.adapters) {
    const row = adapters.insertRow();
    cell(row, a.address);
    cell(row, a.activity + (a.doing === "mp3" || a.doing === "avi" || a.doing === "mpeg" ? " " + a.doing.toUpperCase() : ""));
    cell(row, a.file);
    const far = cell(row, a.length !== null && a.position !== null
        ? bytes(a.position) + " of " + bytes(a.length) + (a.length ? " (" + Math.min(100, Math.round(100 * a.position / a.length)) + " %)" : "")
        : bytes(a.bytes_sent) + " sent");
    if (a.length) {
      const bar = document.createElement("div"), fill = document.createElement("span");
      bar.className = "bar";
      fill.style.width = Math.min(100, 100 * (a.position || 0) / a.length) + "%";
      bar.appendChild(fill);
      far.appendChild(bar);
    }
    cell(row, bytes(Math.round(a.rate_bytes_per_second)) + "/s");
    cell(row, clock(a.since) + " (" + duration(a.seconds) + ")");
  }
  if (!r.adapters.length) {
    const row = adapters.insertRow();
    const td = cell(row, "No adapter is connected.", "none");
    td.colSpan = 6;
  }

  const folders = $("folders");
  folders.replaceChildren();
  for (const f of r.folders) {
    const row = folders.insertRow();
    cell(row, f.kind);
    cell(row, f.path);
    cell(row, f.found ? "found" : f.problem, f.found ? "good" : "bad");
    cell(row, f.files_listed === null ? "not listed yet" : f.files_listed);
  }

  const log = $("log");
  const following = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.replaceChildren();
  for (const line of r.log) {
    const li = document.createElement("li"), t = document.createElement("time");
    t.textContent = clock(line.time);
    li.appendChild(t);
    li.appendChild(document.createTextNode(line.text));
    log.appendChild(li);
  }
  if (following) log.scrollTop = log.scrollHeight;
}
async function refresh() {
  try {
    const response = await fetch("/status.json", { cache: "no-store" });
    if (!response.ok) throw new Error(response.status);
    show(await response.json());
    $("offline").style.display = "none";
  } catch (e) {
    $("offline").style.display = "block";
  }
  text("clock", new Date().toLocaleTimeString());
  setTimeout(refresh, 1000);
}
refresh();
</script>
</body>
</html>
)html";

}  // namespace rureza
