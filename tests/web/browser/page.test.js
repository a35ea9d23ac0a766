// cubeweb's page in Debian's chromium, against a real cubeweb on 127.0.0.1:
// it loads cleanly, draws a known picture in the viewer's colours where the
// viewer puts each LED, plays an effect, offers the sounds to hear, comes
// back after a restart, and fits a phone. CUBE_WEB_SCREENSHOT=FILE saves the page as the README shows it.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  decodePng, launchBrowser, openTab, showPicture, skipUnlessReady, startCubeweb, temporaryDir, until, waitForFile,
} from './harness.js';

skipUnlessReady();

const EDGE = Number(process.env.CUBE_EDGE || 5);
const LAST = EDGE - 1;
const MIDDLE = Math.floor(EDGE / 2);
// An LED's top faces straight up: lit by the viewer's global ambient (0.2)
// and its one light from (-1, 2, 3), whose share there is 2/√14.
const TOP_LIGHT = 0.2 + 2 / Math.sqrt(14);
const UNLIT_GREY = 0.3;
// The picture: LEDs of the front face, which nothing hides, and the far top
// corner. Every other LED is off.
const PICTURE = [
  { x: 0, y: 0, z: 0, rgb: [255, 0, 0] },
  { x: LAST, y: 0, z: 0, rgb: [0, 255, 0] },
  { x: 0, y: 0, z: LAST, rgb: [0, 0, 255] },
  { x: LAST, y: 0, z: LAST, rgb: [255, 255, 255] },
  { x: MIDDLE, y: 0, z: MIDDLE, rgb: [128, 64, 0] },
  { x: LAST, y: LAST, z: LAST, rgb: [255, 255, 0] },
];
const UNLIT = { x: 1, y: 0, z: 0 };
// Rounding of the rasteriser, and of the light's colour on the way.
const COLOUR_TOLERANCE = 2;

function topColour(rgb) {
  const lit = rgb.some(value => value !== 0);
  return rgb.map(value => Math.round(255 * Math.min(1, TOP_LIGHT * (lit ? value / 255 : UNLIT_GREY))));
}

function assertColour(actual, expected, what) {
  const near = actual.every((value, i) => Math.abs(value - expected[i]) <= COLOUR_TOLERANCE);
  assert.ok(near, `${what}: drawn ${actual.join(',')}, expected ${expected.join(',')}`);
}

function nextPictures(page) {
  return page.evaluate(() => new Promise(resolve => requestAnimationFrame(() => requestAnimationFrame(resolve))));
}

let dir;
let cubeweb;
let browser;
const outside = [];

async function open(options) {
  const tab = await openTab(browser, options);
  await tab.page.goto(cubeweb.url, { waitUntil: 'load' });
  await until(tab.page, () => window.cubeStats?.connection === 'live' && window.cubeStats.received > 0);
  tab.close = async () => {
    outside.push(...tab.seen.outside);
    await tab.page.close();
  };
  return tab;
}

// Stops what plays from the page, which must not have logged an error, and
// closes it.
async function stopAndClose(tab) {
  await tab.page.click('#stop');
  await until(tab.page, () => !window.cubeStats.state?.playing);
  assert.deepEqual(tab.seen.errors, []);
  await tab.close();
}

describe("cubeweb's page", () => {
  before(async () => {
    dir = temporaryDir();
    cubeweb = await startCubeweb(dir);
    browser = await launchBrowser();
  });

  after(async () => {
    await browser?.close();
    await cubeweb?.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('loads without a console error and lists the effects', async () => {
    const tab = await open();
    await until(tab.page, () => document.querySelectorAll('#effect option').length > 0);
    const stats = await tab.page.evaluate(() => ({ edge: window.cubeStats.edge, state: window.cubeStats.state }));
    assert.equal(stats.edge, EDGE);
    assert.equal(stats.state.edge, EDGE);
    assert.deepEqual(tab.seen.errors, []);
    assert.deepEqual(tab.seen.outside, []);
    await tab.close();
  });

  test('draws a known picture in the viewer colours where the viewer puts each LED', async () => {
    const picture = await showPicture(dir, EDGE, PICTURE);
    const tab = await open();
    try {
      await until(tab.page, leds => leds.every(({ x, y, z, rgb }) =>
        window.cubePage.ledBytes(x, y, z).every((value, i) => value === rgb[i])), PICTURE);
      await nextPictures(tab.page);
      const shot = decodePng(await tab.page.screenshot({ type: 'png' }));
      for (const led of [...PICTURE, { ...UNLIT, rgb: [0, 0, 0] }]) {
        const place = await tab.page.evaluate(({ x, y, z }) => window.cubePage.screenPlace(x, y, z), led);
        const colour = shot.pixel(Math.round(place.x), Math.round(place.y));
        assertColour(colour, topColour(led.rgb), `LED ${led.x},${led.y},${led.z}`);
      }
      // The viewer's axes: x to the right, z up, y away from the camera.
      const place = ({ x, y, z }) => tab.page.evaluate((...at) => window.cubePage.screenPlace(...at), x, y, z);
      const origin = await place({ x: 0, y: 0, z: 0 });
      const right = await place({ x: LAST, y: 0, z: 0 });
      const up = await place({ x: 0, y: 0, z: LAST });
      const frontTop = await place({ x: LAST, y: 0, z: LAST });
      const backTop = await place({ x: LAST, y: LAST, z: LAST });
      assert.ok(right.x > origin.x && Math.abs(right.y - origin.y) < 1, 'x goes to the right');
      assert.ok(up.y < origin.y, 'z goes up');
      assert.ok(backTop.y < frontTop.y && backTop.x < frontTop.x, 'y goes away, up the screen and to the middle');

      // The brightness slider dims what is lit, on the cube and on the page;
      // an LED that is off keeps the unlit grey.
      await tab.page.$eval('#brightness', slider => {
        slider.value = '0.5';
        slider.dispatchEvent(new Event('change'));
      });
      await until(tab.page, () => window.cubeStats.state?.brightness === 0.5);
      await nextPictures(tab.page);
      const dimmed = decodePng(await tab.page.screenshot({ type: 'png' }));
      for (const led of [PICTURE[0], PICTURE[3], { ...UNLIT, rgb: [0, 0, 0] }]) {
        const at = await place(led);
        const half = led.rgb.map(value => value / 2);
        assertColour(dimmed.pixel(Math.round(at.x), Math.round(at.y)), topColour(half), `LED ${led.x},${led.y},${led.z} at half brightness`);
      }
      await tab.page.$eval('#brightness', slider => {
        slider.value = '1';
        slider.dispatchEvent(new Event('change'));
      });
      await until(tab.page, () => window.cubeStats.state?.brightness === 1);
    } finally {
      await picture.stop();
      await tab.close();
    }
  });

  test('an effect chosen and played is what the receiver shows', async () => {
    const tab = await open();
    const { page } = tab;
    await until(page, () => document.querySelectorAll('#effect option').length > 0);
    const names = await page.$$eval('#effect option', options => options.map(option => option.value));
    const effect = names.includes('plasma') ? 'plasma' : names[0];
    await page.select('#effect', effect);
    await until(page, name => document.querySelector('#effect-description').textContent !== '' ||
      document.querySelector('#effect').value === name, effect);
    await page.click('#play-effect');
    await until(page, name => window.cubeStats.state?.playing?.effect === name, effect);
    const from = await page.evaluate(() => window.cubeStats.frameNumber);
    await until(page, ({ edge, from }) => {
      if (window.cubeStats.frameNumber <= from)
        return false;
      for (let z = 0; z < edge; ++z)
        for (let y = 0; y < edge; ++y)
          for (let x = 0; x < edge; ++x)
            if (window.cubePage.ledBytes(x, y, z).some(value => value !== 0))
              return true;
      return false;
    }, { edge: EDGE, from });
    const status = await page.$eval('#status', node => node.textContent);
    assert.match(status, new RegExp(`effect ${effect}`));
    if (process.env.CUBE_WEB_SCREENSHOT) {
      await new Promise(resolve => setTimeout(resolve, 1500));
      await page.screenshot({ path: process.env.CUBE_WEB_SCREENSHOT });
    }
    await stopAndClose(tab);
  });

  test('plays the playlist as edited: added, moved, removed, looped', async () => {
    const tab = await open();
    const { page } = tab;
    await until(page, () => document.querySelectorAll('#effect option').length > 2);
    const names = await page.$$eval('#effect option', options => options.slice(0, 3).map(option => option.value));
    const seconds = [11, 22, 33];
    for (let i = 0; i < 3; ++i) {
      await page.select('#effect', names[i]);
      await page.$eval('#duration', (input, value) => { input.value = value; }, String(seconds[i]));
      await page.click('#add-to-playlist');
    }
    const buttons = async label => page.$$(`#playlist button[aria-label="${label}"]`);
    await (await buttons('move up'))[1].click();      // the second goes first
    await (await buttons('remove'))[2].click();       // the third goes
    await page.$eval('#playlist-loop', box => { box.checked = false; });
    await page.click('#play-playlist');
    await until(page, () => Array.isArray(window.cubeStats.state?.playing?.playlist));
    const playing = await page.evaluate(() => window.cubeStats.state.playing);
    assert.deepEqual(playing.playlist.map(item => [item.effect, item.duration]), [[names[1], 22], [names[0], 11]]);
    assert.equal(playing.loop, false);
    await stopAndClose(tab);
  });

  test('lists the sound files to hear beside the live input, and plays aloud only a file', async () => {
    const wav = path.join(dir, 'recordings', 'pagetest.wav');
    fs.writeFileSync(wav, 'RIFF');
    const tab = await open();
    const { page } = tab;
    for (const chooser of ['#sound', '#playlist-sound']) {
      await until(page, id => document.querySelectorAll(`${id} option`).length === 3, chooser);
      const options = await page.$$eval(`${chooser} option`, list => list.map(option => [option.value, option.textContent]));
      assert.deepEqual(options, [['', 'none'], ['capture', 'Live input'], ['pagetest.wav', 'pagetest.wav (4 B)']]);
    }
    // What the play buttons send with the request, from the page's own module.
    const fields = () => page.evaluate(async () => (await import('/sounds.js')).soundFields('sound'));
    assert.deepEqual(await fields(), {});
    await page.select('#sound', 'pagetest.wav');
    assert.equal(await page.$eval('#sound-play', box => box.disabled), false);
    await page.click('#sound-play');
    assert.deepEqual(await fields(), { sound: 'pagetest.wav', play: true });
    await page.select('#sound', 'capture');
    assert.deepEqual(await page.$eval('#sound-play', box => [box.disabled, box.checked]), [true, false]);
    assert.deepEqual(await fields(), { sound: 'capture' });
    fs.rmSync(wav);
    assert.deepEqual(tab.seen.errors, []);
    await tab.close();
  });

  test('records what plays, lists it, downloads it as made and deletes it', async () => {
    const tab = await open();
    const { page } = tab;
    const downloads = temporaryDir();
    const session = await browser.target().createCDPSession();
    await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
    page.on('dialog', dialog => dialog.accept());
    const statuses = [];
    page.on('response', response => {
      if (response.url().endsWith('/api/recordings/pagetest.bin'))
        statuses.push(response.status());
    });
    try {
      await until(page, () => document.querySelectorAll('#effect option').length > 0);
      await page.click('#play-effect');
      await until(page, () => Boolean(window.cubeStats.state?.playing));
      await page.$eval('#recordings-panel', details => { details.open = true; });
      await page.$eval('#record-name', input => { input.value = 'pagetest'; });
      await page.click('#record');
      await until(page, () => window.cubeStats.state?.recording === 'pagetest');
      const from = await page.evaluate(() => window.cubeStats.frameNumber);
      await until(page, from => window.cubeStats.frameNumber > from + 10, from);
      await page.click('#record-stop');
      await until(page, () => [...document.querySelectorAll('#recordings strong')].some(name => name.textContent === 'pagetest'));
      const row = await page.evaluateHandle(() =>
        [...document.querySelectorAll('#recordings li')].find(item => item.querySelector('strong').textContent === 'pagetest'));
      for (const format of ['rec', 'bin']) {
        await (await row.$('select')).select(format);
        await (await row.$('button:not(.icon)')).click();
        const file = `${downloads}/pagetest.${format}`;
        await waitForFile(file);
        if (format === 'rec')
          assert.deepEqual(fs.readFileSync(file), fs.readFileSync(`${dir}/recordings/pagetest.rec`));
        else
          assert.ok(fs.statSync(file).size > 0);
      }
      // The export was asked for again while it was made, then fetched.
      assert.equal(statuses[0], 202);
      assert.equal(statuses.at(-1), 200);
      await (await row.$('button.icon')).click();
      await until(page, () => ![...document.querySelectorAll('#recordings strong')].some(name => name.textContent === 'pagetest'));
      assert.equal(fs.existsSync(`${dir}/recordings/pagetest.rec`), false);
      await page.click('#stop');
      assert.deepEqual(tab.seen.errors, []);
    } finally {
      await session.detach();
      fs.rmSync(downloads, { recursive: true, force: true });
      await tab.close();
    }
  });

  test('listens where the page says, with its options', async () => {
    const tab = await open();
    const { page } = tab;
    await page.$eval('#sources-panel', details => { details.open = true; });
    await page.type('#listen-more', 'ddp://127.0.0.1:0');
    await page.type('#listen-gamma', '2.2');
    await page.click('#play-listen');
    await until(page, () => Array.isArray(window.cubeStats.state?.playing?.listen));
    const playing = await page.evaluate(() => window.cubeStats.state.playing);
    assert.deepEqual(playing.listen, ['ddp://127.0.0.1:0']);
    assert.equal(playing.options.gamma, 2.2);
    await stopAndClose(tab);
  });

  test('plays the program again only when cubeweb was given one', async () => {
    const withoutProgram = await open();
    assert.equal(await withoutProgram.page.$eval('#play-program', button => button.disabled), true);
    await withoutProgram.close();

    const programDir = temporaryDir();
    const cubefx = `${path.dirname(process.env.CUBEWEB)}/cubefx`;
    const withProgram = await startCubeweb(programDir, 0, [cubefx, 'plasma']);
    const tab = await openTab(browser);
    try {
      await tab.page.goto(withProgram.url, { waitUntil: 'load' });
      await until(tab.page, () => window.cubeStats?.state?.program === true);
      await tab.page.click('#stop');
      await until(tab.page, () => !window.cubeStats.state?.playing);
      await tab.page.$eval('#sources-panel', details => { details.open = true; });
      assert.equal(await tab.page.$eval('#play-program', button => button.disabled), false);
      await tab.page.click('#play-program');
      await until(tab.page, () => window.cubeStats.state?.playing?.program === true);
      await tab.page.click('#stop');
      assert.deepEqual(tab.seen.errors, []);
    } finally {
      outside.push(...tab.seen.outside);
      await tab.page.close();
      await withProgram.stop();
      fs.rmSync(programDir, { recursive: true, force: true });
    }
  });

  test('comes back by itself when cubeweb restarts', async () => {
    const tab = await open();
    const { page } = tab;
    const port = cubeweb.port;
    await cubeweb.stop();
    await until(page, () => window.cubeStats.connection !== 'live');
    const before = await page.evaluate(() => window.cubeStats.received);
    cubeweb = await startCubeweb(dir, port);
    await until(page, count => window.cubeStats.connection === 'live' && window.cubeStats.received > count, before);
    assert.match(await page.$eval('#connection', node => node.textContent), /live/);
    await tab.close();
  });

  test('fits a 375-pixel phone: the cube above the controls and nothing wider than the screen', async () => {
    const tab = await open({ width: 375, height: 740, scale: 2, mobile: true });
    const { page } = tab;
    await until(page, () => document.querySelectorAll('#effect option').length > 0);
    const layout = await page.evaluate(() => {
      for (const details of document.querySelectorAll('details'))
        details.open = true;
      const width = document.documentElement.clientWidth;
      const wider = [...document.querySelectorAll('body *')]
        .filter(node => node.getBoundingClientRect().right > width + 0.5)
        .map(node => node.id || node.className || node.tagName);
      return {
        width,
        scrollWidth: document.documentElement.scrollWidth,
        wider,
        cubeBottom: document.querySelector('#view').getBoundingClientRect().bottom,
        panelTop: document.querySelector('#panel').getBoundingClientRect().top,
        cubeWidth: document.querySelector('#cube').getBoundingClientRect().width,
      };
    });
    assert.equal(layout.width, 375);
    assert.deepEqual(layout.wider, []);
    assert.ok(layout.scrollWidth <= layout.width, `the page scrolls sideways: ${layout.scrollWidth} px`);
    assert.ok(layout.panelTop >= layout.cubeBottom, 'the controls lie below the cube');
    assert.equal(layout.cubeWidth, 375);
    assert.deepEqual(tab.seen.errors, []);
    await tab.close();
  });

  test('with a token in its address, calls the API and watches the cube with it', async () => {
    const tokenDir = temporaryDir();
    const guarded = await startCubeweb(tokenDir, 0, ['--token', 'page-test-token']);
    const tab = await openTab(browser);
    const sockets = [];
    const client = await tab.page.createCDPSession();
    await client.send('Network.enable');
    client.on('Network.webSocketCreated', ({ url }) => sockets.push(url));
    try {
      await tab.page.goto(`${guarded.url}?token=page-test-token`, { waitUntil: 'load' });
      await until(tab.page, () => window.cubeStats?.connection === 'live' && window.cubeStats.received > 0 &&
        document.querySelectorAll('#effect option').length > 0);
      assert.deepEqual(tab.seen.errors, []);
      assert.ok(sockets.every(url => url.endsWith('/ws?token=page-test-token')), sockets.join(' '));
      assert.ok(sockets.length > 0);
    } finally {
      outside.push(...tab.seen.outside);
      await tab.page.close();
      await guarded.stop();
      fs.rmSync(tokenDir, { recursive: true, force: true });
    }
  });

  test('asked for nothing but 127.0.0.1', () => {
    assert.deepEqual(outside, []);
  });
});
