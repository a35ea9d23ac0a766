// What the page's browser tests and the benchmark share: a real cubeweb in a
// temporary folder, Debian's chromium with software WebGL that may reach
// 127.0.0.1 only, and the pixels of a screenshot.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const SKIPPED = 77;  // ctest's SKIP_RETURN_CODE for these tests
const START_TIMEOUT_MS = 30000;
const ADDRESS_LINE = /cubeweb\d*: (http:\/\/127\.0\.0\.1:(\d+)\/)/;

// Stops the run, as skipped, when what the tests need is not installed.
export function skipUnlessReady() {
  const missing = [];
  if (!fs.existsSync(CHROMIUM))
    missing.push(`${CHROMIUM} (install Debian's chromium)`);
  if (!fs.existsSync(path.join(here, 'node_modules', 'puppeteer-core')))
    missing.push(`${path.join(here, 'node_modules')} (run npm ci in ${here}, as test.sh does)`);
  for (const name of ['CUBEWEB', 'WEB_PICTURE'])
    if (!process.env[name])
      missing.push(`the ${name} environment variable (ctest sets it)`);
  if (missing.length) {
    console.log(`skipped: the page's browser tests need ${missing.join(' and ')}`);
    process.exit(SKIPPED);
  }
}

export function temporaryDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'cubeweb-page-'));
}

// Waits until `text` (a RegExp) shows in what `stream` has said so far.
function waitForText(child, stream, text, what) {
  return new Promise((resolve, reject) => {
    let said = '';
    const timer = setTimeout(() => reject(new Error(`${what} did not say ${text} in time; it said:\n${said}`)), START_TIMEOUT_MS);
    child[stream].on('data', chunk => {
      said += chunk;
      const match = said.match(text);
      if (match) {
        clearTimeout(timer);
        resolve(match);
      }
    });
    child.on('exit', code => {
      clearTimeout(timer);
      reject(new Error(`${what} ended (${code}) before it said ${text}:\n${said}`));
    });
  });
}

function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null)
    return Promise.resolve();
  return new Promise(resolve => {
    child.once('exit', resolve);
    child.kill('SIGTERM');
  });
}

// cubeweb serving the channel in `dir`, on `port` (0: a free one).
export async function startCubeweb(dir, port = 0, extra = []) {
  const child = spawn(process.env.CUBEWEB, ['--port', String(port), '--dir', dir,
    '--recordings', path.join(dir, 'recordings'), ...extra], { stdio: ['ignore', 'ignore', 'pipe'] });
  const match = await waitForText(child, 'stderr', ADDRESS_LINE, 'cubeweb');
  return { url: match[1], port: Number(match[2]), stop: () => stopChild(child) };
}

// web_picture showing the LEDs given as {x, y, z, rgb} in the cube of `dir`.
export async function showPicture(dir, edge, leds) {
  const args = [String(edge), ...leds.map(({ x, y, z, rgb }) => `${x},${y},${z}=${rgb.join(',')}`)];
  const child = spawn(process.env.WEB_PICTURE, args, { cwd: path.join(dir, 'anim'), stdio: ['ignore', 'pipe', 'pipe'] });
  await waitForText(child, 'stdout', /shown/, 'web_picture');
  return { stop: () => stopChild(child) };
}

// Chromium drawing WebGL in software, without a screen.
export async function launchBrowser() {
  const { default: puppeteer } = await import('puppeteer-core');
  return puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--disable-gpu-driver-bug-workarounds'],
  });
}

function isLocal(url) {
  const { protocol, hostname } = new URL(url);
  return protocol === 'data:' || protocol === 'blob:' || hostname === '127.0.0.1';
}

// A tab whose requests to anywhere but 127.0.0.1 are refused and counted,
// with the console's errors and the page's uncaught errors kept.
export async function openTab(browser, { width = 1200, height = 750, scale = 1, mobile = false } = {}) {
  const page = await browser.newPage();
  const seen = { outside: [], errors: [] };
  await page.setViewport({ width, height, deviceScaleFactor: scale, isMobile: mobile, hasTouch: mobile });
  await page.setRequestInterception(true);
  page.on('request', request => {
    if (isLocal(request.url()))
      request.continue();
    else {
      seen.outside.push(request.url());
      request.abort();
    }
  });
  page.on('console', message => {
    if (message.type() === 'error')
      seen.errors.push(message.text());
  });
  page.on('pageerror', error => seen.errors.push(error.message));
  return { page, seen };
}

// The pixels of a PNG screenshot (8 bits a channel, not interlaced, as
// chromium writes them): pixel(x, y) is [r, g, b].
export function decodePng(png) {
  let at = 8;
  let width = 0;
  let height = 0;
  let channels = 0;
  const data = [];
  while (at < png.length) {
    const length = png.readUInt32BE(at);
    const type = png.toString('latin1', at + 4, at + 8);
    const body = png.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      channels = { 2: 3, 6: 4 }[body[9]];
      if (body[8] !== 8 || !channels || body[12] !== 0)
        throw new Error('a PNG that is not 8-bit RGB or RGBA without interlace');
    } else if (type === 'IDAT') {
      data.push(body);
    }
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(data));
  const stride = width * channels;
  const pixels = Buffer.alloc(height * stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let i = 0; i < stride; ++i) {
      const left = i >= channels ? pixels[y * stride + i - channels] : 0;
      const up = y > 0 ? pixels[(y - 1) * stride + i] : 0;
      const upLeft = y > 0 && i >= channels ? pixels[(y - 1) * stride + i - channels] : 0;
      pixels[y * stride + i] = (line[i] + unfilter(filter, left, up, upLeft)) & 0xff;
    }
  }
  return {
    width,
    height,
    pixel: (x, y) => Array.from(pixels.subarray((y * width + x) * channels, (y * width + x) * channels + 3)),
  };
}

function unfilter(filter, left, up, upLeft) {
  switch (filter) {
  case 0: return 0;
  case 1: return left;
  case 2: return up;
  case 3: return (left + up) >> 1;
  case 4: {
    const estimate = left + up - upLeft;
    const toLeft = Math.abs(estimate - left);
    const toUp = Math.abs(estimate - up);
    const toUpLeft = Math.abs(estimate - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft)
      return left;
    return toUp <= toUpLeft ? up : upLeft;
  }
  default: throw new Error(`PNG filter ${filter} is unknown`);
  }
}

// Until the page's `predicate` holds, given its argument.
export function until(page, predicate, arg, timeout = START_TIMEOUT_MS) {
  return page.waitForFunction(predicate, { timeout, polling: 100 }, arg);
}

// Until `file` exists: a browser's download is renamed to its name once whole.
export async function waitForFile(file, timeout = START_TIMEOUT_MS) {
  const deadline = Date.now() + timeout;
  while (!fs.existsSync(file)) {
    if (Date.now() > deadline)
      throw new Error(`${file} did not come`);
    await new Promise(resolve => setTimeout(resolve, 100));
  }
}
