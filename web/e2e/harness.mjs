// What the editor's browser tests and benchmark share: a `tamrel edit` server in a folder of its
// own, Debian's chromium driven by playwright-core, and waits for the preview's passes.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

import { resolve } from 'node:path';

export const TAMREL = process.env.TAMREL && resolve(process.env.TAMREL);
if (!TAMREL) throw new Error('set TAMREL to the tamrel binary');
const CHROMIUM = process.env.TAMREL_CHROMIUM || '/usr/bin/chromium';

export function launchBrowser() {
  return chromium.launch({ executablePath: CHROMIUM, args: ['--no-sandbox', '--disable-gpu'] });
}

// Starts `tamrel edit` on a free port in a new folder; resolves to { url, folder, stop }.
export function startEditor(args = []) {
  const folder = mkdtempSync(join(tmpdir(), 'tamrel-e2e-'));
  const child = spawn(TAMREL, ['edit', '--no-open', '--port', '0', ...args],
                      { cwd: folder, stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  return new Promise((resolve, reject) => {
    let out = '';
    child.on('exit', (code) => reject(new Error(`tamrel edit exited with ${code}: ${stderr}`)));
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/editing at (http:\/\/\S+\/)/);
      if (!m) return;
      resolve({
        url: m[1],
        folder,
        stop: () => new Promise((done) => {
          child.removeAllListeners('exit');
          child.on('exit', (code, signal) => {
            rmSync(folder, { recursive: true, force: true });
            done({ code, signal });
          });
          child.kill('SIGINT');
        }),
      });
    });
  });
}

// Opens the editor and waits for its first final preview.
export async function openPage(browser, url) {
  const context = await browser.newContext({ viewport: { width: 1200, height: 1000 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => { throw e; });
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  await waitForFinal(page, 0);
  return page;
}

// Waits until the final pass of a preview newer than `after` has been drawn; returns its
// generation.
export async function waitForFinal(page, after) {
  await page.waitForFunction(
      (g) => window.tamrelEditor.preview.pass === 'final' && window.tamrelEditor.preview.generation > g,
      after);
  return page.evaluate(() => window.tamrelEditor.preview.generation);
}

// The current final pass's PNG bytes.
export async function finalPng(page) {
  const b64 = await page.evaluate(async () => {
    const buf = new Uint8Array(await window.tamrelEditor.preview.finalBlob.arrayBuffer());
    let s = '';
    for (const byte of buf) s += String.fromCharCode(byte);
    return btoa(s);
  });
  return Buffer.from(b64, 'base64');
}

export function control(page, dialog, id) {
  return page.locator(`details[data-dialog="${dialog}"] [data-control="${id}"]`);
}

// Types a value into an edit field the way a user commits it.
export async function typeValue(page, dialog, id, text) {
  const field = control(page, dialog, id);
  await field.fill(text);
  await field.press('Enter');
}
