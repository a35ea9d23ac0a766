// What the effects hear: nothing, the live input, or a sound file from the
// recordings folder, which may also play through the speakers. The effects
// panel and the playlist each choose their own; the files come from
// GET /api/sounds.
import { get } from './api.js';
import { $, attempt, element, sizeText } from './ui.js';

// The sound that POST /api/play takes for the live input.
const CAPTURE = 'capture';
// Each chooser: its select, and the box that plays a file aloud too.
const CHOOSERS = [
  { select: 'sound', aloud: 'sound-play' },
  { select: 'playlist-sound', aloud: 'playlist-sound-play' },
];

let sounds = [];

function isFile(sound) {
  return sound !== '' && sound !== CAPTURE;
}

// Only a file can play through the speakers.
function showChoice({ select, aloud }) {
  const file = isFile($(select).value);
  $(aloud).disabled = !file;
  if (!file)
    $(aloud).checked = false;
}

function fill(chooser) {
  const select = $(chooser.select);
  const previous = select.value;
  select.replaceChildren(
    element('option', { value: '', textContent: 'none' }),
    element('option', { value: CAPTURE, textContent: 'Live input' }),
    ...sounds.map(sound => element('option', { value: sound.name, textContent: `${sound.name} (${sizeText(sound.bytes)})` })));
  select.value = [...select.options].some(option => option.value === previous) ? previous : '';
  showChoice(chooser);
}

async function loadSounds() {
  const answer = await get('sounds');
  sounds = Array.isArray(answer.sounds) ? answer.sounds : [];
  CHOOSERS.forEach(fill);
}

// The fields of a play request for the sound chosen in the select `id`:
// none, or "sound" and, for a file played aloud, "play".
export function soundFields(id) {
  const { select, aloud } = CHOOSERS.find(chooser => chooser.select === id);
  const sound = $(select).value;
  if (!sound)
    return {};
  return isFile(sound) && $(aloud).checked ? { sound, play: true } : { sound };
}

// What plays hears, in words for the status line, or ''.
export function describeSound(playing) {
  if (!playing.sound)
    return '';
  if (playing.sound === CAPTURE)
    return ', hearing the live input';
  return `, hearing ${playing.sound}${playing.play ? ' aloud' : ''}`;
}

export function initSounds() {
  for (const chooser of CHOOSERS)
    $(chooser.select).addEventListener('change', () => showChoice(chooser));
  return {
    update() {},
    // A file copied into the folder shows the next time the page connects.
    refresh: () => attempt(loadSounds),
  };
}
