// Names of the outputs, which rows the waveform shows, and the setup file that carries the names
// between this page and the Python package:
//
//   {"format": "tarvex-setup", "version": 1,
//    "channels": [{"name": "laser", "output": "d0", "default": 0}, ...]}
//
// Outputs without a name are left out of the file. Names are 1 to 32 letters, digits, "_", "-"
// and spaces, unique; "default" is 0 or 1 for a digital output and a signed 16-bit value for an
// analog one. Unknown keys are ignored; other formats and versions are refused.

export const OUTPUTS = ['d0', 'd1', 'd2', 'd3', 'd4', 'd5', 'd6', 'd7', 'ao0', 'ao1'];
export const MAX_SETUP_BYTES = 65536;
const NAME = /^[A-Za-z0-9_\- ]{1,32}$/;
const STORE_KEY = 'tarvex.channels';

// The empty state: per output {name ('' when none), default, show (true, false, or null: as used)}.
export function blank() {
  return Object.fromEntries(OUTPUTS.map((o) => [o, { name: '', default: 0, show: null }]));
}

function defaultOk(output, v) {
  return Number.isInteger(v) && (output[0] === 'd' ? v === 0 || v === 1 : v >= -32768 && v <= 32767);
}

// Reads a setup file's text into a state (shown choices from `keep`); throws an Error that says
// what is wrong.
export function parseSetup(text, keep = blank()) {
  if (text.length > MAX_SETUP_BYTES) throw new Error(`a setup file is at most ${MAX_SETUP_BYTES} bytes`);
  let doc;
  try { doc = JSON.parse(text); } catch { throw new Error('not a JSON text'); }
  if (!doc || doc.format !== 'tarvex-setup') throw new Error('not a tarvex setup file ("format" is not "tarvex-setup")');
  if (doc.version !== 1) throw new Error(`setup file version ${JSON.stringify(doc.version)} is not supported (1 is)`);
  if (!Array.isArray(doc.channels) || doc.channels.length > OUTPUTS.length) throw new Error('"channels" must be a list of at most 10 entries');
  const state = blank(), names = new Set();
  for (const o of OUTPUTS) state[o].show = keep[o].show;
  doc.channels.forEach((c, i) => {
    const where = `channel ${i + 1}`;
    if (!c || typeof c !== 'object' || !OUTPUTS.includes(c.output)) throw new Error(`${where}: "output" must be one of ${OUTPUTS.join(', ')}`);
    if (state[c.output].name) throw new Error(`${where}: output ${c.output} is named twice`);
    if (typeof c.name !== 'string' || !NAME.test(c.name)) throw new Error(`${where}: a name is 1 to 32 letters, digits, "_", "-" or spaces`);
    if (names.has(c.name)) throw new Error(`${where}: the name "${c.name}" is used twice`);
    const def = c.default ?? 0;
    if (!defaultOk(c.output, def)) throw new Error(`${where}: default ${JSON.stringify(def)} does not fit output ${c.output}`);
    names.add(c.name);
    state[c.output] = { name: c.name, default: def, show: keep[c.output].show };
  });
  return state;
}

export function setupText(state) {
  const channels = OUTPUTS.filter((o) => state[o].name).map((o) => ({ name: state[o].name, output: o, default: state[o].default }));
  return `${JSON.stringify({ format: 'tarvex-setup', version: 1, channels }, null, 2)}\n`;
}

// Why `name` cannot name output `output` in `state`, or ''.
export function nameError(state, output, name) {
  if (name === '') return '';
  if (!NAME.test(name)) return 'a name is 1 to 32 letters, digits, "_", "-" or spaces';
  if (OUTPUTS.some((o) => o !== output && state[o].name === name)) return `"${name}" names another output`;
  return '';
}

// The state kept in this browser (names, defaults and shown choices); blank when there is none.
export function loadStored() {
  try {
    const kept = JSON.parse(localStorage.getItem(STORE_KEY) || 'null');
    if (!kept) return blank();
    const state = parseSetup(JSON.stringify(kept.setup));
    for (const o of OUTPUTS) state[o].show = typeof kept.show?.[o] === 'boolean' ? kept.show[o] : null;
    return state;
  } catch {
    return blank();
  }
}

export function store(state) {
  const show = Object.fromEntries(OUTPUTS.map((o) => [o, state[o].show]));
  localStorage.setItem(STORE_KEY, JSON.stringify({ setup: JSON.parse(setupText(state)), show }));
}

// The rows of the waveform view for a state.
export function viewChannels(state) {
  return OUTPUTS.map((o) => ({ key: o, kind: o[0] === 'd' ? 'd' : 'a', index: Number(o.slice(o[0] === 'd' ? 1 : 2)),
    name: state[o].name || o.toUpperCase(), show: state[o].show }));
}
