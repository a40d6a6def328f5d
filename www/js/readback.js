// What a slot holds, read back page by page from "/api/slot/<N>/segments" in the binary form
// (on the readback worker's thread), and its comparison with the loaded list.
//
// Segments are [ticks, digital byte, DAC code 0, DAC code 1]: constant output as played. The
// loaded list is converted to DAC codes with the calibration the instrument reports, exactly as
// the instrument converts analog values (16.16 fixed point, clamped to 14 bits).

import { coefficients, toCode, toValue } from './analog.js';

export { coefficients, toCode };

export const PAGE = 65536;                // segments asked for per request (the server's cap)
export const MAX_SEGMENTS = 6300000;      // 2,000,000 short pulses off the 8 ns grid play as 4.4 million

// Whether the instrument accepts the calibration: the conversion cannot leave 32 bits for any
// analog value.
export function calibrationInRange(dcOffset, slope) {
  if (!Number.isFinite(dcOffset) || !Number.isFinite(slope) || slope === 0) return false;
  const c = coefficients(dcOffset, slope);
  if (!c || Math.abs(c.gain) > 2147483647 || Math.abs(c.offset) > 2147483648) return false;
  return c.offset - 32768 * c.gain < 2147483647 && c.offset + 32767 * c.gain >= -2147483647;
}

// One page of the binary form (docs/json-rpc.md): {n, more, version, error, ticks, digi, code0,
// code1}; version 0 when the instrument names none.
export function decodePage(buffer) {
  const bytes = new Uint8Array(buffer), len = bytes.length;
  const bad = () => new Error('unreadable page');
  if (len < HEAD) throw bad();
  const view = new DataView(buffer);
  const n = view.getUint32(0, true), errLen = bytes[5], version = Number(view.getBigUint64(6, true));
  if (n > PAGE || HEAD + errLen + n * 6 > len) throw bad();
  const error = String.fromCharCode(...bytes.subarray(HEAD, HEAD + errLen));
  const ticks = new Float64Array(n), digi = new Uint8Array(n), code0 = new Uint16Array(n), code1 = new Uint16Array(n);
  let p = HEAD + errLen;
  for (let i = 0; i < n; i++) {
    let t = 0, mul = 1, b;
    do {
      if (p >= len || mul > 2 ** 49) throw bad();     // above 2^56 ns no list can reach
      b = bytes[p++];
      t += (b & 0x7F) * mul;
      mul *= 128;
    } while (b & 0x80);
    if (p + 5 > len) throw bad();
    ticks[i] = t; digi[i] = bytes[p];
    code0[i] = bytes[p + 1] | bytes[p + 2] << 8; code1[i] = bytes[p + 3] | bytes[p + 4] << 8;
    p += 5;
  }
  if (p !== len) throw bad();
  return { n, more: bytes[4] === 1, version, error, ticks, digi, code0, code1 };
}
const HEAD = 14;

// Reads every segment of `slot` as a trace; getBytes(url) fetches one page's bytes, onPage
// (segmentsSoFar, traceSoFar) sees each page added. Pages are asked for in order, the next as
// soon as one has arrived (the instrument decodes on from where the last page ended), and this
// one is decoded and added meanwhile; a version the instrument names is passed on, so pages of
// two contents of the slot are refused.
export async function readSlot(slot, getBytes, cal0, cal1, onPage) {
  const trace = new TraceBuilder(cal0, cal1);
  let version = '';
  const url = (from) => `/api/slot/${slot}/segments?from=${from}&max=${PAGE}&form=binary${version}`;
  let next = getBytes(url(0));
  for (let more = true; more;) {
    const bytes = await next;
    const head = new DataView(bytes, 0, Math.min(bytes.byteLength, HEAD));
    if (head.byteLength === HEAD) {
      const n = head.getUint32(0, true), v = head.getBigUint64(6, true);
      if (v && !version) version = `&version=${v}`;
      more = head.getUint8(4) === 1 && n > 0 && trace.n + n <= MAX_SEGMENTS;
      if (more) next = getBytes(url(trace.n + n));
    }
    const page = decodePage(bytes);
    if (page.error) throw new Error(page.error);
    trace.add(page);
    if (onPage) onPage(trace.n, trace.view());
    if (page.more && !more) throw new Error(`more than ${MAX_SEGMENTS} segments`);
  }
  return trace.view();
}

// A trace for the waveform view grown page by page; codes shown as the analog values that make
// them. view() is the trace so far, start[n] its end.
class TraceBuilder {
  constructor(cal0, cal1) { this.cal0 = cal0; this.cal1 = cal1; this.n = 0; this.t = 0; this.cap = 0; this.grow(1 << 20); }

  grow(cap) {
    const next = { start: new Float64Array(cap + 1), digi: new Uint8Array(cap), ao0: new Float32Array(cap), ao1: new Float32Array(cap),
      code0: new Uint16Array(cap), code1: new Uint16Array(cap) };
    for (const k of Object.keys(next)) if (this[k]) next[k].set(this[k].subarray(0, k === 'start' ? this.n + 1 : this.n));
    Object.assign(this, next);
    this.cap = cap;
  }

  add(p) {
    if (this.n + p.n > this.cap) this.grow(Math.max(2 * this.cap, this.n + p.n));
    const i0 = this.n;
    this.digi.set(p.digi, i0); this.code0.set(p.code0, i0); this.code1.set(p.code1, i0);
    let t = this.t;
    for (let k = 0, i = i0; k < p.n; k++, i++) {
      this.start[i] = t; t += p.ticks[k];
      this.ao0[i] = toValue(p.code0[k], this.cal0); this.ao1[i] = toValue(p.code1[k], this.cal1);
    }
    this.n += p.n;
    this.t = t;
    this.start[this.n] = t;
  }

  view() {
    const n = this.n;
    return { n, start: this.start.subarray(0, n + 1), digi: this.digi.subarray(0, n), ao0: this.ao0.subarray(0, n),
      ao1: this.ao1.subarray(0, n), code0: this.code0.subarray(0, n), code1: this.code1.subarray(0, n) };
  }
}

// Where the readback differs from the list within the list's duration, in time order:
// {n, t0, t1: Float64Array, kind: Uint8Array, count: [of DIFF, of AVG]}, kind DIFF for a real
// difference, AVG for analog codes inside an 8-tick word where the list changes off the word grid
// (the instrument plays the word's average there).
export const DIFF = 0, AVG = 1;
export function compare(list, trace, cal0, cal1) {
  const c = comparer(list, cal0, cal1);
  c.feed(trace, true);
  return c.marks();
}

// The comparison fed with a readback as it grows: feed(traceSoFar, last) compares up to the end
// of what has arrived (to the list's end when `last`).
export function comparer(list, cal0, cal1) {
  const t0s = [], t1s = [], kinds = [];
  const end = list.start[list.n];
  let i = 0, j = 0, t = 0;
  const add = (a, b, kind) => {
    const last = kinds.length - 1;
    if (last >= 0 && kinds[last] === kind && t1s[last] >= a) t1s[last] = Math.max(t1s[last], b);
    else { t0s.push(a); t1s.push(b); kinds.push(kind); }
  };
  // Is [a, b) inside an 8-tick word that holds a change of the list off the word grid?
  const averaged = (a, b, k) => {
    const s = list.start[k], e = list.start[k + 1];
    return (s % 8 !== 0 && a < Math.ceil(s / 8) * 8) || (e % 8 !== 0 && b > Math.floor(e / 8) * 8);
  };
  const feed = (trace, last) => {
    while (t < end) {
      while (i < list.n && list.start[i + 1] <= t) i++;
      while (j < trace.n && trace.start[j + 1] <= t) j++;
      if (i >= list.n) break;
      if (j >= trace.n) {
        if (last) add(t, end, DIFF);
        return;
      }
      const next = Math.min(list.start[i + 1], trace.start[j + 1], end);
      if (list.digi[i] !== trace.digi[j]) add(t, next, DIFF);
      else if (toCode(list.ao0[i], cal0) !== trace.code0[j] || toCode(list.ao1[i], cal1) !== trace.code1[j]) {
        add(t, next, averaged(t, next, i) ? AVG : DIFF);
      }
      t = next;
    }
  };
  const marks = () => {
    const avg = kinds.reduce((a, k) => a + k, 0);
    return { n: kinds.length, t0: Float64Array.from(t0s), t1: Float64Array.from(t1s), kind: Uint8Array.from(kinds), count: [kinds.length - avg, avg] };
  };
  return { feed, marks };
}
