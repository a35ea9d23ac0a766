// The page: the cube live, the status line, and the panels that choose what
// the cube plays. cubeweb sends every frame and every change of its state on
// the WebSocket; the panels call the JSON API.
import { CubeView, FRAME_HEADER } from './cube.js';
import { Live, get, post } from './api.js';
import { $, attempt, recordingName } from './ui.js';
import { initEffects, describePlaying } from './effects.js';
import { initSources } from './sources.js';
import { initRecordings } from './recordings.js';
import { initSounds } from './sounds.js';

const FORMAT_VERSION = 1;
const RATE_PERIOD_MS = 1000;
const BRIGHTNESS_SEND_MS = 150;

const view = makeView();
const stats = {
  edge: 0,
  frameNumber: -1,
  received: 0,
  drawn: 0,
  lastDrawMs: 0,
  receivedPerSecond: 0,
  drawnPerSecond: 0,
  connection: 'connecting',
  state: null,
};
// What the tests and a curious person can read from the console.
window.cubeStats = stats;
window.cubePage = {
  screenPlace: (x, y, z) => view.screenPlace(x, y, z),
  ledBytes: (x, y, z) => view.ledBytes(x, y, z),
  benchmark: (edge, count) => view.benchmark(edge, count),
};

// Without WebGL the cube cannot be drawn, but the controls still steer it.
function makeView() {
  try {
    return new CubeView($('cube'));
  } catch (error) {
    $('view').append(Object.assign(document.createElement('p'), {
      className: 'no-webgl-note',
      textContent: 'This browser cannot draw the cube (WebGL is off or missing); the controls still work.',
    }));
    const nothing = () => {};
    return { show: nothing, setBrightness: nothing, screenPlace: nothing, ledBytes: () => [], benchmark: () => NaN };
  }
}

view.onDraw = ms => {
  stats.drawn += 1;
  stats.lastDrawMs = ms;
};

const panels = {
  effects: initEffects(),
  sources: initSources(),
  recordings: initRecordings(),
  sounds: initSounds(),
};

// A binary message of the WebSocket is one frame, laid out as cubeweb's
// web/live.h draws it: the version, the edge N, the frame number (big-endian),
// then N³ colours in the strip's order. The cube view takes the colours as
// they lie.
function onFrame(bytes) {
  if (bytes.length < FRAME_HEADER || bytes[0] !== FORMAT_VERSION)
    return;
  const edge = bytes[1];
  if (edge === 0 || bytes.length < FRAME_HEADER + 3 * edge * edge * edge)
    return;
  stats.frameNumber = new DataView(bytes.buffer, bytes.byteOffset).getUint32(2);
  stats.received += 1;
  if (edge !== stats.edge) {
    stats.edge = edge;
    showStatus();
  }
  view.show(bytes, edge);
}

function onState(state) {
  stats.state = state;
  if (typeof state.brightness === 'number') {
    view.setBrightness(state.brightness);
    showBrightness(state.brightness);
  }
  if (state.edge && !stats.edge)
    stats.edge = state.edge;
  for (const panel of Object.values(panels))
    panel.update(state);
  showStatus();
}

function onConnection(connection) {
  const opened = connection === 'live' && stats.connection !== 'live';
  stats.connection = connection;
  showStatus();
  // The WebSocket tells changes only: after (re)connecting, ask for the whole.
  if (opened)
    refresh();
}

async function refresh() {
  await attempt(async () => onState(await get('state')));
  for (const panel of Object.values(panels))
    panel.refresh?.();
}

function showStatus() {
  const state = stats.state || {};
  $('connection').textContent = stats.connection;
  $('connection').className = stats.connection;
  setText('edge-text', stats.edge ? `${stats.edge}³` : '');
  setText('playing-text', describePlaying(state.playing));
  setText('recording-text', state.recording ? `● recording ${recordingName(state.recording)}` : '');
  setText('rates', `${stats.receivedPerSecond.toFixed(1)} fps received · ${stats.drawnPerSecond.toFixed(1)} drawn`);
  const outputs = Array.isArray(state.outputs) ? state.outputs.length : 0;
  setText('outputs-text', outputs ? `sending to ${outputs} output${outputs > 1 ? 's' : ''}` : '');
  setText('clients-text', state.clients > 1 ? `${state.clients} pages watch` : '');
}

// The status line's parts, made on first use so that its order is fixed here.
function setText(id, text) {
  let part = $(id);
  if (!part) {
    part = document.createElement('span');
    part.id = id;
    $('status').append(part);
  }
  part.textContent = text;
  part.hidden = text === '';
}

function countRates() {
  let last = { time: performance.now(), received: 0, drawn: 0 };
  setInterval(() => {
    const now = performance.now();
    const seconds = (now - last.time) / 1000;
    stats.receivedPerSecond = (stats.received - last.received) / seconds;
    stats.drawnPerSecond = (stats.drawn - last.drawn) / seconds;
    last = { time: now, received: stats.received, drawn: stats.drawn };
    showStatus();
  }, RATE_PERIOD_MS);
}

function showBrightness(level) {
  const slider = $('brightness');
  if (document.activeElement !== slider)
    slider.value = level;
  $('brightness-value').textContent = `${Math.round(100 * slider.value)} %`;
}

// The slider sends while it moves, but not more often than the server needs.
function initBrightness() {
  const slider = $('brightness');
  let timer = 0;
  const send = () => {
    timer = 0;
    const level = Number(slider.value);
    view.setBrightness(level);
    attempt(() => post('brightness', { brightness: level }));
  };
  slider.addEventListener('input', () => {
    $('brightness-value').textContent = `${Math.round(100 * slider.value)} %`;
    if (!timer)
      timer = setTimeout(send, BRIGHTNESS_SEND_MS);
  });
  slider.addEventListener('change', () => {
    clearTimeout(timer);
    send();
  });
}

$('stop').addEventListener('click', () => attempt(() => post('stop')));
initBrightness();
showStatus();
countRates();
new Live({ onFrame, onState, onConnection });
