// How long the page takes to draw one frame of the cube, at 8³, 12³ and 16³,
// in Debian's chromium with software WebGL: the mean of many pictures, each
// waited for to the end, the colours' upload included. It prints the figures
// and asserts nothing.
//
//   CUBEWEB=build/bin/cubeweb5 WEB_PICTURE=build/bin/web_picture node tests/web/browser/bench.js
import fs from 'node:fs';
import { launchBrowser, openTab, skipUnlessReady, startCubeweb, temporaryDir, until } from './harness.js';

skipUnlessReady();

const EDGES = [8, 12, 16];
const PICTURES = Number(process.env.BENCH_PICTURES || 60);
const SIZES = [{ name: 'laptop', width: 1280, height: 800 }, { name: 'phone', width: 375, height: 740 }];

const dir = temporaryDir();
const cubeweb = await startCubeweb(dir);
const browser = await launchBrowser();
try {
  for (const size of SIZES) {
    const { page } = await openTab(browser, { width: size.width, height: size.height });
    await page.goto(cubeweb.url, { waitUntil: 'load' });
    await until(page, () => window.cubeStats?.received > 0);
    const canvas = await page.$eval('#cube', node => `${node.width}×${node.height}`);
    for (const edge of EDGES) {
      const ms = await page.evaluate((edge, count) => window.cubePage.benchmark(edge, count), edge, PICTURES);
      console.log(`${size.name} (canvas ${canvas} px): ${edge}³ = ${edge ** 3} LEDs: ${ms.toFixed(2)} ms a frame`);
    }
    await page.close();
  }
} finally {
  await browser.close();
  await cubeweb.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}
