#include "web/WebPage.h"

#include "chips/Chips.h"
#include "device/ControlPPORT.h"
#include "web/Json.h"

namespace tarvel {

namespace {

constexpr std::string_view kPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tarvel Control bench</title>
<style>
:root { color-scheme: light dark; --line: #8884; --accent: #2a6fdb; }
* { box-sizing: border-box; }
body { font: 16px/1.4 system-ui, sans-serif; margin: 0 auto; padding: 12px; max-width: 760px; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 8px 16px; }
h1 { font-size: 1.3em; margin: 0; flex: 1; }
#live { font-size: .9em; padding: 2px 8px; border-radius: 10px; background: #8883; }
#live.on { background: #2a2; color: #fff; }
section { border: 1px solid var(--line); border-radius: 8px; padding: 12px; margin: 12px 0; }
.row { display: flex; flex-wrap: wrap; gap: 12px; align-items: center; }
.channels { display: grid; grid-template-columns: repeat(auto-fit, minmax(260px, 1fr)); gap: 12px; }
.channel h2 { font-size: 1.05em; margin: 0 0 8px; }
.channel input[type=number] { width: 6em; font-size: 1.1em; }
.channel input[type=range] { width: 100%; margin: 8px 0; }
.figures { display: flex; gap: 16px; font-size: .95em; color: #888; }
.figures b { color: CanvasText; }
button { font-size: 1em; padding: 8px 20px; border-radius: 6px; border: 1px solid var(--accent);
         background: var(--accent); color: #fff; }
button:disabled { opacity: .45; }
select { font-size: 1em; padding: 4px; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 4px 12px; margin: 0; }
dt { color: #888; }
dd { margin: 0; overflow-wrap: anywhere; }
#problem { color: #c22; min-height: 1.4em; margin: 0; }
</style>
</head>
<body>
<header><h1>Tarvel Control bench</h1><span id="live">connecting</span></header>
<section class="row">
  <label>Device <select id="device"></select></label>
  <label><input type="checkbox" id="auto"> Auto-transmit</label>
  <button id="transmit">Transmit</button>
  <button id="receive">Receive</button>
</section>
<div class="channels">
  <section class="channel">
    <h2 id="name1">Chan 1</h2>
    <input type="number" id="code1" min="0" step="1" aria-labelledby="name1">
    <input type="range" id="slider1" min="0" step="1" aria-labelledby="name1">
    <div class="figures"><span>Read: <b id="read1">-</b></span><span>Gain: <b id="gain1">-</b></span></div>
  </section>
  <section class="channel">
    <h2 id="name2">Chan 2</h2>
    <input type="number" id="code2" min="0" step="1" aria-labelledby="name2">
    <input type="range" id="slider2" min="0" step="1" aria-labelledby="name2">
    <div class="figures"><span>Read: <b id="read2">-</b></span><span>Gain: <b id="gain2">-</b></span></div>
  </section>
</div>
<p id="problem" role="alert"></p>
<section>
<dl>
  <dt>Last sent</dt><dd id="sent">-</dd>
  <dt>Port</dt><dd id="port">-</dd>
  <dt>Last error</dt><dd id="error">none</dd>
  <dt>Gain in dB</dt><dd id="calibration">no calibration table loaded</dd>
</dl>
</section>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
let state = null;

function deviceOf(s) { return s.devices.find((d) => d.name === s.device) || s.devices[0]; }

function render(s) {
  state = s;
  const d = deviceOf(s);
  const select = $("device");
  if (select.options.length !== s.devices.length) {
    select.replaceChildren(...s.devices.map((x) => new Option(x.name, x.name)));
  }
  select.value = s.device;
  $("auto").checked = s.auto;
  $("transmit").disabled = s.auto;
  $("receive").disabled = s.auto || !d.readBack;
  for (const i of [0, 1]) {
    const n = i + 1;
    $("name" + n).textContent = d.channels[i];
    const box = $("code" + n), slider = $("slider" + n);
    box.max = d.codes[1];
    slider.min = d.slider[0];
    slider.max = d.slider[1];
    if (document.activeElement !== box) box.value = s.codes[i];
    if (document.activeElement !== slider) slider.value = Math.min(s.codes[i], d.slider[1]);
    $("read" + n).textContent = d.readBack && s.read ? s.read[i] : "-";
    $("gain" + n).textContent = s.gains && s.gains[i] !== null ? s.gains[i].toFixed(3) + " dB" : "-";
  }
  $("sent").textContent = s.sent ? d.channels[0] + " " + s.sent[0] + ", " + d.channels[1] + " " + s.sent[1] : "nothing yet";
  $("port").textContent = s.port;
  $("error").textContent = s.error || "none";
  $("calibration").textContent = s.calibration ? s.calibration.device + " table at " + s.calibration.frequency + " Hz" : "no calibration table loaded";
}

async function change(method, path, body) {
  $("problem").textContent = "";
  try {
    const answer = await fetch(path, { method, headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
    const json = await answer.json().catch(() => null);
    if (!answer.ok) { $("problem").textContent = (json && json.error) || answer.status + " " + answer.statusText; }
    else if (json && json.devices) { render(json); }
  } catch (e) {
    $("problem").textContent = "the bench does not answer: " + e.message;
  }
}

function codes() { return [$("code1").value.trim(), $("code2").value.trim()]; }

$("device").addEventListener("change", (e) => change("PUT", "/api/codes", { device: e.target.value }));
$("auto").addEventListener("change", (e) => change("PUT", "/api/codes", { auto: e.target.checked }));
$("transmit").addEventListener("click", () => change("POST", "/api/transmit", {}));
$("receive").addEventListener("click", () => change("POST", "/api/receive", {}));
for (const n of [1, 2]) {
  $("slider" + n).addEventListener("input", (e) => { $("code" + n).value = e.target.value; });
  $("slider" + n).addEventListener("change", () => change("PUT", "/api/codes", { codes: codes(), send: false }));
  $("code" + n).addEventListener("change", () => change("PUT", "/api/codes", { codes: codes(), send: false }));
}

function watch() {
  const events = new EventSource("/events");
  events.onopen = () => { $("live").textContent = "live"; $("live").className = "on"; };
  events.onmessage = (e) => render(JSON.parse(e.data));
  events.onerror = () => { $("live").textContent = "reconnecting"; $("live").className = ""; };
}
fetch("/api/state").then((a) => a.json()).then(render).catch(() => {});
watch();
</script>
</body>
</html>
)html";

}  // namespace

std::string_view WebPageHtml() { return kPage; }

std::string WebDevicesJson() {
  // Every chip of the table, with the gain-control window's slider range.
  std::string json = "[";
  for (const Chip* chip : Chips()) {
    const std::string name(chip->token);
    const CodeRange codes = DeviceCodeRange(name).value_or(CodeRange{});
    if (json.size() > 1) json += ", ";
    json += "{\"name\": " + JsonQuoted(name) + ", \"channels\": [" +
            JsonQuoted(std::string(chip->channels[0])) + ", " + JsonQuoted(std::string(chip->channels[1])) +
            "], \"slider\": [" + std::to_string(codes.lowest) + ", " + std::to_string(chip->windowHighest) +
            "], \"codes\": [" + std::to_string(codes.lowest) + ", " + std::to_string(codes.highest) +
            "], \"readBack\": " + (chip->readsBack() ? "true" : "false") + "}";
  }
  return json + "]";
}

}  // namespace tarvel
