// dashboard.cpp — the page of GET /dashboard: one self-contained HTML document
// (inline style, script and SVG, nothing fetched but the server's own routes)
// that polls /stats, /metrics and /slowlog and draws the recent history.
#include "server/metrics.h"

namespace {

constexpr char kDashboardPage[] = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vorel dashboard</title>
<style>
*{box-sizing:border-box}
body{margin:0;font:14px/1.4 system-ui,sans-serif;background:#0f1419;color:#d8dee4}
header{display:flex;flex-wrap:wrap;gap:.5em 1.5em;align-items:baseline;padding:12px 16px;background:#161c23;border-bottom:1px solid #2a333d}
h1{font-size:18px;margin:0;color:#fff}
#status{font-size:13px;color:#8b98a5}
#status.bad{color:#ff6b6b}
main{display:grid;grid-template-columns:repeat(auto-fit,minmax(220px,1fr));gap:12px;padding:12px;max-width:1400px;margin:0 auto}
.card{background:#161c23;border:1px solid #2a333d;border-radius:6px;padding:10px 12px;min-width:0}
.card h2{font-size:13px;font-weight:600;margin:0 0 2px;color:#8b98a5;text-transform:uppercase;letter-spacing:.04em}
.value{font-size:22px;font-weight:600;color:#fff;font-variant-numeric:tabular-nums}
.sub{font-size:12px;color:#8b98a5;min-height:1.4em}
svg.chart{display:block;width:100%;height:110px;background:#0f1419;border-radius:4px;margin-top:6px}
svg.chart polyline{fill:none;stroke-width:2;vector-effect:non-scaling-stroke}
svg.chart .grid{stroke:#2a333d;stroke-width:1;vector-effect:non-scaling-stroke}
.wide{grid-column:1/-1}
table{width:100%;border-collapse:collapse;font-size:13px}
th,td{text-align:left;padding:4px 6px;border-bottom:1px solid #2a333d;vertical-align:top}
th{color:#8b98a5;font-weight:600}
td.num{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
td.cmd{font-family:ui-monospace,monospace;word-break:break-all}
.scroll{overflow-x:auto}
.legend span{display:inline-block;margin-right:10px;font-size:12px}
.legend i{display:inline-block;width:10px;height:3px;margin-right:4px;vertical-align:middle}
@media (max-width:600px){main{padding:8px;gap:8px}.value{font-size:19px}td.addr,th.addr{display:none}}
</style></head><body>
<header><h1>vorel dashboard</h1><span id="status">connecting…</span></header>
<main>
<section class="card"><h2>Operations per second</h2><div class="value" id="ops-value">–</div>
<div class="sub" id="ops-sub"></div><svg class="chart" id="ops-chart" viewBox="0 0 300 100" preserveAspectRatio="none"></svg></section>
<section class="card"><h2>Memory</h2><div class="value" id="mem-value">–</div>
<div class="sub legend"><span><i style="background:#4fc3f7"></i>used</span><span><i style="background:#ff8a65"></i>limit <b id="limit-value">none</b></span></div>
<svg class="chart" id="mem-chart" viewBox="0 0 300 100" preserveAspectRatio="none"></svg></section>
<section class="card"><h2>Clients</h2><div class="value" id="clients-value">–</div>
<div class="sub legend"><span><i style="background:#81c784"></i>connected</span><span><i style="background:#ffd54f"></i>blocked <b id="blocked-value">0</b></span></div>
<svg class="chart" id="clients-chart" viewBox="0 0 300 100" preserveAspectRatio="none"></svg></section>
<section class="card"><h2>Hit ratio</h2><div class="value" id="hits-value">–</div>
<div class="sub" id="hits-sub"></div><svg class="chart" id="hits-chart" viewBox="0 0 300 100" preserveAspectRatio="none"></svg></section>
<section class="card wide"><h2>Slow log</h2><div class="sub" id="slow-sub"></div><div class="scroll"><table id="slowlog">
<thead><tr><th>id</th><th>time</th><th>µs</th><th>command</th><th class="addr">client</th></tr></thead><tbody></tbody></table></div></section>
</main>
<script>
"use strict";
const HISTORY = 240;
const params = new URLSearchParams(location.search);
const INTERVAL = Math.max(200, Number(params.get("interval")) || 1000);
const series = {ops: [], mem: [], limit: [], clients: [], blocked: [], hits: []};
let previous = null;

function push(name, v) { const s = series[name]; s.push(v); if (s.length > HISTORY) s.shift(); }

function parseMetrics(text) {
  const out = {};
  for (const line of text.split("\n")) {
    if (line === "" || line[0] === "#") continue;
    const m = /^([A-Za-z_:][\w:]*)(\{[^}]*\})?\s+(\S+)$/.exec(line);
    if (m) out[m[1] + (m[2] || "")] = Number(m[3]);
  }
  return out;
}

function human(bytes) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
  return (i ? bytes.toFixed(1) : String(bytes)) + " " + units[i];
}

// Draws the given series into an SVG: a polyline per series scaled to the
// largest value shown, with a few grid lines.
function draw(id, lines, fixedMax) {
  const svg = document.getElementById(id);
  let max = fixedMax || 0;
  for (const l of lines) for (const v of l.data) if (v > max) max = v;
  if (!(max > 0)) max = 1;
  let html = "";
  for (let g = 1; g < 4; g++) html += `<line class="grid" x1="0" x2="300" y1="${g * 25}" y2="${g * 25}"/>`;
  let points = 0;
  for (const l of lines) {
    if (l.data.length === 0) continue;
    // A short history fills the chart from the right at the pace of the first 40 polls.
    const step = 300 / Math.max(l.data.length - 1, 40), x0 = 300 - step * (l.data.length - 1);
    const pts = l.data.map((v, i) => `${(x0 + i * step).toFixed(1)},${(98 - 96 * v / max).toFixed(1)}`);
    if (pts.length === 1) pts.push(pts[0].replace(/^[^,]+/, "300"));
    html += `<polyline stroke="${l.color}"${l.dash ? ' stroke-dasharray="6 4"' : ""} points="${pts.join(" ")}"/>`;
    points += l.data.length;
  }
  svg.innerHTML = html;
  svg.setAttribute("data-points", String(points));
}

function text(id, value) { document.getElementById(id).textContent = value; }

function showSlowlog(entries) {
  const body = document.querySelector("#slowlog tbody");
  body.textContent = "";
  for (const e of entries) {
    const tr = document.createElement("tr");
    const cells = [
      [String(e.id), "num"],
      [new Date(e.time * 1000).toLocaleTimeString(), "num"],
      [e.duration_us.toLocaleString(), "num"],
      [e.args.join(" "), "cmd"],
      [e.addr + (e.name ? " (" + e.name + ")" : ""), "addr"],
    ];
    for (const [v, cls] of cells) {
      const td = document.createElement("td");
      td.className = cls;
      td.textContent = v;
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  text("slow-sub", entries.length ? entries.length + " most recent" : "no slow commands recorded");
}

async function fetchOk(path, kind) {
  const r = await fetch(path, {cache: "no-store"});
  if (!r.ok) throw new Error(path + ": HTTP " + r.status);
  return kind === "json" ? r.json() : r.text();
}

async function poll() {
  const status = document.getElementById("status");
  try {
    const [stats, metricsText, slow] = await Promise.all(
      [fetchOk("/stats", "json"), fetchOk("/metrics", "text"), fetchOk("/slowlog", "json")]);
    const m = parseMetrics(metricsText);
    const hits = m["vorel_keyspace_hits_total"], misses = m["vorel_keyspace_misses_total"];
    // Operations per second as the server counts them (the last full second);
    // the hit ratio over the lookups since the previous poll.
    push("ops", stats.ops_per_sec);
    text("ops-value", stats.ops_per_sec.toLocaleString());
    if (previous) {
      const dh = hits - previous.hits, dm = misses - previous.misses;
      const ratio = dh + dm > 0 ? dh / (dh + dm) : (hits + misses > 0 ? hits / (hits + misses) : 0);
      push("hits", ratio * 100);
      text("hits-value", (ratio * 100).toFixed(1) + " %");
      text("hits-sub", "since start: " + (hits + misses > 0 ? (100 * hits / (hits + misses)).toFixed(1) + " %" : "no lookups"));
    }
    previous = {hits, misses};
    text("ops-sub", "total " + m["vorel_commands_processed_total"].toLocaleString() + " requests");
    const used = m["vorel_memory_used_bytes"], limit = m["vorel_memory_max_bytes"];
    push("mem", used); push("limit", limit);
    text("mem-value", human(used));
    text("limit-value", limit > 0 ? human(limit) : "none");
    push("clients", m["vorel_connected_clients"]); push("blocked", m["vorel_blocked_clients"]);
    text("blocked-value", String(m["vorel_blocked_clients"]));
    text("clients-value", String(m["vorel_connected_clients"]));
    draw("ops-chart", [{data: series.ops, color: "#4fc3f7"}]);
    draw("mem-chart", [{data: series.mem, color: "#4fc3f7"}, {data: limit > 0 ? series.limit : [], color: "#ff8a65", dash: true}]);
    draw("clients-chart", [{data: series.clients, color: "#81c784"}, {data: series.blocked, color: "#ffd54f"}]);
    draw("hits-chart", [{data: series.hits, color: "#ba68c8"}], 100);
    showSlowlog(slow);
    status.className = "";
    status.textContent = "up " + stats.uptime + " s · " + stats.total_keys.toLocaleString() + " keys · updated " + new Date().toLocaleTimeString();
  } catch (err) {
    status.className = "bad";
    status.textContent = "no data: " + err.message;
  }
  setTimeout(poll, INTERVAL);
}
poll();
</script></body></html>
)HTML";

}  // namespace

std::string_view dashboard_page() { return std::string_view(kDashboardPage, sizeof(kDashboardPage) - 1); }
