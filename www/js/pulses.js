// Pulse lists: reading CSV text and 9-byte binary records, checking every line, and the
// big-endian record form the "stream" method carries as Base64.
//
// A list is held column-wise: ticks (1 ns each), digital byte, two signed 16-bit analog values,
// and start[i], the time at which pulse i begins (start[n] is the total duration).

export const MAX_PULSES = 2000000;         // what one "stream" call accepts
export const MAX_FILE_BYTES = 128 << 20;   // longer than any valid list of MAX_PULSES lines
export const MAX_REPORTED_ERRORS = 1000;   // lines listed by number; the rest are counted
export const RECORD_BYTES = 9;

export class PulseList {
  constructor(n) {
    this.n = n;
    this.ticks = new Uint32Array(n);
    this.digi = new Uint8Array(n);
    this.ao0 = new Int16Array(n);
    this.ao1 = new Int16Array(n);
    this.start = null;
  }
  // Fills start[] from the ticks; called once the list is complete.
  finish() {
    const s = new Float64Array(this.n + 1);
    let t = 0;
    for (let i = 0; i < this.n; i++) { s[i] = t; t += this.ticks[i]; }
    s[this.n] = t;
    this.start = s;
    return this;
  }
  get duration() { return this.start ? this.start[this.n] : 0; }
  // The columns, for passing between threads (their buffers can be transferred).
  columns() { return { n: this.n, ticks: this.ticks, digi: this.digi, ao0: this.ao0, ao1: this.ao1, start: this.start }; }
  static fromColumns(c) { return Object.assign(Object.create(PulseList.prototype), c); }
  // Shrinks the columns to the first n pulses (the reader allocates for the worst case).
  truncate(n) {
    this.n = n;
    this.ticks = this.ticks.subarray(0, n);
    this.digi = this.digi.subarray(0, n);
    this.ao0 = this.ao0.subarray(0, n);
    this.ao1 = this.ao1.subarray(0, n);
  }
}

// Result of reading: {list} when every line is good, else {errors: [{line, reason}], badLines}.
// A fault of the whole input (too long, too many pulses, a bad binary file) is line 0. The forms
// and texts are those of docs/sequences.md, the same as the tarvex command's.
class ErrorLog {
  constructor() { this.errors = []; this.badLines = 0; }
  add(line, reason) {
    this.badLines++;
    if (this.errors.length < MAX_REPORTED_ERRORS) this.errors.push({ line, reason });
  }
}

function fault(reason) { const log = new ErrorLog(); log.add(0, reason); return log; }

const CH_0 = 48, CH_1 = 49, CH_COMMA = 44, CH_LF = 10, CH_CR = 13, CH_SP = 32, CH_TAB = 9, CH_MINUS = 45, CH_HASH = 35;
const HEADER = 'ticks,digital,ao0,ao1';
const WHAT = ['ticks must be 0 to 4294967295', 'digital must be 0 to 255 or eight 0/1 characters',
  'ao0 must be -32768 to 32767', 'ao1 must be -32768 to 32767'];

function isBlank(c) { return c === CH_SP || c === CH_TAB; }
const text = (bytes, a, b) => new TextDecoder().decode(bytes.subarray(a, b));

// The line being read: its bytes up to `end`, the position `at` (module state: no closures per line).
let src = null, at = 0, end = 0;
function skip() { while (at < end && isBlank(src[at])) at++; }
// 1 to `max` decimal digits at `at`, else -1.
function number(max) {
  const s = at;
  let v = 0;
  while (at < end && src[at] >= CH_0 && src[at] <= CH_0 + 9 && at - s <= max) v = v * 10 + src[at++] - CH_0;
  return at === s || at - s > max ? -1 : v;
}
// Blanks and one ',' (the last field: the line's end).
function separator(last) {
  skip();
  if (last) return at === end;
  if (at === end || src[at] !== CH_COMMA) return false;
  at++;
  return true;
}

// Reads the line [a, b) into fields[0..3]: -1, or the field (0-3) at which it fails.
function parseLine(bytes, a, b, fields) {
  src = bytes; at = a; end = b;
  skip();
  let v = number(10);
  if (v < 0 || v > 4294967295 || !separator(false)) return 0;
  fields[0] = v;
  skip();
  let bits = 0;
  while (bits < 9 && at + bits < b && (bytes[at + bits] === CH_0 || bytes[at + bits] === CH_1)) bits++;
  if (bits === 8 && (at + 8 === b || isBlank(bytes[at + 8]) || bytes[at + 8] === CH_COMMA)) {
    v = 0;
    for (let i = 0; i < 8; i++) v = v * 2 + bytes[at + i] - CH_0;
    at += 8;
  } else if ((v = number(3)) < 0 || v > 255) {
    return 1;
  }
  if (!separator(false)) return 1;
  fields[1] = v;
  for (let k = 2; k < 4; k++) {
    skip();
    const negative = at < b && bytes[at] === CH_MINUS;
    if (negative) at++;
    v = number(5);
    if (v < 0 || v > (negative ? 32768 : 32767) || !separator(k === 3)) return k;
    fields[k] = negative ? -v : v;
  }
  return -1;
}

// The fields of [a, b) without the blanks around them.
function fieldTexts(bytes, a, b) {
  return text(bytes, a, b).split(',').map((f) => f.replace(/^[ \t]+|[ \t]+$/g, ''));
}

function describe(bytes, a, b, field) {
  const f = fieldTexts(bytes, a, b);
  if (f.length !== 4) return `4 fields expected (${HEADER}), found ${f.length}`;
  const shown = f[field].length > 40 ? f[field].slice(0, 40) + '...' : f[field];
  return `${WHAT[field]}, not "${shown}"`;
}

function isHeader(bytes, a, b) {
  return b - a <= 200 && fieldTexts(bytes, a, b).join(',').toLowerCase() === HEADER;
}

// Reads CSV lines "ticks,digital,ao0,ao1": an optional header line first, blank lines and
// comments skipped. `bytes` is a Uint8Array of the text.
export function parseCsv(bytes, limit = MAX_PULSES) {
  if (bytes.length > MAX_FILE_BYTES) return fault(`the text is ${bytes.length} bytes long, more than ${MAX_FILE_BYTES}`);
  // Every pulse line but the last has at least 8 bytes ("0,0,0,0" and its end).
  const list = new PulseList(Math.min(Math.floor(bytes.length / 8) + 1, limit));
  const log = new ErrorLog();
  const fields = [0, 0, 0, 0];
  const len = bytes.length;
  let n = 0, lineNo = 0, pos = 0, first = true;
  while (pos < len) {
    lineNo++;
    let e = bytes.indexOf(CH_LF, pos);
    const next = e < 0 ? len : e + 1;
    if (e < 0) e = len;
    if (e > pos && bytes[e - 1] === CH_CR) e--;
    const a = pos;
    pos = next;
    const failed = parseLine(bytes, a, e, fields);
    if (failed < 0) {
      if (n < list.n) { list.ticks[n] = fields[0]; list.digi[n] = fields[1]; list.ao0[n] = fields[2]; list.ao1[n] = fields[3]; }
      n++;
      first = false;
      continue;
    }
    let s = a;
    while (s < e && isBlank(bytes[s])) s++;
    if (s === e || bytes[s] === CH_HASH) continue;
    if (!(first && isHeader(bytes, s, e))) log.add(lineNo, describe(bytes, s, e, failed));
    first = false;
  }
  if (log.badLines) return log;
  if (n > limit) return fault(`${n.toLocaleString('en')} pulses, above the instrument's limit of ${limit.toLocaleString('en')} pulses for stream`);
  if (n === 0) return fault('no pulses');
  list.truncate(n);
  return { list: list.finish() };
}

export const MAGIC = 'TVXPULSE';
export const HEADER_BYTES = 16;

function hasMagic(bytes) {
  if (bytes.length < MAGIC.length) return false;
  for (let i = 0; i < MAGIC.length; i++) if (bytes[i] !== MAGIC.charCodeAt(i)) return false;
  return true;
}
const plural = (n, what) => `${n} ${what}${n === 1 ? '' : 's'}`;

// Reads 9-byte records: ticks (unsigned 32-bit), digital byte, ao0, ao1 (signed 16-bit). A file
// with the "TVXPULSE" header names their byte order; bare records are read only in the order
// given ('little' or 'big'), never guessed.
export function parseBinary(bytes, order = null) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  let offset = 0, n, little = order === 'little';
  if (hasMagic(bytes)) {
    if (bytes.length < HEADER_BYTES) return fault(`the "TVXPULSE" header is cut short: ${plural(bytes.length, 'byte')}`);
    if (bytes[8] !== 1) return fault(`version ${bytes[8]} of "TVXPULSE" unknown (this reader knows 1)`);
    const o = bytes[9];
    if ((o !== 76 && o !== 66) || bytes[10] !== 0 || bytes[11] !== 0) {
      const shown = o >= 32 && o < 127 ? String.fromCharCode(o) : `\\x${o.toString(16).padStart(2, '0')}`;
      return fault(`byte order "${shown}" unknown (L or B)`);
    }
    little = o === 76;
    offset = HEADER_BYTES;
    n = view.getUint32(12, little);
    if (bytes.length - offset !== n * RECORD_BYTES) {
      return fault(`the header announces ${plural(n, 'record')} (${n * RECORD_BYTES} bytes), ${bytes.length - offset} bytes follow it`);
    }
  } else {
    const rest = bytes.length % RECORD_BYTES;
    n = (bytes.length - rest) / RECORD_BYTES;
    if (rest) return fault(`${plural(rest, 'byte')} after the last whole 9-byte record (record ${n + 1} is incomplete)`);
    if (n > 0 && order !== 'little' && order !== 'big') {
      return fault('9-byte records without the "TVXPULSE" header: give their byte order (little or big); ' +
        `the first record reads ticks ${view.getUint32(0, true)} little-endian, ticks ${view.getUint32(0, false)} big-endian`);
    }
  }
  if (n === 0) return fault('no pulses');
  if (n > MAX_PULSES) return fault(`${n.toLocaleString('en')} pulses, above the instrument's limit of ${MAX_PULSES.toLocaleString('en')} pulses for stream`);
  const list = new PulseList(n);
  for (let i = 0, o = offset; i < n; i++, o += RECORD_BYTES) {
    list.ticks[i] = view.getUint32(o, little);
    list.digi[i] = bytes[o + 4];
    list.ao0[i] = view.getInt16(o + 5, little);
    list.ao1[i] = view.getInt16(o + 7, little);
  }
  return { list: list.finish() };
}

// The list as a binary pulse file: the "TVXPULSE" header and little-endian records.
export function toBinaryFile(list) {
  const raw = new Uint8Array(HEADER_BYTES + list.n * RECORD_BYTES);
  const view = new DataView(raw.buffer);
  for (let i = 0; i < MAGIC.length; i++) raw[i] = MAGIC.charCodeAt(i);
  raw[8] = 1; raw[9] = 76;
  view.setUint32(12, list.n, true);
  for (let i = 0, o = HEADER_BYTES; i < list.n; i++, o += RECORD_BYTES) {
    view.setUint32(o, list.ticks[i], true);
    raw[o + 4] = list.digi[i];
    view.setInt16(o + 5, list.ao0[i], true);
    view.setInt16(o + 7, list.ao1[i], true);
  }
  return raw;
}

// Binary when the file starts with "TVXPULSE"; else CSV when named .csv/.txt or when its first
// 4 KiB hold only text characters (printable ASCII, tab, CR, LF); else bare records.
export function looksBinary(bytes, name = '') {
  if (hasMagic(bytes)) return true;
  if (/\.(csv|txt)$/i.test(name)) return false;
  const m = Math.min(bytes.length, 4096);
  for (let i = 0; i < m; i++) {
    const c = bytes[i];
    if ((c < 32 || c > 126) && c !== CH_TAB && c !== CH_LF && c !== CH_CR) return true;
  }
  return false;
}

// format: 'auto' (by the header, the name and the content), 'csv', 'binary' (header required),
// 'little' or 'big' (bare records in that byte order; a file with the header is read by it).
export function parseAny(bytes, format = 'auto', name = '') {
  if (format === 'csv') return parseCsv(bytes);
  if (format === 'little' || format === 'big') return parseBinary(bytes, format);
  return format === 'binary' || looksBinary(bytes, name) ? parseBinary(bytes) : parseCsv(bytes);
}

const B64 = new TextEncoder().encode('ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/');

// The list as Base64 of big-endian 9-byte records: a string where the browser encodes natively,
// else ASCII bytes (either is a request body piece).
export function toBase64Records(list) {
  const n = list.n;
  const raw = new Uint8Array(n * RECORD_BYTES);
  const view = new DataView(raw.buffer);
  for (let i = 0, o = 0; i < n; i++, o += RECORD_BYTES) {
    view.setUint32(o, list.ticks[i], false);
    raw[o + 4] = list.digi[i];
    view.setInt16(o + 5, list.ao0[i], false);
    view.setInt16(o + 7, list.ao1[i], false);
  }
  return raw.toBase64 ? raw.toBase64() : base64Bytes(raw);
}

export function base64Bytes(raw) {
  const len = raw.length;
  const out = new Uint8Array(Math.ceil(len / 3) * 4);
  let o = 0, i = 0;
  for (; i + 2 < len; i += 3) {
    const v = (raw[i] << 16) | (raw[i + 1] << 8) | raw[i + 2];
    out[o++] = B64[v >> 18]; out[o++] = B64[(v >> 12) & 63];
    out[o++] = B64[(v >> 6) & 63]; out[o++] = B64[v & 63];
  }
  if (i < len) {
    const v = (raw[i] << 16) | ((i + 1 < len ? raw[i + 1] : 0) << 8);
    out[o++] = B64[v >> 18]; out[o++] = B64[(v >> 12) & 63];
    out[o++] = i + 1 < len ? B64[(v >> 6) & 63] : 61;
    out[o++] = 61;
  }
  return out;
}

// Durations for people: ns, µs, ms or s with up to four significant digits.
export function formatTime(ns) {
  const a = Math.abs(ns);
  if (a < 1e3) return `${+ns.toFixed(1)} ns`;
  if (a < 1e6) return `${+(ns / 1e3).toPrecision(4)} µs`;
  if (a < 1e9) return `${+(ns / 1e6).toPrecision(4)} ms`;
  return `${+(ns / 1e9).toPrecision(6)} s`;
}
