#include "api/dashboard_page.h"

// Every element that shows a value names where it comes from in /summary (data-field, a dotted
// path) and how it is written (data-format), so a test can hold the page against /summary.
// Values go in as text (textContent), never as markup: a card's name is not trusted.
const std::string& dashboardPage()
{
    static const std::string page = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Corvane miner</title>
<style>
:root { --bg: #10151c; --panel: #18202a; --line: #2a3645; --text: #d8e0ea; --dim: #8797a8; --bad: #e0676b; --good: #5fc48a; }
* { box-sizing: border-box; }
body { margin: 0; padding: 1rem 1.5rem; background: var(--bg); color: var(--text); font: 14px/1.4 system-ui, sans-serif; }
h1 { font-size: 1.3rem; margin: 0 0 .2rem; }
h1 small { color: var(--dim); font-weight: normal; font-size: .9rem; }
#status { color: var(--dim); margin: 0 0 1rem; }
#status.error { color: var(--bad); }
.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(13rem, 1fr)); gap: .75rem; margin-bottom: 1rem; }
.tile { background: var(--panel); border: 1px solid var(--line); border-radius: 6px; padding: .6rem .8rem; }
.tile h2 { font-size: .75rem; text-transform: uppercase; letter-spacing: .05em; color: var(--dim); margin: 0 0 .3rem; }
.tile .big { font-size: 1.4rem; }
.tile div { overflow-wrap: anywhere; }
.panel { background: var(--panel); border: 1px solid var(--line); border-radius: 6px; padding: .6rem .8rem; margin-bottom: 1rem; }
svg { width: 100%; height: auto; display: block; }
svg .grid { stroke: var(--line); stroke-width: 1; }
svg text { fill: var(--dim); font-size: 11px; }
svg polyline { fill: none; stroke-width: 1.5; }
.legend span { margin-right: 1rem; }
.legend i { display: inline-block; width: .8rem; height: .25rem; margin-right: .3rem; vertical-align: middle; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: .35rem .5rem; border-bottom: 1px solid var(--line); white-space: nowrap; }
th { color: var(--dim); font-weight: normal; font-size: .8rem; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
.state-mining { color: var(--good); }
.state-out, .state-no-buffer { color: var(--bad); }
</style>
</head>
<body>
<h1>Corvane miner <small>version <span data-field="version" data-format="text"></span></small></h1>
<p id="status">Reading /summary…</p>
<div class="tiles">
  <div class="tile"><h2>Rate, last 60 s</h2><div class="big" data-field="rates.60s" data-format="rate"></div>
    <div>10 s <span data-field="rates.10s" data-format="rate"></span>, 15 min <span data-field="rates.15min" data-format="rate"></span></div></div>
  <div class="tile"><h2>Solutions</h2><div class="big"><span data-field="totals.solutions.found" data-format="count"></span> found</div>
    <div><span data-field="totals.solutions.submitted" data-format="count"></span> submitted, <span data-field="totals.solutions.failed_verification" data-format="count"></span> failed verification</div>
    <div>verdicts: <span data-field="totals.verdicts.accepted" data-format="count"></span> accepted, <span data-field="totals.verdicts.rejected" data-format="count"></span> rejected of <span data-field="totals.verdicts.received" data-format="count"></span></div></div>
  <div class="tile"><h2>Bridge</h2><div class="big" data-field="bridge.address" data-format="text"></div>
    <div>connected: <span data-field="bridge.connected" data-format="bool"></span>, reconnects: <span data-field="bridge.reconnects" data-format="count"></span></div></div>
  <div class="tile"><h2>Puzzle</h2><div class="big" data-field="puzzle.short_id" data-format="text"></div>
    <div>block <span data-field="puzzle.block" data-format="text"></span>, since <span data-field="puzzle.since" data-format="time"></span></div></div>
  <div class="tile"><h2>Candidates</h2><div class="big" data-field="totals.candidates" data-format="count"></div>
    <div>up <span data-field="uptime_s" data-format="duration"></span>, snapshot <span data-field="sequence" data-format="count"></span></div></div>
</div>
<div class="panel">
  <svg id="chart" viewBox="0 0 760 250" role="img" aria-label="Rate of each GPU over the last hour">
    <line class="grid" x1="40" y1="10" x2="750" y2="10"></line>
    <line class="grid" x1="40" y1="115" x2="750" y2="115"></line>
    <line class="grid" x1="40" y1="220" x2="750" y2="220"></line>
    <text id="chart-top" x="44" y="24"></text>
    <text x="36" y="224" text-anchor="end">0</text>
    <text x="40" y="240">−1 h</text>
    <text x="750" y="240" text-anchor="end">now</text>
    <g id="lines"></g>
  </svg>
  <div class="legend" id="legend"></div>
</div>
<div class="panel">
  <table>
    <thead><tr><th>GPU</th><th>Name</th><th>Bus</th><th>State</th><th>Leaves</th><th class="num">Rate 60 s</th><th class="num">Rate 15 min</th>
      <th class="num">Candidates</th><th class="num">Found</th><th class="num">Submitted</th><th class="num">Failed</th><th class="num">Build</th>
      <th class="num">Core</th><th class="num">Memory</th><th class="num">Power</th><th class="num">Fan</th><th class="num">SM clock</th><th class="num">Cand./J</th></tr></thead>
    <tbody id="cards"></tbody>
  </table>
</div>
<script>
'use strict';
const STEPS = 360, LEFT = 40, RIGHT = 750, TOP = 10, BOTTOM = 220;
const COLOURS = ['#4fa3f7', '#f7a34f', '#5fc48a', '#c07cf0', '#e0676b', '#e6d35a', '#4fd6d0', '#f07cb8'];
const every = Math.max(0.5, Number(new URLSearchParams(location.search).get('refresh')) || 3) * 1000;
const two = n => String(n).padStart(2, '0');
const FORMATS = {
  text: v => (v === undefined || v === null || v === '') ? '–' : String(v),
  count: v => (v === undefined || v === null) ? '–' : v.toLocaleString('en-US'),
  rate: v => (v === undefined || v === null) ? '–' : (v / 1e6).toFixed(2) + ' M/s',
  seconds: v => (v === undefined || v === null) ? '–' : v.toFixed(1) + ' s',
  bool: v => (v === undefined || v === null) ? '–' : (v ? 'yes' : 'no'),
  duration: v => { const s = Math.floor(v || 0); return Math.floor(s / 3600) + ':' + two(Math.floor(s / 60) % 60) + ':' + two(s % 60); },
  time: v => (v === undefined || v === null) ? '–' : new Date(v * 1000).toISOString().slice(11, 19) + ' UTC',
  celsius: v => (v === undefined || v === null) ? '–' : v.toFixed(0) + ' °C',
  watts: v => (v === undefined || v === null) ? '–' : v.toFixed(0) + ' W',
  percent: v => (v === undefined || v === null) ? '–' : v.toFixed(0) + '%',
  mhz: v => (v === undefined || v === null) ? '–' : v.toFixed(0) + ' MHz',
  number: v => (v === undefined || v === null) ? '–' : Math.round(v).toLocaleString('en-US'),
};
const CARD_CELLS = [['index', 'count'], ['name', 'text'], ['pci_bus_id', 'text'], ['state', 'text'], ['leaf_mode', 'text'],
  ['rates.60s', 'rate'], ['rates.15min', 'rate'], ['candidates', 'count'], ['solutions.found', 'count'],
  ['solutions.submitted', 'count'], ['solutions.failed_verification', 'count'], ['last_build_s', 'seconds'],
  ['telemetry.core_temperature_c', 'celsius'], ['telemetry.memory_temperature_c', 'celsius'], ['telemetry.power_w', 'watts'],
  ['telemetry.fan_percent', 'percent'], ['telemetry.sm_clock_mhz', 'mhz'], ['telemetry.candidates_per_joule', 'number']];
const NUMERIC = new Set(['rate', 'count', 'seconds', 'celsius', 'watts', 'percent', 'mhz', 'number']);
const SVG = 'http://www.w3.org/2000/svg';

function pick(data, path) {
  return path.split('.').reduce((o, key) => (o === undefined || o === null) ? undefined : o[key], data);
}

function fill(summary) {
  for (const el of document.querySelectorAll('[data-field]')) el.textContent = FORMATS[el.dataset.format](pick(summary, el.dataset.field));
}

function cardRows(gpus) {
  const body = document.getElementById('cards');
  while (body.rows.length > gpus.length) body.deleteRow(-1);
  gpus.forEach((gpu, i) => {
    let row = body.rows[i];
    if (!row) {
      row = body.insertRow();
      for (const [field, format] of CARD_CELLS) {
        const cell = row.insertCell();
        cell.dataset.field = 'gpus.' + i + '.' + field;
        cell.dataset.format = format;
        if (NUMERIC.has(format)) cell.className = 'num';
      }
    }
    row.dataset.gpu = gpu.index;
    row.cells[3].className = 'state-' + gpu.state.replace(' ', '-');
  });
}

function chart(gpus) {
  const top = Math.max(1, ...gpus.flatMap(gpu => gpu.history));
  document.getElementById('chart-top').textContent = FORMATS.rate(top);
  const lines = document.getElementById('lines');
  const legend = document.getElementById('legend');
  lines.replaceChildren();
  legend.replaceChildren();
  gpus.forEach((gpu, i) => {
    const colour = COLOURS[i % COLOURS.length];
    const n = gpu.history.length;
    const points = gpu.history.map((rate, j) => {
      const x = RIGHT - (n - 1 - j) * (RIGHT - LEFT) / (STEPS - 1);
      const y = BOTTOM - rate / top * (BOTTOM - TOP);
      return x.toFixed(1) + ',' + y.toFixed(1);
    });
    const line = document.createElementNS(SVG, 'polyline');
    line.setAttribute('data-gpu', gpu.index);
    line.setAttribute('stroke', colour);
    line.setAttribute('points', points.join(' '));
    lines.appendChild(line);
    const key = document.createElement('span');
    const swatch = document.createElement('i');
    swatch.style.background = colour;
    key.append(swatch, 'GPU ' + gpu.index + ' ' + gpu.name);
    legend.appendChild(key);
  });
}

function show(summary) {
  cardRows(summary.gpus);
  fill(summary);
  chart(summary.gpus);
  const status = document.getElementById('status');
  status.className = '';
  status.textContent = 'Updated ' + new Date().toLocaleTimeString() + (summary.stopping ? ' — the miner is stopping' : '');
}

async function refresh() {
  const status = document.getElementById('status');
  try {
    const reply = await fetch('summary', {cache: 'no-store'});
    if (!reply.ok) throw new Error('HTTP ' + reply.status);
    show(await reply.json());
  } catch (error) {
    status.className = 'error';
    status.textContent = 'Cannot read /summary (' + error.message + '); showing the last values';
  }
  setTimeout(refresh, every);
}

refresh();
</script>
</body>
</html>
)page";
    return page;
}
