// The editor's 3D view: the asset of the current values (the plane, the sphere or the model with
// a material of the baked colour, normal, occlusion-roughness-metallic and anisotropy maps, as
// `tamrel render --gltf` writes it; the sphere's maps are baked into its own UV layout) lit by a
// room environment, orbited and zoomed with the mouse, turned by the turntable. It follows the 2D
// preview: when a final preview has been drawn, the asset of the same request (values, frame,
// size and generation) is fetched, so a newer preview cancels an asset still being made, on the
// server as on the page.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { RoomEnvironment } from 'three/addons/environments/RoomEnvironment.js';

const TOKEN = document.querySelector('meta[name="tamrel-token"]').content;
const TURNS_PER_SECOND = 1 / 12;

const canvas = document.getElementById('view3d');
const status = document.getElementById('view3d-status');
const turntable = document.getElementById('turntable');

// Kept for the browser tests: what is shown and of which generation.
const view = { generation: 0, loaded: 0, frames: 0, error: '' };
window.tamrelView3d = view;

// The drawing buffer is kept so the page (and its tests) can read the picture back.
const renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
renderer.setPixelRatio(1);
renderer.setSize(canvas.clientWidth || 512, canvas.clientHeight || 512, false);
renderer.toneMapping = THREE.NeutralToneMapping;
renderer.outputColorSpace = THREE.SRGBColorSpace;

const scene = new THREE.Scene();
scene.background = new THREE.Color(0x2a2a2a);
const pmrem = new THREE.PMREMGenerator(renderer);
scene.environment = pmrem.fromScene(new RoomEnvironment(), 0.04).texture;

const camera = new THREE.PerspectiveCamera(40, 1, 0.01, 1000);
const controls = new OrbitControls(camera, canvas);
controls.enableDamping = false;
controls.addEventListener('change', () => { needsFrame = true; });

// The model turns about the vertical axis through its centre.
const turn = new THREE.Group();
scene.add(turn);
let shown = null;  // the loaded asset's scene
let needsFrame = true;
let framedKey = '';

// Points the camera at the object from the front and a little above, at a distance that shows
// all of it; only when the geometry changes, so that an orbit survives a change of values.
function frame(object, key) {
  const box = new THREE.Box3().setFromObject(object);
  const centre = box.getCenter(new THREE.Vector3());
  const radius = Math.max(box.getSize(new THREE.Vector3()).length() / 2, 1e-3);
  // Centred in the turntable group, so that it turns about its own middle.
  object.position.sub(centre);
  if (key === framedKey) return;
  framedKey = key;
  const distance = radius / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2)) * 1.05;
  camera.near = distance / 100;
  camera.far = distance * 100;
  camera.position.set(0, distance * 0.35, distance * 0.94);
  camera.updateProjectionMatrix();
  controls.target.set(0, 0, 0);
  controls.minDistance = radius * 0.2;
  controls.maxDistance = radius * 20;
  controls.update();
}

function dispose(object) {
  object.traverse((o) => {
    if (o.geometry) o.geometry.dispose();
    if (o.material) {
      for (const value of Object.values(o.material)) if (value && value.isTexture) value.dispose();
      o.material.dispose();
    }
  });
}

const loader = new GLTFLoader();
let assetAbort = null;

// Fetches and shows the asset of a final preview's request.
async function showAsset(request, geometry) {
  if (assetAbort) assetAbort.abort();
  const abort = new AbortController();
  assetAbort = abort;
  const body = { ...request, geometry };
  status.textContent = 'Baking the 3D view’s maps…';
  let res;
  try {
    res = await fetch('/api/asset', {
      method: 'POST',
      headers: { 'X-Tamrel-Token': TOKEN, 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      signal: abort.signal,
    });
  } catch (e) {
    if (e.name === 'AbortError') return;
    throw e;
  }
  if (abort !== assetAbort || res.status === 409) return;
  if (!res.ok) {
    const data = await res.json().catch(() => ({}));
    view.error = data.error || String(res.status);
    status.textContent = `3D view failed: ${view.error}`;
    return;
  }
  const bytes = await res.arrayBuffer();
  if (abort !== assetAbort) return;
  const gltf = await loader.parseAsync(bytes, '');
  if (abort !== assetAbort) { dispose(gltf.scene); return; }
  // Both faces are drawn: a plane turned away, or an open model seen from inside, shows its back.
  gltf.scene.traverse((o) => { if (o.isMesh) o.material.side = THREE.DoubleSide; });
  const object = gltf.scene;
  if (shown) { turn.remove(shown); dispose(shown); }
  shown = object;
  turn.add(shown);
  frame(shown, `${geometry}:${request.extent}`);
  view.generation = request.generation;
  view.loaded += 1;
  view.error = '';
  const what = { mesh: 'The model', sphere: 'The sphere', plane: 'The plane' }[geometry];
  status.textContent = `${what} with the baked maps`;
  needsFrame = true;
}

function follow(request) {
  showAsset(request, request.geometry).catch((err) => {
    view.error = err.message;
    status.textContent = `3D view failed: ${err.message}`;
  });
}
window.addEventListener('tamrel-final-preview', (e) => follow(e.detail.request));
// A final preview drawn before this module had loaded.
if (window.tamrelEditor && window.tamrelEditor.finalRequest) follow(window.tamrelEditor.finalRequest);

turntable.addEventListener('change', () => { needsFrame = true; });

let last = performance.now();
function tick(now) {
  const dt = Math.min((now - last) / 1000, 0.1);
  last = now;
  if (turntable.checked) {
    turn.rotation.y = (turn.rotation.y + dt * TURNS_PER_SECOND * 2 * Math.PI) % (2 * Math.PI);
    needsFrame = true;
  }
  if (needsFrame) {
    needsFrame = false;
    renderer.render(scene, camera);
    view.frames += 1;
  }
  requestAnimationFrame(tick);
}
requestAnimationFrame(tick);
view.ready = true;
