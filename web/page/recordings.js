// Recording what plays, and the recordings: listed, played, deleted, and
// downloaded as they are or made into a GIF or an export. A made file takes
// a while: the server answers 202 with its progress until it is ready.
import { call, get, post, remove } from './api.js';
import { $, attempt, element, recordingName, showMessage, sizeText } from './ui.js';

const FORMATS = ['rec', 'gif', 'fseq', 'bin', 'h'];
const POLL_MS = 500;
const ACCEPTED = 202;

let recordings = [];
let wasRecording = false;

function summary(recording) {
  const parts = [];
  if (Number.isFinite(recording.frames))
    parts.push(`${recording.frames} frames`);
  if (Number.isFinite(recording.seconds))
    parts.push(`${recording.seconds.toFixed(1)} s`);
  if (Number.isFinite(recording.bytes))
    parts.push(sizeText(recording.bytes));
  return parts.join(' · ');
}

function saveBlob(blob, name) {
  const url = URL.createObjectURL(blob);
  const link = element('a', { href: url, download: name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), POLL_MS);
}

// Asks for NAME.EXT until it is made, showing the progress, then saves it.
async function download(name, format, progress) {
  const file = `${name}.${format}`;
  progress.hidden = false;
  progress.removeAttribute('value');
  try {
    for (;;) {
      const response = await call('GET', `recordings/${encodeURIComponent(name)}.${format}`);
      if (response.status !== ACCEPTED) {
        saveBlob(await response.blob(), file);
        return;
      }
      const answer = await response.json();
      if (Number.isFinite(answer.progress))
        progress.value = answer.progress;
      await new Promise(resolve => setTimeout(resolve, POLL_MS));
    }
  } finally {
    progress.hidden = true;
  }
}

function recordingRow(recording) {
  const format = element('select', { 'aria-label': `format of ${recording.name}` },
    ...FORMATS.map(ext => element('option', { value: ext, textContent: `.${ext}` })));
  const progress = element('progress', { max: 1, hidden: true });
  const saveButton = element('button', {
    type: 'button', textContent: 'Download',
    onclick: async () => {
      saveButton.disabled = true;
      await attempt(() => download(recording.name, format.value, progress));
      saveButton.disabled = false;
    },
  });
  const drop = element('button', {
    type: 'button', className: 'icon', textContent: '✕', title: 'delete', 'aria-label': `delete ${recording.name}`,
    onclick: () => attempt(async () => {
      if (!confirm(`Delete the recording ${recording.name}?`))
        return;
      await remove(`recordings/${encodeURIComponent(recording.name)}`);
      await loadRecordings();
    }),
  });
  return element('li', {},
    element('span', { className: 'item' },
      element('strong', { textContent: recording.name }),
      element('small', { textContent: summary(recording) })),
    element('span', { className: 'item-controls' }, format, saveButton, drop, progress));
}

function showRecordings() {
  $('recordings').replaceChildren(...recordings.map(recordingRow));
  $('recordings-empty').hidden = recordings.length > 0;
  const select = $('replay-name');
  const previous = select.value;
  select.replaceChildren(...recordings.map(recording =>
    element('option', { value: recording.name, textContent: recording.name })));
  if (recordings.some(recording => recording.name === previous))
    select.value = previous;
}

async function loadRecordings() {
  const answer = await get('recordings');
  recordings = Array.isArray(answer.recordings) ? answer.recordings : [];
  showRecordings();
}

async function startRecording() {
  const name = $('record-name').value.trim();
  if (!name)
    throw new Error('Give the recording a name.');
  await post('recordings/record', { name });
  showMessage(`Recording ${name}.rec`, 'note');
}

export function initRecordings() {
  $('record').addEventListener('click', () => attempt(startRecording));
  $('record-stop').addEventListener('click', () => attempt(() => post('recordings/stop')));
  return {
    update(state) {
      const recording = Boolean(state.recording);
      $('record').disabled = recording;
      $('record-stop').disabled = !recording;
      $('recording-now').textContent = recording ? `● ${recordingName(state.recording)}` : '';
      // A recording that has just ended is in the list now.
      if (wasRecording && !recording)
        attempt(loadRecordings);
      wasRecording = recording;
    },
    refresh: () => attempt(loadRecordings),
  };
}
