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
// A failure of the whole input (too long, too many pulses) is one error with line 0.
class ErrorLog {
  constructor() { this.errors = []; this.badLines = 0; }
  add(line, reason) {
    this.badLines++;
    if (this.errors.length < MAX_REPORTED_ERRORS) this.errors.push({ line, reason });
  }
}

const CH_0 = 48, CH_9 = 57, CH_COMMA = 44, CH_LF = 10, CH_CR = 13, CH_SP = 32, CH_TAB = 9;
const CH_MINUS = 45, CH_PLUS = 43;

const FIELD_NAMES = ['ticks', 'digital', 'ao0', 'ao1'];

// Reads one field of a CSV line, bytes [a, b) with blanks already trimmed. Returns the value or
// an error text.
function fieldValue(bytes, a, b, k) {
  if (a >= b) return `${FIELD_NAMES[k]} is empty`;
  if (k === 1 && b - a === 8) {
    // Eight 0/1 characters: the digital byte written in binary, output 7 first.
    let v = 0, binary = true;
    for (let i = a; i < b; i++) {
      const c = bytes[i];
      if (c !== CH_0 && c !== CH_0 + 1) { binary = false; break; }
      v = (v << 1) | (c - CH_0);
    }
    if (binary) return v;
  }
  let i = a, neg = false;
  if (bytes[i] === CH_MINUS || bytes[i] === CH_PLUS) { neg = bytes[i] === CH_MINUS; i++; }
  if (i >= b || b - i > 12) return `${FIELD_NAMES[k]} is not a whole number`;
  let v = 0;
  for (; i < b; i++) {
    const d = bytes[i] - CH_0;
    if (d < 0 || d > 9) return `${FIELD_NAMES[k]} is not a whole number`;
    v = v * 10 + d;
  }
  if (neg) v = -v;
  if (k === 0) {
    if (v < 0 || v > 4294967295) return `ticks ${v} outside 0 to 4294967295`;
  } else if (k === 1) {
    if (v < 0 || v > 255) return `digital ${v} outside 0 to 255 (or eight 0/1 characters)`;
  } else if (v < -32768 || v > 32767) {
    return `${FIELD_NAMES[k]} ${v} outside -32768 to 32767`;
  }
  return v;
}

function isBlank(c) { return c === CH_SP || c === CH_TAB || c === CH_CR; }

function headerLine(text) {
  return text.split(',').map((f) => f.trim().toLowerCase()).join(',') === FIELD_NAMES.join(',');
}

// Checks one line [a, b) field by field: the values, or an error text.
function parseLine(bytes, a, b, fields) {
  let k = 0, fa = a;
  for (let i = a; i <= b; i++) {
    if (i === b || bytes[i] === CH_COMMA) {
      if (k === 4) return 'more than 4 fields';
      let x = fa, y = i;
      while (x < y && isBlank(bytes[x])) x++;
      while (y > x && isBlank(bytes[y - 1])) y--;
      const v = fieldValue(bytes, x, y, k);
      if (typeof v === 'string') return v;
      fields[k++] = v;
      fa = i + 1;
    }
  }
  return k < 4 ? `${k} field${k === 1 ? '' : 's'}, 4 expected (ticks,digital,ao0,ao1)` : null;
}

// Position and digit count of the fast path's number reader.
let at = 0, digits = 0;

// Reads an optionally signed decimal number at `at` with blanks around it; `digits` tells how
// many digits it had (0: none).
function number(bytes) {
  let i = at, c = bytes[i];
  while (c === CH_SP || c === CH_TAB) c = bytes[++i];
  let neg = false;
  if (c === CH_MINUS || c === CH_PLUS) { neg = c === CH_MINUS; c = bytes[++i]; }
  const from = i;
  let v = 0;
  while (c >= CH_0 && c <= CH_9) { v = v * 10 + (c - CH_0); c = bytes[++i]; }
  digits = i - from;
  while (c === CH_SP || c === CH_TAB) c = bytes[++i];
  at = i;
  return neg ? -v : v;
}

// Reads CSV lines "ticks,digital,ao0,ao1" (an optional header line first; blank lines are
// skipped). `bytes` is a Uint8Array of the text (ASCII). Well-formed lines take a fast path of
// one pass over their bytes; any other line is checked field by field for its reason.
export function parseCsv(bytes) {
  const log = new ErrorLog();
  if (bytes.length > MAX_FILE_BYTES) {
    log.add(0, `the text is ${bytes.length} bytes long, more than ${MAX_FILE_BYTES}`);
    return log;
  }
  // Upper bound of pulses: a pulse line has at least 8 bytes with its line end ("0,0,0,0\n").
  const list = new PulseList(Math.min(Math.floor((bytes.length + 1) / 8) + 1, MAX_PULSES + 1));
  const { ticks, digi, ao0, ao1 } = list;
  const len = bytes.length;
  const fields = [0, 0, 0, 0];
  let n = 0, lineNo = 0, pos = 0, seenContent = false;
  while (pos < len) {
    lineNo++;
    // Fast path: four plain numbers separated by commas, the line ended by LF (CR LF) or the end.
    let ok = false;
    at = pos;
    const t = number(bytes);
    if (digits > 0 && digits <= 10 && t >= 0 && t <= 4294967295 && bytes[at] === CH_COMMA) {
      at++;
      let d = number(bytes);
      const dd = digits;
      if (dd > 0 && dd <= 8 && bytes[at] === CH_COMMA) {
        at++;
        if (dd === 8) {
          // Eight 0/1 characters: the digital byte in binary, output 7 first.
          let v = 0, j = at - 1;
          while (bytes[j - 1] === CH_SP || bytes[j - 1] === CH_TAB) j--;
          if (bytes[j - 9] === CH_PLUS || bytes[j - 9] === CH_MINUS) v = -1;
          for (let x = j - 8; x < j && v >= 0; x++) v = bytes[x] > CH_0 + 1 ? -1 : v * 2 + (bytes[x] - CH_0);
          if (v >= 0) d = v;
        }
        const a0 = number(bytes);
        if (digits > 0 && digits <= 6 && bytes[at] === CH_COMMA) {
          at++;
          const a1 = number(bytes);
          let c = bytes[at];
          if (c === CH_CR) c = bytes[++at];
          if (digits > 0 && digits <= 6 && (c === CH_LF || at >= len) && d >= 0 && d <= 255 &&
              a0 >= -32768 && a0 <= 32767 && a1 >= -32768 && a1 <= 32767) {
            ticks[n] = t; digi[n] = d; ao0[n] = a0; ao1[n] = a1;
            ok = true;
          }
        }
      }
    }
    const i = at;
    let end = ok ? i : bytes.indexOf(CH_LF, pos);
    if (end === -1) end = len;
    const a = pos;
    pos = end + 1;
    if (ok) {
      seenContent = true;
      if (n === MAX_PULSES) { log.add(lineNo, `more than ${MAX_PULSES} pulses`); break; }
      n++;
      continue;
    }
    // The slow path: blank lines, the header, and the reason of a bad line.
    let x = a, y = end;
    while (x < y && isBlank(bytes[x])) x++;
    while (y > x && isBlank(bytes[y - 1])) y--;
    if (x === y) continue;
    const first = !seenContent;
    seenContent = true;
    const c0 = bytes[x];
    if (first && !(c0 >= CH_0 && c0 <= CH_9) && c0 !== CH_MINUS && c0 !== CH_PLUS) {
      if (headerLine(new TextDecoder().decode(bytes.subarray(x, Math.min(y, x + 200))))) continue;
      log.add(lineNo, 'not a pulse and not the header "ticks,digital,ao0,ao1"');
      continue;
    }
    const bad = parseLine(bytes, x, y, fields);
    if (bad) { log.add(lineNo, bad); continue; }
    // A good line the fast path did not take (for example blanks before a CR).
    if (n === MAX_PULSES) { log.add(lineNo, `more than ${MAX_PULSES} pulses`); break; }
    ticks[n] = fields[0]; digi[n] = fields[1]; ao0[n] = fields[2]; ao1[n] = fields[3];
    n++;
  }
  if (log.badLines) return log;
  if (n === 0) { log.add(0, 'no pulses'); return log; }
  list.truncate(n);
  return { list: list.finish() };
}

// Reads 9-byte records: ticks (unsigned 32-bit), digital byte, ao0, ao1 (signed 16-bit), all
// big-endian, the record form of the "stream" method.
export function parseBinary(bytes) {
  const log = new ErrorLog();
  if (bytes.length % RECORD_BYTES !== 0) {
    log.add(0, `${bytes.length} bytes is not a whole number of ${RECORD_BYTES}-byte records ` +
               `(record ${Math.floor(bytes.length / RECORD_BYTES) + 1} is incomplete)`);
    return log;
  }
  const n = bytes.length / RECORD_BYTES;
  if (n === 0) { log.add(0, 'no pulses'); return log; }
  if (n > MAX_PULSES) { log.add(0, `${n} pulses, more than ${MAX_PULSES}`); return log; }
  const list = new PulseList(n);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let i = 0, o = 0; i < n; i++, o += RECORD_BYTES) {
    list.ticks[i] = view.getUint32(o, false);
    list.digi[i] = bytes[o + 4];
    list.ao0[i] = view.getInt16(o + 5, false);
    list.ao1[i] = view.getInt16(o + 7, false);
  }
  return { list: list.finish() };
}

// Text files are CSV; a file with control bytes other than tab, CR and LF in its first 4 KiB is
// taken as binary records.
export function looksBinary(bytes) {
  const m = Math.min(bytes.length, 4096);
  for (let i = 0; i < m; i++) {
    const c = bytes[i];
    if (c < 32 && c !== CH_TAB && c !== CH_LF && c !== CH_CR) return true;
  }
  return false;
}

export function parseAny(bytes, format = 'auto') {
  const binary = format === 'binary' || (format === 'auto' && looksBinary(bytes));
  return binary ? parseBinary(bytes) : parseCsv(bytes);
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
