// The browser editor of the scratches map. The rollouts are built from the layout the server
// derives from the dialog templates and the block descriptors; every value is checked against
// its descriptor here for an immediate message, and again by the server, which also answers which
// controls the map's own rules enable. The page keeps the document's values (a preset: internal
// names, with keys for animated parameters) and its undo history; the preview is re-rendered
// progressively, a coarse pass first, whenever they change.
'use strict';

const TOKEN = document.querySelector('meta[name="tamrel-token"]').content;
// Dialog units to CSS pixels: the rollouts' font at a comfortable reading size.
const SX = 1.9;
const SY = 2.0;
// The server's coarse frame, and the samples per pixel of the final one (tamrel render's default).
const COARSE_SIZE = 64;
const FINAL_SAMPLES = 4;
// The maps of a texture set, as `tamrel render --maps` names them.
const TEXTURE_SET = ['color', 'height', 'normal', 'roughness', 'anisotropy'];

const editor = {
  layout: null,
  params: {},        // the document's values
  maps: {},          // sub-map class names by parameter, null when unset
  enabled: {},       // from the map's own rules, by parameter
  values: {},        // the values at the current frame, by parameter
  units: {},         // true for the spinners that show scene units with those values
  saved: '',         // the values as last opened or saved
  undo: [],
  redo: [],
  path: '',
  kind: 'new',
  controls: new Map(),  // parameter name -> its elements
  // Previews are numbered so that the server renders only this page's newest; the server orders
  // each page's numbers alone, by the page's own name.
  page: Array.from(crypto.getRandomValues(new Uint8Array(12)), (b) => b.toString(16).padStart(2, '0')).join(''),
  generation: 0,
  preview: { generation: 0, pass: '', coarseMs: null, finalMs: null, finalBlob: null },
  finalRequest: null,  // the request of the final pass last drawn, for the 3D view
};
window.tamrelEditor = editor;

// ---- server --------------------------------------------------------------------------------

async function api(path, body) {
  const init = { headers: { 'X-Tamrel-Token': TOKEN } };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const data = await res.json().catch(() => ({ error: `the server answered ${res.status}` }));
  if (!res.ok) throw new Error(data.error || `the server answered ${res.status}`);
  return data;
}

// ---- messages ------------------------------------------------------------------------------

let messageTimer = 0;
function showMessage(text, kind = 'error') {
  const box = document.getElementById('message');
  box.textContent = text;
  box.className = kind;
  box.hidden = false;
  clearTimeout(messageTimer);
  messageTimer = setTimeout(() => { box.hidden = true; }, kind === 'error' ? 8000 : 4000);
}

// ---- values --------------------------------------------------------------------------------

function frame() { return Number(document.getElementById('frame').value); }

// A float as a spinner shows it: up to four decimals, no trailing zeros.
function formatNumber(v, integer) {
  if (integer) return String(v);
  const s = Number(v).toFixed(4);
  return s.includes('.') ? s.replace(/0+$/, '').replace(/\.$/, '.0') : s;
}

function colorToHex(c) {
  const byte = (v) => Math.round(Math.min(1, Math.max(0, v)) * 255).toString(16).padStart(2, '0');
  return `#${byte(c[0])}${byte(c[1])}${byte(c[2])}`;
}
function hexToColor(hex) {
  return [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16) / 255);
}

// Parses and checks a typed value against the parameter's descriptor. Returns the value, or
// throws an Error whose message names the parameter and its range.
function checkValue(name, text) {
  const p = editor.layout.params[name];
  const shown = p.display || name;
  if (p.type === 'bool') return Boolean(text);
  if (p.type === 'color') return text;
  const t = String(text).trim().replace(/\s*u$/, '');
  const v = Number(t);
  if (t === '' || !Number.isFinite(v)) throw new Error(`"${shown}": '${text}' is not a number`);
  if (p.integer && !Number.isInteger(v)) throw new Error(`"${shown}": '${text}' is not a whole number`);
  if (p.range) {
    // Floats are compared as the block stores them, in single precision.
    const x = p.type === 'float' ? Math.fround(v) : v;
    if (x < p.range[0] || x > p.range[1]) {
      throw new Error(`"${shown}": ${t} is out of range (${formatNumber(p.range[0], p.integer)} .. ` +
                      `${formatNumber(p.range[1], p.integer)}); the value was not changed`);
    }
  }
  return v;
}

// The document with one value changed at the current frame: an animated parameter gets (or
// changes) a key there, as the host does in animate mode; any other takes the value outright.
function withValue(params, name, value) {
  const next = structuredClone(params);
  const old = next[name];
  if (old && typeof old === 'object' && !Array.isArray(old) && Array.isArray(old.keys)) {
    const f = frame();
    const keys = old.keys.filter((k) => k[0] !== f);
    keys.push([f, value]);
    keys.sort((a, b) => a[0] - b[0]);
    next[name] = { keys };
  } else {
    next[name] = value;
  }
  return next;
}

async function setValue(name, value) {
  const before = editor.params;
  const next = withValue(before, name, value);
  if (JSON.stringify(next) === JSON.stringify(before)) return;
  editor.params = next;
  // The preview starts at once; the server answers the state of the controls meanwhile. Should
  // it refuse the values after all, they are rolled back and previewed again.
  schedulePreview();
  try {
    await refresh();
  } catch (e) {
    editor.params = before;
    showControls();
    showMessage(e.message);
    schedulePreview();
    return;
  }
  editor.undo.push(before);
  editor.redo = [];
  updateToolbar();
}

async function stepHistory(from, to) {
  if (!from.length) return;
  const current = editor.params;
  editor.params = from.pop();
  to.push(current);
  try {
    await refresh();
  } catch (e) {
    showMessage(e.message);
  }
  updateToolbar();
  schedulePreview();
}

// Asks the server what the editor shows for the document at the current frame.
async function refresh() {
  const state = await api('/api/state', { params: editor.params, frame: frame() });
  editor.values = state.values;
  editor.enabled = state.enabled;
  editor.units = state.units;
  editor.maps = state.maps;
  showControls();
}

// ---- the rollouts --------------------------------------------------------------------------

function place(el, c, heightCap) {
  el.style.left = `${c.x * SX}px`;
  el.style.top = `${c.y * SY}px`;
  el.style.width = `${c.width * SX}px`;
  el.style.height = `${Math.min(c.height, heightCap || c.height) * SY}px`;
}

function bind(name, el) {
  if (!editor.controls.has(name)) editor.controls.set(name, []);
  editor.controls.get(name).push(el);
  el.dataset.param = name;
}

function autoscaleStep(p, v) {
  if (p.integer) return 1;
  const magnitude = Math.abs(v) > 0 ? Math.pow(10, Math.floor(Math.log10(Math.abs(v)))) : 0.1;
  return Math.max(magnitude / 10, p.range && p.range[1] <= 1 ? 0.001 : 0.01);
}

function buildControl(c, dialog) {
  const p = c.param ? editor.layout.params[c.param] : null;
  let el;
  switch (c.role || c.kind) {
    case 'label':
      el = document.createElement('div');
      el.className = `label ${c.align}`;
      el.textContent = c.text;
      break;
    case 'group':
      el = document.createElement('fieldset');
      el.className = 'group';
      el.innerHTML = '<legend></legend>';
      el.firstChild.textContent = c.text;
      break;
    case 'edit':
      el = document.createElement('input');
      el.type = 'text';
      el.className = 'edit';
      el.spellcheck = false;
      el.setAttribute('aria-label', p.display || c.param);
      el.addEventListener('keydown', (e) => { if (e.key === 'Enter') el.blur(); });
      el.addEventListener('change', () => {
        try {
          setValue(c.param, checkValue(c.param, el.value));
        } catch (e) {
          showMessage(e.message);
          showControls();
        }
      });
      break;
    case 'spinner': {
      el = document.createElement('div');
      el.className = 'spinner';
      for (const [dir, glyph] of [[1, '▲'], [-1, '▼']]) {
        const b = document.createElement('button');
        b.type = 'button';
        b.tabIndex = -1;
        b.textContent = glyph;
        b.setAttribute('aria-label', `${dir > 0 ? 'Increase' : 'Decrease'} ${p.display || c.param}`);
        b.addEventListener('click', (e) => {
          const v = Number(editor.values[c.param]);
          const step = autoscaleStep(p, v) * (e.shiftKey ? 10 : 1);
          let next = p.integer ? v + dir * step : Number((v + dir * step).toPrecision(7));
          if (p.range) next = Math.min(p.range[1], Math.max(p.range[0], next));
          setValue(c.param, next);
        });
        el.appendChild(b);
      }
      break;
    }
    case 'checkbox':
      el = document.createElement('input');
      el.type = 'checkbox';
      el.className = 'checkbox';
      el.setAttribute('aria-label', p ? (p.display || c.param) : c.text);
      if (p) el.addEventListener('change', () => setValue(c.param, el.checked));
      break;
    case 'checkbutton':
      el = document.createElement('button');
      el.type = 'button';
      el.className = 'checkbutton';
      el.textContent = c.text;
      el.setAttribute('aria-label', p.display || c.param);
      el.addEventListener('click', () => setValue(c.param, !editor.values[c.param]));
      break;
    case 'swatch':
      el = document.createElement('input');
      el.type = 'color';
      el.className = 'swatch';
      el.setAttribute('aria-label', p.display || c.param);
      el.addEventListener('change', () => setValue(c.param, hexToColor(el.value)));
      break;
    case 'map':
      el = document.createElement('button');
      el.type = 'button';
      el.className = 'mapbutton';
      el.setAttribute('aria-label', p.display || c.param);
      el.addEventListener('click', () => showMessage(
          `"${p.display}" is set in a scene: open a scene whose map has it`, 'info'));
      break;
    case 'list':
      el = document.createElement('select');
      el.className = 'list';
      el.setAttribute('aria-label', p.display || c.param);
      (c.items || []).forEach((text, i) => el.add(new Option(text, String(i))));
      el.addEventListener('change', () => setValue(c.param, Number(el.value)));
      break;
    case 'custom':
    case 'button':
      el = document.createElement('button');
      el.type = 'button';
      el.className = 'pushbutton';
      el.textContent = c.text;
      el.addEventListener('click', () => showMessage(
          `${dialog.title}: "${c.text}" belongs to the plug-in's rollout in the host application`, 'info'));
      break;
    default:
      el = document.createElement('div');
      el.textContent = c.text;
  }
  place(el, c, c.role === 'list' || c.kind === 'combo' ? 12 : 0);
  el.dataset.control = c.id;
  if (c.param) bind(c.param, el);
  return el;
}

function buildRollouts() {
  const host = document.getElementById('rollouts');
  host.textContent = '';
  for (const r of editor.layout.rollouts) {
    const roll = document.createElement('details');
    roll.className = 'rollout';
    roll.open = !r.closed;  // "Mapping" is added rolled up, as the host adds it
    roll.dataset.dialog = r.dialog;
    const title = document.createElement('summary');
    title.textContent = r.title;
    roll.appendChild(title);
    const panel = document.createElement('div');
    panel.className = 'dialog';
    panel.style.width = `${r.width * SX}px`;
    panel.style.height = `${r.height * SY}px`;
    // Frames first, so that the controls inside them stay clickable.
    const ordered = [...r.controls].sort((a, b) => (a.kind === 'group' ? 0 : 1) - (b.kind === 'group' ? 0 : 1));
    for (const c of ordered) panel.appendChild(buildControl(c, r));
    roll.appendChild(panel);
    host.appendChild(roll);
  }
  for (const m of editor.layout.missing) {
    const note = document.createElement('p');
    note.className = 'missing';
    note.textContent = `The "${m.title}" rollout (dialog template ${m.dialog}) is not in the resource script.`;
    host.appendChild(note);
  }
}

function showControls() {
  for (const [name, elements] of editor.controls) {
    const p = editor.layout.params[name];
    const v = editor.values[name];
    const on = editor.enabled[name] !== false;
    for (const el of elements) {
      el.classList.toggle('disabled', !on);
      if ('disabled' in el && !el.classList.contains('mapbutton')) el.disabled = !on;
      if (el.classList.contains('mapbutton')) el.disabled = !on;
      if (el.classList.contains('spinner')) el.querySelectorAll('button').forEach((b) => { b.disabled = !on; });
      if (el.classList.contains('edit') && document.activeElement !== el) {
        // The map answers which offsets and sizes are in scene units for its type.
        const scene = editor.units[name] === true;
        el.value = formatNumber(v, p.integer) + (scene ? ' u' : '');
        el.classList.toggle('scene-units', scene);
        el.title = scene ? `${p.display || name} in scene units` : (p.display || name);
      } else if (el.classList.contains('checkbox')) {
        el.checked = Boolean(v);
      } else if (el.classList.contains('checkbutton')) {
        el.setAttribute('aria-pressed', v ? 'true' : 'false');
      } else if (el.classList.contains('swatch')) {
        el.value = colorToHex(v);
      } else if (el.classList.contains('list')) {
        el.value = String(v);
      } else if (el.classList.contains('mapbutton')) {
        el.textContent = editor.maps[name] || 'None';
        el.classList.toggle('set', Boolean(editor.maps[name]));
      }
    }
  }
}

// ---- the preview ---------------------------------------------------------------------------

function previewRequest(size, generation, samples = FINAL_SAMPLES) {
  return {
    params: editor.params,
    frame: frame(),
    geometry: document.getElementById('geometry').value,
    size,
    samples,
    extent: Number(document.getElementById('extent').value),
    page: editor.page,
    generation,
  };
}

let previewAbort = null;
async function schedulePreview() {
  const generation = ++editor.generation;
  if (previewAbort) previewAbort.abort();
  const abort = new AbortController();
  previewAbort = abort;
  const started = performance.now();
  const finalSize = Number(document.getElementById('preview-size').value);
  const times = [];
  try {
    // One request, whose answer streams a small frame at once, at the larger sizes a draft of
    // half the size at one sample a pixel, and then the final frame as tamrel render bakes it.
    await previewFramesOf(finalSize, generation, abort, started, times);
  } catch (e) {
    if (e.name !== 'AbortError') throw e;  // aborted by a newer preview
  }
}

// The frames of a progressive preview's response as they arrive: [kind, bytes] with kind 'C'
// (the coarse PNG), 'P' (the draft PNG), 'F' (the final PNG) or 'E' (an error's words), each
// after a kind byte and a 4-byte big-endian length.
async function* previewFrames(res) {
  const reader = res.body.getReader();
  let buffer = new Uint8Array(0);
  for (;;) {
    while (buffer.length >= 5) {
      const length = new DataView(buffer.buffer, buffer.byteOffset + 1, 4).getUint32(0);
      if (buffer.length < 5 + length) break;
      yield [String.fromCharCode(buffer[0]), buffer.slice(5, 5 + length)];
      buffer = buffer.slice(5 + length);
    }
    const { value, done } = await reader.read();
    if (done) return;
    const joined = new Uint8Array(buffer.length + value.length);
    joined.set(buffer);
    joined.set(value, buffer.length);
    buffer = joined;
  }
}

const FRAME_KINDS = {
  C: { pass: 'coarse', size: () => COARSE_SIZE, samples: FINAL_SAMPLES },
  P: { pass: 'draft', size: (size) => Math.ceil(size / 2), samples: 1 },
  F: { pass: 'final', size: (size) => size, samples: FINAL_SAMPLES },
};

// Fetches a preview and shows its frames as they come; false when a newer preview has taken
// over or the preview failed.
async function previewFramesOf(size, generation, abort, started, times) {
  const status = document.getElementById('preview-status');
  const request = { ...previewRequest(size, generation), progressive: true };
  const res = await fetch('/api/preview', {
    method: 'POST',
    headers: { 'X-Tamrel-Token': TOKEN, 'Content-Type': 'application/json' },
    body: JSON.stringify(request),
    signal: abort.signal,
  });
  if (generation !== editor.generation || res.status === 409) return false;
  if (!res.ok) {
    const data = await res.json().catch(() => ({}));
    status.textContent = `Preview failed: ${data.error || res.status}`;
    return false;
  }
  for await (const [kind, bytes] of previewFrames(res)) {
    if (generation !== editor.generation) return false;
    if (kind === 'E') {
      status.textContent = `Preview failed: ${new TextDecoder().decode(bytes)}`;
      return false;
    }
    const k = FRAME_KINDS[kind];
    if (!k) continue;  // a kind of frame this page does not know
    const blob = new Blob([bytes], { type: 'image/png' });
    if (!await showFrame(k.pass, k.size(size), k.samples, blob, generation, started, times,
                         request)) {
      return false;
    }
    if (kind === 'F') return true;
  }
  return false;  // superseded before its final frame
}

// Shows one frame of a preview; false when a newer preview has taken over.
async function showFrame(pass, size, samples, blob, generation, started, times, request) {
  const status = document.getElementById('preview-status');
  const img = document.getElementById('preview');
  if (generation !== editor.generation) return false;
  const old = img.src;
  img.src = URL.createObjectURL(blob);
  if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  // The frame has arrived once the browser can draw it.
  await img.decode().catch(() => {});
  if (generation !== editor.generation) return false;
  const ms = performance.now() - started;
  const perPixel = samples === 1 ? ', 1 sample' : '';
  times.push(`${pass} ${size}×${size}${perPixel} in ${Math.round(ms)} ms`);
  img.classList.toggle('coarse', pass === 'coarse');
  img.dataset.pass = pass;
  img.dataset.generation = String(generation);
  editor.preview = {
    generation, pass, size,
    coarseMs: pass === 'coarse' ? ms : editor.preview.coarseMs,
    finalMs: pass === 'final' ? ms : null,
    finalBlob: pass === 'final' ? blob : null,
  };
  status.textContent = times.join(' · ');
  if (editor.onpreview) editor.onpreview(editor.preview);
  // The 3D view (view3d.js) follows the final pass with the asset of the same request.
  if (pass === 'final') {
    const { progressive, ...plain } = request;
    editor.finalRequest = plain;
    window.dispatchEvent(new CustomEvent('tamrel-final-preview', { detail: { request: plain } }));
  }
  return true;
}

// ---- files ---------------------------------------------------------------------------------

function isDirty() { return JSON.stringify(editor.params) !== editor.saved; }

function updateToolbar() {
  document.getElementById('undo').disabled = editor.undo.length === 0;
  document.getElementById('redo').disabled = editor.redo.length === 0;
  const doc = document.getElementById('document');
  doc.textContent = `${editor.path || 'New map'}${isDirty() ? ' (modified)' : ''}`;
  document.title = `${isDirty() ? '• ' : ''}${editor.path ? editor.path.split('/').pop() : 'New map'} – TamrelScratches editor`;
}

// Asks for a file name (and for a bake its output and size); resolves to null when cancelled.
function askFile(title, suggestion, bake) {
  const dialog = document.getElementById('file-dialog');
  document.getElementById('file-title').textContent = title;
  document.getElementById('file-path').value = suggestion;
  document.getElementById('bake-options').hidden = !bake;
  return new Promise((resolve) => {
    dialog.onclose = () => resolve(dialog.returnValue === 'ok' ? document.getElementById('file-path').value.trim() : null);
    dialog.returnValue = '';
    dialog.showModal();
  });
}

function suggestName(ext) {
  const base = editor.path ? editor.path.replace(/\.[^./]*$/, '') : 'scratches';
  return base + ext;
}

// The frame slider reaches at least frame 100, and the last key of the document.
function fitFrameSlider(params) {
  let last = 100;
  for (const v of Object.values(params)) {
    if (v && Array.isArray(v.keys)) for (const k of v.keys) last = Math.max(last, Math.ceil(k[0]));
  }
  document.getElementById('frame').max = String(Math.min(last, 100000));
}

// A model given to the editor (tamrel edit --mesh) is one more geometry: the preview then shows
// the map baked into its UV layout.
function offerModel(mesh) {
  const select = document.getElementById('geometry');
  let option = select.querySelector('option[value="mesh"]');
  if (!option) {
    option = document.createElement('option');
    option.value = 'mesh';
    select.appendChild(option);
  }
  const name = mesh.file.split(/[\\/]/).pop();
  option.textContent = `Model (${name}, UV layout)`;
}

async function openDocument(doc) {
  if (doc.mesh) offerModel(doc.mesh);
  fitFrameSlider(doc.params);
  editor.params = doc.params;
  editor.path = doc.path;
  editor.kind = doc.kind;
  editor.saved = JSON.stringify(doc.params);
  editor.undo = [];
  editor.redo = [];
  await refresh();
  updateToolbar();
  schedulePreview();
}

async function onOpen() {
  if (isDirty() && !confirm('Discard the changes that are not saved?')) return;
  const path = await askFile('Open a scene or a preset', editor.path || '', false);
  if (!path) return;
  try {
    await openDocument(await api('/api/open', { path }));
    showMessage(`Opened ${editor.path}`, 'info');
  } catch (e) {
    showMessage(e.message);
  }
}

async function onSave(kind) {
  const scene = kind === 'scene';
  const path = await askFile(scene ? 'Save the scene' : 'Save a preset',
                             suggestName(scene ? '.scn' : '.json'), false);
  if (!path) return;
  try {
    const r = await api(scene ? '/api/save-scene' : '/api/save-preset', { params: editor.params, path });
    editor.saved = JSON.stringify(editor.params);
    if (scene) editor.path = r.path;
    updateToolbar();
    showMessage(`Saved ${r.path}`, 'info');
  } catch (e) {
    showMessage(e.message);
  }
}

async function onBake() {
  const output = document.getElementById('bake-output');
  const path = await askFile('Bake to an image file', suggestName('.png'), true);
  if (!path) return;
  const size = Number(document.getElementById('bake-size').value);
  let request = { ...previewRequest(size, 0), output: output.value, path };
  if (output.value === 'set') {
    // A texture set: one file per map, named by the {map} pattern (added before the extension
    // when the name has none).
    const named = path.includes('{map}') ? path : path.replace(/(\.[^./]*)?$/, '_{map}$1');
    request = { ...previewRequest(size, 0), maps: TEXTURE_SET, path: named };
  }
  try {
    const r = await api('/api/bake', request);
    showMessage(`Baked ${r.paths.join(', ')}`, 'info');
  } catch (e) {
    showMessage(e.message);
  }
}

// ---- start ---------------------------------------------------------------------------------

async function start() {
  editor.layout = await api('/api/layout');
  buildRollouts();
  await openDocument(await api('/api/document'));
  document.getElementById('open').addEventListener('click', onOpen);
  document.getElementById('save-scene').addEventListener('click', () => onSave('scene'));
  document.getElementById('save-preset').addEventListener('click', () => onSave('preset'));
  document.getElementById('bake').addEventListener('click', onBake);
  document.getElementById('undo').addEventListener('click', () => stepHistory(editor.undo, editor.redo));
  document.getElementById('redo').addEventListener('click', () => stepHistory(editor.redo, editor.undo));
  document.addEventListener('keydown', (e) => {
    if (!(e.ctrlKey || e.metaKey) || document.getElementById('file-dialog').open) return;
    const key = e.key.toLowerCase();
    if (key === 'z' && !e.shiftKey) {
      e.preventDefault();
      stepHistory(editor.undo, editor.redo);
    } else if ((key === 'z' && e.shiftKey) || key === 'y') {
      e.preventDefault();
      stepHistory(editor.redo, editor.undo);
    }
  });
  const frameInput = document.getElementById('frame');
  frameInput.addEventListener('input', async () => {
    document.getElementById('frame-number').textContent = frameInput.value;
    try { await refresh(); } catch (e) { showMessage(e.message); }
    schedulePreview();
  });
  for (const id of ['geometry', 'preview-size']) {
    document.getElementById(id).addEventListener('change', schedulePreview);
  }
  document.getElementById('extent').addEventListener('change', (e) => {
    const v = Number(e.target.value);
    if (!(v > 0 && v <= 1e6)) {
      showMessage(`The plane's width must be above 0 and up to 1000000 scene units, not '${e.target.value}'`);
      e.target.value = '40';
    }
    schedulePreview();
  });
  window.addEventListener('beforeunload', (e) => {
    if (!isDirty()) return;
    e.preventDefault();
    e.returnValue = '';
  });
  document.body.dataset.ready = 'true';
}

start().catch((e) => showMessage(`The editor could not start: ${e.message}`));
