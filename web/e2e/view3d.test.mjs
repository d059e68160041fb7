// The editor's 3D view in a real headless browser (WebGL through chromium's software renderer):
// it draws the asset of the values, follows a change of them, turns with the turntable and
// orbits with a mouse drag; and the 2D editor beside it keeps working.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchBrowser, startEditor, openPage, waitForFinal, typeValue } from './harness.mjs';

let browser;
let editor;
before(async () => {
  [browser, editor] = await Promise.all([launchBrowser(), startEditor()]);
});
after(async () => {
  await browser.close();
  const { code } = await editor.stop();
  assert.equal(code, 0);
});

// Waits until the 3D view shows the asset of generation `g` or later and has drawn it.
async function waitForAsset(page, g) {
  await page.waitForFunction((gen) => {
    const v = window.tamrelView3d;
    return v && v.generation >= gen && v.loaded > 0;
  }, g, { timeout: 60000 });
  await nextFrames(page);
}

function nextFrames(page, n = 3) {
  return page.evaluate((count) => new Promise((done) => {
    const step = (left) => (left === 0 ? done() : requestAnimationFrame(() => step(left - 1)));
    step(count);
  }), n);
}

// The 3D canvas's pixels, scaled to 128 × 128 RGBA.
async function pixels(page) {
  const data = await page.evaluate(() => {
    const src = document.getElementById('view3d');
    const c = document.createElement('canvas');
    c.width = c.height = 128;
    const g = c.getContext('2d');
    g.drawImage(src, 0, 0, 128, 128);
    return Array.from(g.getImageData(0, 0, 128, 128).data);
  });
  return Uint8Array.from(data);
}

// Pixels unlike the background (the colour of the top-left corner, which the plane, framed
// in the middle, does not reach).
function notBackground(p) {
  let n = 0;
  for (let i = 0; i < p.length; i += 4) {
    const d = Math.abs(p[i] - p[0]) + Math.abs(p[i + 1] - p[1]) + Math.abs(p[i + 2] - p[2]);
    if (d > 12) n++;
  }
  return n;
}

// The mean absolute difference of two pictures' colour channels.
function difference(a, b) {
  let sum = 0;
  for (let i = 0; i < a.length; i += 4) {
    sum += Math.abs(a[i] - b[i]) + Math.abs(a[i + 1] - b[i + 1]) + Math.abs(a[i + 2] - b[i + 2]);
  }
  return sum / (a.length / 4 * 3);
}

async function withPage(body) {
  const page = await openPage(browser, editor.url);
  try {
    await body(page);
  } finally {
    await page.context().close();
  }
}

test('the 3D view draws the plane with the baked maps and follows a change of colour', () => withPage(async (page) => {
  const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await waitForAsset(page, g0);
  assert.equal(await page.evaluate(() => window.tamrelView3d.error), '');
  const first = await pixels(page);
  const shown = notBackground(first);
  assert.ok(shown > 128 * 128 * 0.15, `the plane covers a good part of the view (${shown} pixels)`);

  // "#2", the colour of the surface about the scratches, to a saturated red: the picture turns
  // toward red.
  await page.evaluate(() => {
    const el = document.querySelectorAll('input.swatch')[1];
    el.value = '#ff1010';
    el.dispatchEvent(new Event('change'));
  });
  const g1 = await waitForFinal(page, g0);
  await waitForAsset(page, g1);
  const second = await pixels(page);
  assert.ok(difference(first, second) > 1, `the picture changed (${difference(first, second)})`);
  let redder = 0;
  for (let i = 0; i < first.length; i += 4) {
    redder += (second[i] - second[i + 1]) - (first[i] - first[i + 1]);
  }
  assert.ok(redder > 0, 'red gains on green');
  assert.equal(await page.locator('#preview').getAttribute('data-pass'), 'final');

  if (process.env.TAMREL_SCREENSHOT_3D) {
    mkdirSync(dirname(process.env.TAMREL_SCREENSHOT_3D), { recursive: true });
    await page.locator('details[data-dialog="102"] > summary').click();
    await page.screenshot({ path: process.env.TAMREL_SCREENSHOT_3D, fullPage: true });
  }
}));

test('the turntable turns the picture over time; a drag orbits it', () => withPage(async (page) => {
  await waitForAsset(page, await page.evaluate(() => window.tamrelEditor.preview.generation));
  const still = await pixels(page);
  await page.waitForTimeout(300);
  await nextFrames(page);
  assert.equal(difference(still, await pixels(page)), 0, 'without the turntable nothing moves');

  await page.locator('#turntable').check();
  await page.waitForTimeout(1200);
  await nextFrames(page);
  const turned = await pixels(page);
  assert.ok(difference(still, turned) > 1, `the turntable turned it (${difference(still, turned)})`);
  await page.waitForTimeout(800);
  await nextFrames(page);
  assert.ok(difference(turned, await pixels(page)) > 0.5, 'and keeps turning');
  await page.locator('#turntable').uncheck();
  await nextFrames(page);
  // Where the turntable stopped is a matter of timing (the plane may be edge on), so only the
  // drag's change from here is checked.
  const stopped = await pixels(page);

  await page.locator('#view3d').scrollIntoViewIfNeeded();
  const box = await page.locator('#view3d').boundingBox();
  const x = box.x + box.width / 2, y = box.y + box.height / 2;
  await page.mouse.move(x, y);
  await page.mouse.down();
  for (let i = 1; i <= 10; i++) await page.mouse.move(x + i * 15, y + i * 6);
  await page.mouse.up();
  await nextFrames(page);
  const orbited = await pixels(page);
  assert.ok(difference(stopped, orbited) > 1, `the drag orbited it (${difference(stopped, orbited)})`);
  assert.ok(notBackground(orbited) > 0, 'the plane is still in view');
}));

test('the sphere geometry shows the sphere with its own baked maps', () => withPage(async (page) => {
  const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await waitForAsset(page, g0);
  const plane = await pixels(page);
  await page.selectOption('#geometry', 'sphere');
  const g1 = await waitForFinal(page, g0);
  await waitForAsset(page, g1);
  assert.equal(await page.evaluate(() => window.tamrelView3d.error), '');
  const sphere = await pixels(page);
  assert.ok(difference(plane, sphere) > 1);
  assert.equal(await page.locator('#view3d-status').textContent(), 'The sphere with the baked maps');
}));

// A model given to the editor is drawn with the maps baked into its UV layout: a torus, whose
// picture is neither the plane's nor empty.
test('a model given with --mesh is drawn with its baked maps', async () => {
  const here = dirname(fileURLToPath(import.meta.url));
  const torus = resolve(here, '../../docs/models/torus.obj');
  const modelEditor = await startEditor(['--mesh', torus]);
  const page = await openPage(browser, modelEditor.url);
  try {
    const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
    await waitForAsset(page, g0);
    const plane = await pixels(page);
    assert.match(await page.locator('#geometry option[value="mesh"]').textContent(), /torus\.obj/);
    await page.selectOption('#geometry', 'mesh');
    const g1 = await waitForFinal(page, g0);
    await waitForAsset(page, g1);
    assert.equal(await page.evaluate(() => window.tamrelView3d.error), '');
    assert.equal(await page.locator('#view3d-status').textContent(), 'The model with the baked maps');
    const model = await pixels(page);
    const shown = notBackground(model);
    assert.ok(shown > 128 * 128 * 0.1, `the torus covers a good part of the view (${shown} pixels)`);
    assert.ok(difference(plane, model) > 1, `the model is not the plane (${difference(plane, model)})`);
    if (process.env.TAMREL_SCREENSHOT_MODEL) {
      // Finer scratches on a copper surface, for the picture.
      await typeValue(page, 101, 1490, '1.5');
      const g2 = await waitForFinal(page, g1);
      await page.evaluate(() => {
        const el = document.querySelectorAll('input.swatch')[1];
        el.value = '#c87850';
        el.dispatchEvent(new Event('change'));
      });
      const g3 = await waitForFinal(page, g2);
      await waitForAsset(page, g3);
      mkdirSync(dirname(process.env.TAMREL_SCREENSHOT_MODEL), { recursive: true });
      await page.locator('#view3d').screenshot({ path: process.env.TAMREL_SCREENSHOT_MODEL });
    }
  } finally {
    await page.context().close();
    const { code } = await modelEditor.stop();
    assert.equal(code, 0);
  }
});
