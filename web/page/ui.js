// Small helpers that every panel of the page uses.
const MESSAGE_MS = 6000;
let messageTimer = 0;

export function $(id) {
  return document.getElementById(id);
}

// An element with attributes (properties, or "on…" listeners) and children.
export function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name.startsWith('on'))
      node.addEventListener(name.slice(2), value);
    else if (name in node)
      node[name] = value;
    else
      node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

// Tells the person what went wrong, for a few seconds.
export function showMessage(text, kind = 'error') {
  const box = $('message');
  box.textContent = text;
  box.className = kind;
  box.hidden = false;
  clearTimeout(messageTimer);
  messageTimer = setTimeout(() => { box.hidden = true; }, MESSAGE_MS);
}

// Runs an action of a button, showing a failure instead of throwing it.
export async function attempt(action) {
  try {
    return await action();
  } catch (error) {
    showMessage(error.message || String(error));
    return undefined;
  }
}

// A number input's value, or undefined when it is empty or no number.
export function numberOf(input) {
  if (input.value.trim() === '')
    return undefined;
  const value = Number(input.value);
  return Number.isFinite(value) ? value : undefined;
}

// A setting's or a value's text: whole numbers as they are, others short.
export function shortNumber(value) {
  return Number.isInteger(value) ? String(value) : String(Number(value.toPrecision(3)));
}

// A file's size in bytes, KiB or MiB.
export function sizeText(bytes) {
  if (bytes >= 1 << 20)
    return `${(bytes / (1 << 20)).toFixed(1)} MiB`;
  if (bytes >= 1 << 10)
    return `${(bytes / (1 << 10)).toFixed(1)} KiB`;
  return `${bytes} B`;
}

// The state's "recording": the name being recorded, given as it is or in an
// object.
export function recordingName(recording) {
  return typeof recording === 'string' ? recording : recording.name || '';
}
