// The glTF assets of `tamrel render --gltf` through the Khronos glTF validator: the plane as a
// .glb, a cube read from OBJ as a .glb, a .gltf with its buffer and images as files beside it,
// and a model read back from one of our own .glb files. Each must have no error or warning,
// every resource the validator loads, and the anisotropy extension in use. Then a .glb as
// three.js's GLTFLoader reads it in Debian's chromium: the material with every map, the
// anisotropy, and the colour spaces (sRGB for the base colour only).
import { spawnSync } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import validator from 'gltf-validator';

import { launchBrowser } from './harness.mjs';

const TAMREL = process.env.TAMREL && resolve(process.env.TAMREL);
if (!TAMREL) throw new Error('set TAMREL to the tamrel binary');
const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const CUBE = join(ROOT, 'docs/models/cube.obj');

let folder;
before(() => { folder = mkdtempSync(join(tmpdir(), 'tamrel-gltf-')); });
after(() => rmSync(folder, { recursive: true, force: true }));

// Runs tamrel render with args in the test's folder; resolves to its --json report.
function render(args) {
  const r = spawnSync(TAMREL, ['render', '--json', '--samples', '1', ...args],
                      { cwd: folder, encoding: 'utf8' });
  assert.equal(r.status, 0, `tamrel render ${args.join(' ')}: ${r.stderr}`);
  return JSON.parse(r.stdout);
}

// Validates the file as the validator's own tool does, loading its external files beside it.
async function validate(path) {
  const loaded = [];
  const report = await validator.validateBytes(new Uint8Array(readFileSync(path)), {
    uri: path,
    maxIssues: 100,
    externalResourceFunction: (uri) => {
      loaded.push(decodeURIComponent(uri));
      return Promise.resolve(new Uint8Array(readFileSync(resolve(dirname(path), decodeURIComponent(uri)))));
    },
  });
  return { report, loaded };
}

// The images in the material's order (colour, normal, orm, anisotropy): the colour sRGB-encoded,
// the data linear, as the files say.
function assertTransfers(report) {
  const images = report.info.resources.filter((r) => r.pointer.startsWith('/images/'));
  assert.deepEqual(images.map((i) => [i.pointer, i.image.transfer]),
                   [['/images/0', 'srgb'], ['/images/1', 'linear'], ['/images/2', 'linear'],
                    ['/images/3', 'linear']]);
}

// No error or warning, and no info but the one that images whose edges are not powers of two
// (a rectangular plane) get; what there is is shown when one fails.
function assertClean(report) {
  const shown = JSON.stringify(report.issues.messages.filter((m) => m.severity <= 1), null, 1);
  assert.equal(report.issues.numErrors, 0, shown);
  assert.equal(report.issues.numWarnings, 0, shown);
  const infos = report.issues.messages.filter((m) => m.severity === 2);
  assert.deepEqual(infos.filter((m) => m.code !== 'IMAGE_NPOT_DIMENSIONS'), []);
  assertTransfers(report);
  assert.deepEqual(report.info.extensionsUsed, ['KHR_materials_anisotropy']);
  assert.equal(report.info.materialCount, 1);
  assert.equal(report.info.hasTextures, true);
}

describe('tamrel render --gltf through the Khronos validator', () => {
  test('the plane as .glb', async () => {
    const out = render(['--size', '64x48', '--extent', '8', '--gltf', 'plane.glb']);
    assert.equal(out.gltf.format, 'glb');
    const { report, loaded } = await validate(join(folder, 'plane.glb'));
    assertClean(report);
    assert.deepEqual(loaded, []);
    // 64x48 images: the validator's note of it is the only one.
    assert.deepEqual(report.issues.messages.map((m) => [m.code, m.pointer]),
                     [0, 1, 2, 3].map((k) => ['IMAGE_NPOT_DIMENSIONS', `/images/${k}`]));
    assert.equal(report.info.totalTriangleCount, 2);
    assert.equal(report.info.totalVertexCount, 4);
    // The four images embedded, the size of the bake.
    const images = report.info.resources.filter((r) => r.pointer.startsWith('/images/'));
    assert.equal(images.length, 4);
    for (const img of images) {
      assert.equal(img.storage, 'buffer-view');
      assert.equal(img.mimeType, 'image/png');
      assert.equal(img.image.width, 64);
      assert.equal(img.image.height, 48);
    }
  });

  test('the sphere as .glb, its maps in its UV layout', async () => {
    const out = render(['--geometry', 'sphere', '--size', '64', '--gltf', 'sphere.glb']);
    assert.equal(out.gltf.format, 'glb');
    const { report, loaded } = await validate(join(folder, 'sphere.glb'));
    assertClean(report);
    assert.deepEqual(loaded, []);
    assert.equal(report.info.totalTriangleCount, 3968);
  });

  test('a cube from OBJ as .glb', async () => {
    const out = render(['--mesh', CUBE, '--size', '64', '--padding', '4', '--metallic', '0.2,1',
                        '--gltf', 'cube.glb', '--set', 'size=0.5']);
    assert.equal(out.gltf.triangles, 12);
    const { report } = await validate(join(folder, 'cube.glb'));
    assertClean(report);
    assert.equal(report.info.totalTriangleCount, 12);
    assert.equal(report.info.drawCallCount, 1);
  });

  test('a .gltf with its buffer and images as files', async () => {
    mkdirSync(join(folder, 'maps'));
    const out = render(['--mesh', CUBE, '--size', '32', '--gltf', 'cube set.gltf',
                        '-o', 'maps/cube %_{map}.png']);
    assert.equal(out.gltf.format, 'gltf');
    const { report, loaded } = await validate(join(folder, 'cube set.gltf'));
    assertClean(report);
    assert.deepEqual(loaded.sort(), ['cube set.bin', 'maps/cube %_anisotropy-gltf.png',
                                     'maps/cube %_color.png', 'maps/cube %_normal-gl.png',
                                     'maps/cube %_orm.png']);
    const images = report.info.resources.filter((r) => r.pointer.startsWith('/images/'));
    assert.equal(images.length, 4);
    for (const img of images) assert.equal(img.storage, 'external');
  });

  test('a model read back from our own .glb, with its instances', async () => {
    render(['--mesh', CUBE, '--size', '32', '--gltf', 'first.glb']);
    const out = render(['--mesh', 'first.glb', '--size', '32', '--gltf', 'again.glb']);
    assert.equal(out.mesh.triangles, 12);
    const { report } = await validate(join(folder, 'again.glb'));
    assertClean(report);
  });
});

// Serves the three package and the test's folder, and a page that loads an asset with GLTFLoader
// and tells what the material became.
function serve() {
  const three = join(ROOT, 'web/e2e/node_modules/three');
  const page = `<!doctype html><script type="importmap">
{"imports": {"three": "/three/build/three.module.js", "three/addons/": "/three/examples/jsm/"}}
</script><script type="module">
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
window.loadAsset = async (url) => {
  const gltf = await new GLTFLoader().loadAsync(url);
  let mesh = null;
  gltf.scene.traverse((o) => { if (o.isMesh && !mesh) mesh = o; });
  const m = mesh.material;
  const tex = (t) => t ? { colorSpace: t.colorSpace, width: t.image.width, uuid: t.source.uuid } : null;
  return { type: m.type, anisotropy: m.anisotropy, map: tex(m.map), normalMap: tex(m.normalMap),
           roughnessMap: tex(m.roughnessMap), metalnessMap: tex(m.metalnessMap), aoMap: tex(m.aoMap),
           anisotropyMap: tex(m.anisotropyMap), metalness: m.metalness, roughness: m.roughness,
           tangents: !!mesh.geometry.attributes.tangent, uvs: mesh.geometry.attributes.uv.count };
};
document.body.dataset.ready = 'true';
</script>`;
  const server = createServer((req, res) => {
    const url = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const types = { '.js': 'text/javascript', '.glb': 'model/gltf-binary', '.html': 'text/html' };
    let file = null;
    if (url === '/') {
      res.writeHead(200, { 'content-type': 'text/html' });
      res.end(page);
      return;
    }
    if (url.startsWith('/three/')) file = join(three, url.slice(7));
    if (url.startsWith('/assets/')) file = join(folder, url.slice(8));
    try {
      const body = readFileSync(file);
      res.writeHead(200, { 'content-type': types[file.slice(file.lastIndexOf('.'))] || 'application/octet-stream' });
      res.end(body);
    } catch {
      res.writeHead(404);
      res.end();
    }
  });
  return new Promise((done) => server.listen(0, '127.0.0.1', () => done(server)));
}

describe('a .glb in three.js', () => {
  test('GLTFLoader makes a physical material with every map and the anisotropy', async () => {
    render(['--mesh', CUBE, '--size', '64', '--gltf', 'three.glb']);
    const server = await serve();
    const browser = await launchBrowser();
    try {
      const page = await browser.newPage();
      page.on('pageerror', (e) => { throw e; });
      await page.goto(`http://127.0.0.1:${server.address().port}/`);
      await page.waitForSelector('body[data-ready="true"]', { state: 'attached' });
      const m = await page.evaluate(() => window.loadAsset('/assets/three.glb'));
      assert.equal(m.type, 'MeshPhysicalMaterial');
      assert.equal(m.anisotropy, 1);
      assert.equal(m.metalness, 1);
      assert.equal(m.roughness, 1);
      assert.equal(m.tangents, true);
      assert.equal(m.map.colorSpace, 'srgb');
      for (const k of ['normalMap', 'roughnessMap', 'metalnessMap', 'aoMap', 'anisotropyMap']) {
        assert.ok(m[k], k);
        assert.notEqual(m[k].colorSpace, 'srgb', k);
        assert.equal(m[k].width, 64, k);
      }
      // One image for roughness, metalness and occlusion; the others their own.
      assert.equal(m.roughnessMap.uuid, m.metalnessMap.uuid);
      assert.equal(m.roughnessMap.uuid, m.aoMap.uuid);
      assert.equal(new Set([m.map.uuid, m.normalMap.uuid, m.roughnessMap.uuid,
                            m.anisotropyMap.uuid]).size, 4);
    } finally {
      await browser.close();
      server.close();
    }
  });
});
