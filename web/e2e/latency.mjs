// Preview latency of `tamrel edit`, measured in the browser: from a value typed into "Size" to
// the first coarse frame drawn, to the one-sample draft (from 512 pixels on), and to the final
// frame at each preview size. Prints the median and the spread of a number of changes per size,
// all measured in one run side by side.
//
//   TAMREL=build/release/bin/tamrel node web/e2e/latency.mjs [changes per size, default 15]
import { launchBrowser, startEditor, openPage } from './harness.mjs';

const changes = Number(process.argv[2] || 15);

function summary(values) {
  const v = [...values].sort((a, b) => a - b);
  const at = (q) => v[Math.min(v.length - 1, Math.floor(q * v.length))];
  return { median: at(0.5), p10: at(0.1), p90: at(0.9) };
}

const [browser, editor] = await Promise.all([launchBrowser(), startEditor()]);
try {
  const page = await openPage(browser, editor.url);
  const rows = [];
  for (const size of [256, 512, 1024]) {
    await page.selectOption('#preview-size', String(size));
    const coarse = [];
    const draft = [];
    const final = [];
    for (let i = 0; i < changes; ++i) {
      // Sizes alternate so that every change is a change; the clock starts at the commit.
      const value = i % 2 ? 9 + (i % 7) * 0.25 : 11 + (i % 5) * 0.25;
      const [c, d, f] = await page.evaluate((v) => new Promise((resolve) => {
        const editor = window.tamrelEditor;
        const field = document.querySelector('details[data-dialog="101"] [data-control="1490"]');
        let coarseAt = null;
        let draftAt = null;
        const start = performance.now();
        editor.onpreview = (p) => {
          if (p.pass === 'coarse') coarseAt = performance.now() - start;
          if (p.pass === 'draft') draftAt = performance.now() - start;
          if (p.pass === 'final') {
            editor.onpreview = null;
            resolve([coarseAt, draftAt, performance.now() - start]);
          }
        };
        field.value = String(v);
        field.dispatchEvent(new Event('change'));
      }), value);
      coarse.push(c);
      if (d !== null) draft.push(d);
      final.push(f);
    }
    rows.push({ size, coarse: summary(coarse), draft: draft.length ? summary(draft) : null,
                final: summary(final) });
  }
  const ms = (x) => `${x.toFixed(1)} ms`;
  console.log(`preview latency over ${changes} changes of "Size" per size (median, 10th-90th percentile)`);
  for (const r of rows) {
    console.log(`  final ${r.size}x${r.size}: coarse 64x64 ${ms(r.coarse.median)} ` +
                `(${ms(r.coarse.p10)}-${ms(r.coarse.p90)}), ` +
                (r.draft ? `draft at 1 sample ${ms(r.draft.median)} ` +
                           `(${ms(r.draft.p10)}-${ms(r.draft.p90)}), ` : '') +
                `final ${ms(r.final.median)} ` +
                `(${ms(r.final.p10)}-${ms(r.final.p90)})`);
  }
  await page.context().close();
} finally {
  await browser.close();
  await editor.stop();
}
