// The editor as a user drives it, in a real headless browser: values change the preview and
// undo restores it bit for bit, the rollouts' enabling rules, the lists, the lock, refusals of
// values out of range, and a saved scene that `tamrel render` bakes to the preview's pixels.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, writeFileSync, mkdirSync } from 'node:fs';
import { join, dirname } from 'node:path';
import {
  TAMREL, launchBrowser, startEditor, openPage, waitForFinal, finalPng, control, typeValue,
} from './harness.mjs';

// One server for the file, a fresh page for every test. The tests that save and open files
// change the server's document, so they come last.
let browser;
let editor;
before(async () => {
  [browser, editor] = await Promise.all([launchBrowser(), startEditor()]);
});
after(async () => {
  await browser.close();
  const { code, signal } = await editor.stop();
  assert.equal(signal, null, 'tamrel edit stops cleanly on Ctrl-C');
  assert.equal(code, 0);
});

async function withEditor(body) {
  const page = await openPage(browser, editor.url);
  try {
    await body(page, editor);
  } finally {
    await page.context().close();
  }
}

test('the page shows both rollouts with the new map\'s values', () => withEditor(async (page, editor) => {
  assert.equal(await page.locator('details[data-dialog="101"] > summary').textContent(), 'Parameters');
  assert.equal(await page.locator('details[data-dialog="102"] > summary').textContent(), 'Mapping');
  assert.equal(await control(page, 101, 1490).inputValue(), '10.0');  // "size" of a new map
  assert.equal(await control(page, 101, 1508).inputValue(), '6');     // "levels"
  assert.equal(await control(page, 101, 1001).inputValue(), '1');     // "type": 3D
  assert.equal(await control(page, 101, 1003).textContent(), 'Homepage');
  assert.equal(await control(page, 101, 1040).textContent(), 'None');  // no size map set
  // Placed where the template puts them: "size" at (44, 7) and the lock at (117, 136) in dialog
  // units, relative to their rollouts.
  const at = async (dialog, id) => page.evaluate(([d, i]) => {
    const el = document.querySelector(`details[data-dialog="${d}"] [data-control="${i}"]`);
    return [el.offsetLeft, el.offsetTop, el.offsetWidth];
  }, [dialog, id]);
  assert.deepEqual(await at(101, 1490), [Math.round(44 * 1.9), 14, Math.round(35 * 1.9)]);
  const lock = await at(102, 1023);
  assert.deepEqual(lock.slice(0, 2), [Math.round(117 * 1.9), 272]);
  if (process.env.TAMREL_SCREENSHOT) {
    mkdirSync(dirname(process.env.TAMREL_SCREENSHOT), { recursive: true });
    await page.locator('details[data-dialog="102"] > summary').click();  // show both rollouts
    await waitForFinal(page, 0);
    await page.screenshot({ path: process.env.TAMREL_SCREENSHOT, fullPage: true });
  }
}));

test('changing "Size" changes the preview; undo and redo restore it exactly', () => withEditor(async (page) => {
  const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  const original = await finalPng(page);
  await typeValue(page, 101, 1490, '4');
  const g1 = await waitForFinal(page, g0);
  const changed = await finalPng(page);
  assert.notDeepEqual(changed, original);
  assert.equal(await control(page, 101, 1490).inputValue(), '4.0');
  assert.match(await page.locator('#document').textContent(), /\(modified\)/);

  await page.locator('body').press('Control+z');
  const g2 = await waitForFinal(page, g1);
  assert.equal(await control(page, 101, 1490).inputValue(), '10.0');
  assert.deepEqual(await finalPng(page), original);

  await page.locator('body').press('Control+Shift+z');
  await waitForFinal(page, g2);
  assert.equal(await control(page, 101, 1490).inputValue(), '4.0');
  assert.deepEqual(await finalPng(page), changed);

  // The spinner steps by its automatic scale: 0.1 at a value of 4.
  const g3 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await control(page, 101, 1496).locator('button').first().click();
  const g4 = await waitForFinal(page, g3);
  assert.equal(await control(page, 101, 1490).inputValue(), '4.1');

  // From 512 pixels on, a draft of half the size at one sample a pixel comes before the final.
  const status = () => page.locator('#preview-status').textContent();
  assert.match(await status(),
               /^coarse 64×64 in \d+ ms · draft 256×256, 1 sample in \d+ ms · final 512×512 in \d+ ms$/);
  await page.selectOption('#preview-size', '256');
  await waitForFinal(page, g4);
  assert.match(await status(), /^coarse 64×64 in \d+ ms · final 256×256 in \d+ ms$/);
}));

test('"Use Erosion" enables and greys its controls; "Use Distortion" its own', () => withEditor(async (page) => {
  const erosion = [control(page, 101, 1502), control(page, 101, 1506)];
  for (const c of erosion) assert.equal(await c.isDisabled(), true);
  assert.equal(await control(page, 101, 1518).isDisabled(), false);  // "Bump Delta": always on
  await control(page, 101, 1005).check();
  await page.waitForFunction(() => !document.querySelector('[data-dialog="101"] [data-control="1502"]').disabled);
  for (const c of erosion) assert.equal(await c.isDisabled(), false);
  assert.equal(await control(page, 101, 1494).isDisabled(), true);  // distortion stays off
  await control(page, 101, 1005).uncheck();
  await page.waitForFunction(() => document.querySelector('[data-dialog="101"] [data-control="1502"]').disabled);
  for (const c of erosion) assert.equal(await c.isDisabled(), true);

  await control(page, 101, 1002).check();
  await page.waitForFunction(() => !document.querySelector('[data-dialog="101"] [data-control="1494"]').disabled);
  for (const id of [1494, 1031, 1032, 1037]) assert.equal(await control(page, 101, id).isDisabled(), false, `${id}`);
}));

test('the type list picks "2D"; the map type drives the tiling lists and units', () => withEditor(async (page) => {
  const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await control(page, 101, 1001).selectOption({ label: '2D' });
  await page.waitForFunction(() => window.tamrelEditor.values.type === 0);
  await waitForFinal(page, g0);
  assert.equal(await control(page, 101, 1001).inputValue(), '0');

  await page.locator('details[data-dialog="102"] > summary').click();
  const tiling = [1004, 1005, 1006].map((id) => control(page, 102, id));
  for (const t of tiling) assert.equal(await t.isDisabled(), true);
  assert.equal(await control(page, 102, 1491).inputValue(), '0.0 u');  // Object XYZ: scene units
  await control(page, 102, 1001).selectOption({ label: 'Explicit Map Channel 2D' });
  await page.waitForFunction(() => window.tamrelEditor.values.xyz_map === 0);
  for (const t of tiling) assert.equal(await t.isDisabled(), false);
  assert.equal(await control(page, 102, 1491).inputValue(), '0.0');   // plain numbers
  assert.equal(await control(page, 102, 1004).inputValue(), '0');      // "Continue"
  await control(page, 102, 1005).selectOption({ label: 'Mirror' });
  await page.waitForFunction(() => window.tamrelEditor.values.xyz_tile_y === 3);
  await control(page, 102, 1001).selectOption({ label: 'Screen' });
  await page.waitForFunction(() => window.tamrelEditor.values.xyz_map === 4);
  for (const t of tiling) assert.equal(await t.isDisabled(), true);
  assert.equal(await control(page, 102, 1494).inputValue(), '1.0');
}));

test('the lock disables the Y and Z size amplitudes', () => withEditor(async (page) => {
  await page.locator('details[data-dialog="102"] > summary').click();
  const lock = control(page, 102, 1023);
  assert.equal(await lock.textContent(), 'L');
  assert.equal(await lock.getAttribute('aria-pressed'), 'true');
  for (const id of [1511, 1513]) assert.equal(await control(page, 102, id).isDisabled(), true);
  assert.equal(await control(page, 102, 1509).isDisabled(), false);  // X stays on
  await lock.click();
  await page.waitForFunction(() => window.tamrelEditor.values.xyz_lock === false);
  assert.equal(await lock.getAttribute('aria-pressed'), 'false');
  for (const id of [1511, 1513]) assert.equal(await control(page, 102, id).isDisabled(), false);
  await lock.click();
  await page.waitForFunction(() => window.tamrelEditor.values.xyz_lock === true);
  for (const id of [1511, 1513]) assert.equal(await control(page, 102, id).isDisabled(), true);
}));

test('a value out of range is refused with a visible message', () => withEditor(async (page) => {
  const g0 = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await typeValue(page, 101, 1508, '9');  // "levels" takes 1 .. 8
  const message = page.locator('#message');
  await message.waitFor({ state: 'visible' });
  assert.equal(await message.textContent(),
               '"Levels": 9 is out of range (1 .. 8); the value was not changed');
  assert.equal(await control(page, 101, 1508).inputValue(), '6');
  await typeValue(page, 101, 1504, '0.05');  // "spread" takes 0.1 .. 1
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('"Spread"'));
  await typeValue(page, 101, 1490, 'big');
  await page.waitForFunction(() => document.getElementById('message').textContent === '"Size": \'big\' is not a number');
  assert.equal(await page.evaluate(() => window.tamrelEditor.undo.length), 0);
  assert.equal(await page.evaluate(() => window.tamrelEditor.preview.generation), g0);
}));

test('a saved scene renders with tamrel render to the preview\'s pixels', () => withEditor(async (page, editor) => {
  let g = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await typeValue(page, 101, 1490, '6');
  g = await waitForFinal(page, g);
  await control(page, 101, 1005).check();
  g = await waitForFinal(page, g);
  await typeValue(page, 101, 1502, '0.7');
  g = await waitForFinal(page, g);
  await page.locator('details[data-dialog="102"] > summary').click();
  await typeValue(page, 102, 1515, '4321');  // "seed"
  g = await waitForFinal(page, g);
  const preview = await finalPng(page);

  await page.locator('#save-scene').click();
  await page.locator('#file-path').fill('look.scn');
  await page.locator('#file-ok').click();
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('Saved '));
  assert.doesNotMatch(await page.locator('#document').textContent(), /modified/);
  const scene = join(editor.folder, 'look.scn');
  assert.ok(existsSync(scene));

  const baked = join(editor.folder, 'baked.png');
  execFileSync(TAMREL, ['render', '--scene', scene, '--size', '512', '-q', '-o', baked]);
  const shown = join(editor.folder, 'preview.png');
  writeFileSync(shown, preview);
  // idiff exits 0 only when every pixel is equal.
  execFileSync('idiff', ['-fail', '0', '-failpercent', '0', '-warn', '0', shown, baked]);
}));

test('bake writes a texture set, the maps tamrel render --maps writes', () => withEditor(async (page, editor) => {
  let g = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await typeValue(page, 101, 1490, '5');
  g = await waitForFinal(page, g);
  await page.locator('#bake').click();
  await page.locator('#file-path').fill('steel.png');
  await page.locator('#bake-output').selectOption('set');
  await page.locator('#bake-size').fill('48');
  await page.locator('#file-ok').click();
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('Baked '));
  await page.locator('#save-preset').click();
  await page.locator('#file-path').fill('steel.json');
  await page.locator('#file-ok').click();
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('Saved '));

  const maps = ['color', 'height', 'normal', 'roughness', 'anisotropy'];
  execFileSync(TAMREL, ['render', '--preset', join(editor.folder, 'steel.json'), '--size', '48', '-q',
                        '--maps', maps.join(','), '-o', join(editor.folder, 'cli_{map}.png')]);
  for (const m of maps) {
    const fromPage = join(editor.folder, `steel_${m}.png`);
    assert.ok(existsSync(fromPage), fromPage);
    execFileSync('idiff', ['-fail', '0', '-failpercent', '0', '-warn', '0', fromPage,
                           join(editor.folder, `cli_${m}.png`)]);
  }
}));

test('open restores a saved preset; leaving with unsaved changes asks first', () => withEditor(async (page, editor) => {
  let g = await page.evaluate(() => window.tamrelEditor.preview.generation);
  await typeValue(page, 101, 1493, '25');  // "stretch"
  g = await waitForFinal(page, g);
  await page.locator('#save-preset').click();
  await page.locator('#file-path').fill('look.json');
  await page.locator('#file-ok').click();
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('Saved '));
  await typeValue(page, 101, 1493, '3');
  g = await waitForFinal(page, g);

  let asked = 0;
  page.on('dialog', async (d) => {
    asked += 1;
    await d.accept();  // the confirmation before discarding, then nothing else
  });
  await page.locator('#open').click();
  await page.locator('#file-path').fill('look.json');
  await page.locator('#file-ok').click();
  await page.waitForFunction(() => document.getElementById('message').textContent.startsWith('Opened '));
  assert.equal(asked, 1);
  assert.equal(await control(page, 101, 1493).inputValue(), '25.0');
  await waitForFinal(page, g);

  // Unsaved again: closing the page asks.
  await typeValue(page, 101, 1493, '7');
  await page.waitForFunction(() => window.tamrelEditor.values.stretch === 7);
  let beforeUnload = false;
  page.removeAllListeners('dialog');
  page.on('dialog', async (d) => {
    beforeUnload = d.type() === 'beforeunload';
    await d.dismiss();
  });
  await page.close({ runBeforeUnload: true });
  await new Promise((r) => setTimeout(r, 300));
  assert.equal(beforeUnload, true);
}));
