// What else the cube can play: what lighting programs send, a recording, and
// the program that cubeweb was started with.
import { post } from './api.js';
import { $, attempt, numberOf } from './ui.js';

function listenRequest() {
  const sources = [...document.querySelectorAll('input[name=source]:checked')].map(box => box.value);
  const more = $('listen-more').value.trim();
  if (more)
    sources.push(...more.split(/[\s,]+/).filter(Boolean));
  if (!sources.length)
    throw new Error('Tick a protocol, or name a source, to listen to.');
  const options = {};
  const gamma = numberOf($('listen-gamma'));
  if (gamma !== undefined)
    options.gamma = gamma;
  const timeout = numberOf($('listen-timeout'));
  if (timeout !== undefined)
    options.timeout = timeout;
  const request = { listen: sources };
  if (Object.keys(options).length)
    request.options = options;
  return request;
}

function replayRequest() {
  const name = $('replay-name').value;
  if (!name)
    throw new Error('There is no recording to play yet.');
  return { recording: name, speed: numberOf($('replay-speed')) ?? 1, loop: $('replay-loop').checked };
}

export function initSources() {
  $('play-listen').addEventListener('click', () => attempt(() => post('play', listenRequest())));
  $('play-recording').addEventListener('click', () => attempt(() => post('play', replayRequest())));
  $('play-program').addEventListener('click', () => attempt(() => post('play', { program: true })));
  return {
    update(state) {
      const given = state.program === true;
      $('play-program').disabled = !given;
      $('program-help').textContent = given
        ? 'Plays the program given on cubeweb\'s command line from its start.'
        : 'cubeweb was started without a program.';
    },
  };
}
