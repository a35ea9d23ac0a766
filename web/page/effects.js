// The effects and the playlist. Everything about an effect, its settings and
// their ranges included, comes from GET /api/effects: a new effect of cubefx
// shows here without a change to the page.
import { get, post } from './api.js';
import { $, attempt, element, numberOf, shortNumber, recordingName } from './ui.js';
import { describeSound, soundFields } from './sounds.js';

const PLAYLIST_KEY = 'cubeweb.playlist';
const SLIDER_STEPS = 1000;
const LOG_RANGE = 100;
const MAX_LIST_ROWS = 8;

let effects = [];
// The settings chosen so far, by effect, so that going back keeps them.
const chosen = new Map();
let playlist = loadPlaylist();

// What plays, in words, from the state's "playing" (the shape that
// POST /api/play takes), for the status line.
export function describePlaying(playing) {
  if (!playing)
    return 'nothing plays';
  if (typeof playing === 'string')
    return playing;
  if (playing.effect)
    return `effect ${playing.effect}${playing.palette ? ` (${playing.palette})` : ''}${describeSound(playing)}`;
  if (Array.isArray(playing.playlist)) {
    const index = Number.isInteger(playing.index) ? playing.index : playing.current;
    const item = Number.isInteger(index) ? playing.playlist[index] : undefined;
    const now = item ? `: ${item.effect}, ${index + 1} of ${playing.playlist.length}` : ` of ${playing.playlist.length}`;
    return `playlist${now}${playing.loop ? ', looping' : ''}${describeSound(playing)}`;
  }
  if (Array.isArray(playing.listen))
    return `listening to ${playing.listen.join(', ')}`;
  if (playing.recording)
    return `recording ${recordingName(playing.recording)} played back`;
  if (playing.program)
    return 'the program';
  return 'something';
}

function selectedEffect() {
  return effects.find(effect => effect.name === $('effect').value);
}

// A setting's slider runs over SLIDER_STEPS places. A range that spans two
// orders of magnitude or more goes on a logarithmic scale, so that its small
// values can be picked too; values keep three significant digits, or whole
// numbers for a setting whose range and default are whole.
function scaleOf({ min, max, default: initial }) {
  const logarithmic = min > 0 && max / min >= LOG_RANGE;
  const whole = [min, max, initial].every(Number.isInteger);
  const clamp = value => Math.min(max, Math.max(min, value));
  return {
    value(place) {
      const t = place / SLIDER_STEPS;
      const value = logarithmic ? min * (max / min) ** t : min + t * (max - min);
      return clamp(whole ? Math.round(value) : Number(value.toPrecision(3)));
    },
    place(value) {
      const t = logarithmic ? Math.log(value / min) / Math.log(max / min) : (value - min) / (max - min || 1);
      return Math.round(SLIDER_STEPS * t);
    },
    clamp,
  };
}

// A slider and a number box beside it, which move together.
function settingRow(setting, values) {
  const id = `setting-${setting.name}`;
  const scale = scaleOf(setting);
  const value = values[setting.name] ?? setting.default;
  const slider = element('input', {
    id, type: 'range', min: 0, max: SLIDER_STEPS, step: 1, value: scale.place(value),
    oninput: () => {
      values[setting.name] = scale.value(Number(slider.value));
      box.value = values[setting.name];
    },
  });
  const box = element('input', {
    type: 'number', min: setting.min, max: setting.max, step: 'any', value, className: 'setting-value',
    'aria-label': `${setting.name}, from ${setting.min} to ${setting.max}`,
    onchange: () => {
      const typed = numberOf(box);
      if (typed !== undefined)
        values[setting.name] = scale.clamp(typed);
      box.value = values[setting.name] ?? setting.default;
      slider.value = scale.place(Number(box.value));
    },
  });
  return element('div', { className: 'setting' },
    element('label', { htmlFor: id, textContent: setting.name }),
    slider, box,
    setting.help ? element('small', { className: 'help', textContent: `${setting.help} (${shortNumber(setting.min)} to ${shortNumber(setting.max)})` }) : '');
}

function showSettings() {
  const effect = selectedEffect();
  const box = $('settings');
  box.replaceChildren();
  $('effect-description').textContent = effect ? effect.description || '' : '';
  if (!effect)
    return;
  if (!chosen.has(effect.name))
    chosen.set(effect.name, {});
  const values = chosen.get(effect.name);
  for (const setting of effect.settings || [])
    box.append(settingRow(setting, values));
  if ((effect.settings || []).length)
    box.append(element('button', {
      type: 'button', className: 'link', textContent: 'Back to the defaults',
      onclick: () => { chosen.set(effect.name, {}); showSettings(); },
    }));
}

// The effect as POST /api/play and a playlist's items take it: the settings
// moved away from their defaults, and what else was chosen.
function effectRequest() {
  const effect = selectedEffect();
  if (!effect)
    throw new Error('Choose an effect first.');
  const request = { effect: effect.name };
  const values = chosen.get(effect.name) || {};
  const settings = {};
  for (const setting of effect.settings || [])
    if (setting.name in values && values[setting.name] !== setting.default)
      settings[setting.name] = values[setting.name];
  if (Object.keys(settings).length)
    request.settings = settings;
  if ($('palette').value)
    request.palette = $('palette').value;
  if ($('colour-on').checked)
    request.colour = $('colour').value;
  const seed = numberOf($('seed'));
  if (seed !== undefined)
    request.seed = seed;
  return request;
}

function paletteName(palette) {
  return typeof palette === 'string' ? palette : palette.name;
}

function showEffects(answer) {
  const list = $('effect');
  const previous = list.value;
  effects = answer.effects || [];
  list.replaceChildren(...effects.map(effect =>
    element('option', { value: effect.name, textContent: effect.name, title: effect.description || '' })));
  list.size = Math.min(Math.max(effects.length, 2), MAX_LIST_ROWS);
  list.value = effects.some(effect => effect.name === previous) ? previous : effects[0]?.name ?? '';
  const palette = $('palette');
  const chosenPalette = palette.value;
  palette.replaceChildren(element('option', { value: '', textContent: "the effect's own" }),
    ...(answer.palettes || []).map(entry => element('option', { value: paletteName(entry), textContent: paletteName(entry) })));
  palette.value = chosenPalette;
  showSettings();
}

function loadPlaylist() {
  try {
    const saved = JSON.parse(localStorage.getItem(PLAYLIST_KEY) || '[]');
    return Array.isArray(saved) ? saved.filter(item => item && typeof item.effect === 'string') : [];
  } catch (error) {
    return [];
  }
}

function savePlaylist() {
  try {
    localStorage.setItem(PLAYLIST_KEY, JSON.stringify(playlist));
  } catch (error) {
    // A private window may refuse: the playlist then lasts as long as the page.
  }
}

function itemText(item) {
  const extras = [];
  if (item.settings)
    extras.push(Object.entries(item.settings).map(([name, value]) => `${name} ${shortNumber(value)}`).join(', '));
  if (item.palette)
    extras.push(item.palette);
  if (item.colour)
    extras.push(item.colour);
  if (item.seed !== undefined)
    extras.push(`seed ${item.seed}`);
  return extras.join(' · ');
}

function moveItem(from, to) {
  if (to < 0 || to >= playlist.length)
    return;
  const [item] = playlist.splice(from, 1);
  playlist.splice(to, 0, item);
  showPlaylist();
}

function playlistRow(item, index) {
  const duration = element('input', {
    type: 'number', min: 1, step: 1, value: item.duration, inputMode: 'numeric',
    'aria-label': `seconds of ${item.effect}`,
    onchange: () => {
      const seconds = numberOf(duration);
      if (seconds !== undefined && seconds > 0)
        item.duration = seconds;
      duration.value = item.duration;
      savePlaylist();
    },
  });
  const button = (text, label, action, disabled = false) =>
    element('button', { type: 'button', className: 'icon', textContent: text, title: label, 'aria-label': label, disabled, onclick: action });
  return element('li', {},
    element('span', { className: 'item' },
      element('strong', { textContent: item.effect }),
      element('small', { textContent: itemText(item) })),
    element('span', { className: 'item-controls' },
      duration, element('span', { textContent: 's' }),
      button('↑', 'move up', () => moveItem(index, index - 1), index === 0),
      button('↓', 'move down', () => moveItem(index, index + 1), index === playlist.length - 1),
      button('✕', 'remove', () => { playlist.splice(index, 1); showPlaylist(); })));
}

function showPlaylist() {
  $('playlist').replaceChildren(...playlist.map(playlistRow));
  $('playlist-empty').hidden = playlist.length > 0;
  $('playlist-count').textContent = playlist.length ? `(${playlist.length})` : '';
  $('play-playlist').disabled = playlist.length === 0;
  savePlaylist();
}

function addToPlaylist() {
  const item = effectRequest();
  const seconds = numberOf($('duration'));
  if (seconds === undefined || seconds <= 0)
    throw new Error('Give the effect its seconds in the playlist.');
  item.duration = seconds;
  playlist.push(item);
  showPlaylist();
  $('playlist-panel').open = true;
}

async function loadEffects() {
  showEffects(await get('effects'));
}

export function initEffects() {
  $('effect').addEventListener('change', showSettings);
  $('colour-on').addEventListener('change', () => { $('colour').disabled = !$('colour-on').checked; });
  // The sound goes with the request, not into a playlist's items: the
  // playlist chooses its own.
  $('play-effect').addEventListener('click', () =>
    attempt(() => post('play', { ...effectRequest(), ...soundFields('sound') })));
  $('add-to-playlist').addEventListener('click', () => attempt(addToPlaylist));
  $('play-playlist').addEventListener('click', () =>
    attempt(() => post('play', { playlist, loop: $('playlist-loop').checked, ...soundFields('playlist-sound') })));
  showPlaylist();
  return {
    update() {},
    // Loaded once the server answers; a restarted server may have others.
    refresh: () => attempt(loadEffects),
  };
}
