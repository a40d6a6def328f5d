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
  const n = pageHead(buffer).n;
  const p = { start: new Float64Array(n + 1), digi: new Uint8Array(n), code0: new Uint16Array(n), code1: new Uint16Array(n) };
  const page = readPage(buffer, p, 0, 0);
  return { ...page, ticks: p.start.subarray(1).map((e, i) => e - p.start[i]), digi: p.digi, code0: p.code0, code1: p.code1 };
}
export const HEAD = 14;     // bytes of a page before its error text and segments

// The header of a page: {n, more, version, error, bytes, p} (p: where its segments begin).
function pageHead(buffer) {
  const bytes = new Uint8Array(buffer), len = bytes.length;
  if (len < HEAD) throw unreadable();
  const view = new DataView(buffer);
  const n = view.getUint32(0, true), errLen = bytes[5], version = Number(view.getBigUint64(6, true));
  if (n > PAGE || HEAD + errLen + n * 6 > len) throw unreadable();
  const error = String.fromCharCode(...bytes.subarray(HEAD, HEAD + errLen));
  return { n, more: bytes[4] === 1, version, error, bytes, p: HEAD + errLen };
}
const unreadable = () => new Error('unreadable page');

// Decodes a page's segments into the columns of `into` (start, digi, code0, code1) from index i
// on, the first segment starting at t; returns the page's header.
function readPage(buffer, into, i, t) {
  const head = pageHead(buffer), { n, bytes } = head, len = bytes.length;
  const { start, digi, code0, code1 } = into;
  let p = head.p;
  start[i] = t;
  for (const e = i + n; i < e; i++) {
    let b = bytes[p++], ticks = b & 0x7F;
    for (let mul = 128; b & 0x80; mul *= 128) {
      if (p >= len || mul > 2 ** 49) throw unreadable();     // above 2^56 ns no list can reach
      b = bytes[p++];
      ticks += (b & 0x7F) * mul;
    }
    if (p + 5 > len) throw unreadable();
    t += ticks;
    start[i + 1] = t; digi[i] = bytes[p];
    code0[i] = bytes[p + 1] | bytes[p + 2] << 8; code1[i] = bytes[p + 3] | bytes[p + 4] << 8;
    p += 5;
  }
  if (p !== len) throw unreadable();
  return head;
}

// Reads every segment of `slot` as a trace; getBytes(url, onHead) fetches one page's bytes and
// may hand onHead its first bytes as soon as they arrive; onPage(segmentsSoFar, traceSoFar) sees
// each page added; `expect` is the time (ns) the slot is expected to play, if known. Pages are
// asked for in order, the next as soon as the head of one tells where it ends (the instrument has
// decoded it by then, and decodes on from there while this one arrives and is added); a version
// the instrument names is passed on, so pages of two contents of the slot are refused.
export async function readSlot(slot, getBytes, cal0, cal1, onPage, expect = 0) {
  const trace = new TraceBuilder(cal0, cal1);
  let version = '';
  const url = (from) => `/api/slot/${slot}/segments?from=${from}&max=${PAGE}&form=binary${version}`;
  const asked = [];     // pages on their way, in order
  const ask = (from) => {
    let seen = false;
    const onHead = (bytes) => {
      if (seen || bytes.byteLength < HEAD) return;
      seen = true;
      const head = new DataView(bytes, 0, HEAD), n = head.getUint32(0, true), v = head.getBigUint64(6, true);
      if (v && !version) version = `&version=${v}`;
      if (head.getUint8(4) === 1 && n > 0 && from + n <= MAX_SEGMENTS) {
        const next = ask(from + n);
        next.catch(() => {});    // a failure is met where the page is awaited
        asked.push(next);
      }
    };
    return getBytes(url(from), onHead).then((bytes) => { onHead(bytes); return bytes; });
  };
  asked.push(ask(0));
  while (asked.length) {
    const bytes = await asked.shift();
    const more = asked.length > 0;     // its head has been seen
    const page = trace.add(bytes);
    if (page.error) throw new Error(page.error);
    // Room for as many segments as the first page holds for its time, over the time expected.
    if (trace.n === page.n && more && expect > trace.t) trace.grow(Math.min(MAX_SEGMENTS, Math.ceil(trace.n * expect / trace.t * 1.05)));
    if (onPage) onPage(trace.n, trace.view());
    if (page.more && !more) throw new Error(`more than ${MAX_SEGMENTS} segments`);
  }
  return trace.view();
}

// A trace for the waveform view grown page by page; codes shown as the analog values that make
// them. view() is the trace so far, start[n] its end.
class TraceBuilder {
  constructor(cal0, cal1) {
    Object.assign(this, { cal0, cal1, n: 0, t: 0, cap: 0 });
    // The value shown for each code, worked out when the code first comes (NaN until then).
    this.values0 = new Float32Array(65536).fill(NaN); this.values1 = new Float32Array(65536).fill(NaN);
    this.grow(PAGE);
  }

  grow(cap) {
    const next = { start: new Float64Array(cap + 1), digi: new Uint8Array(cap), ao0: new Int16Array(cap), ao1: new Int16Array(cap),
      code0: new Uint16Array(cap), code1: new Uint16Array(cap) };
    for (const k of Object.keys(next)) if (this[k]) next[k].set(this[k].subarray(0, k === 'start' ? this.n + 1 : this.n));
    Object.assign(this, next);
    this.cap = cap;
  }

  // Adds a page of the binary form; returns its header.
  add(bytes) {
    const n = pageHead(bytes).n, i0 = this.n;
    if (i0 + n > this.cap) this.grow(Math.max(2 * this.cap, i0 + n));
    const page = readPage(bytes, this, i0, this.t);
    const { code0, code1, ao0, ao1, values0, values1 } = this;
    for (let i = i0, e = i0 + n; i < e; i++) {
      let v = values0[code0[i]];
      if (v !== v) v = values0[code0[i]] = toValue(code0[i], this.cal0);
      ao0[i] = v;
      v = values1[code1[i]];
      if (v !== v) v = values1[code1[i]] = toValue(code1[i], this.cal1);
      ao1[i] = v;
    }
    this.n += n;
    this.t = this.start[this.n];
    return page;
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
  let t0s = new Float64Array(1024), t1s = new Float64Array(1024), kinds = new Uint8Array(1024), nm = 0;
  const end = list.start[list.n];
  let i = 0, j = 0, t = 0;
  const add = (a, b, kind) => {
    const last = nm - 1;
    if (last >= 0 && kinds[last] === kind && t1s[last] >= a) { t1s[last] = Math.max(t1s[last], b); return; }
    if (nm === kinds.length) {
      const grown = (from, to) => { to.set(from); return to; };
      t0s = grown(t0s, new Float64Array(2 * nm)); t1s = grown(t1s, new Float64Array(2 * nm)); kinds = grown(kinds, new Uint8Array(2 * nm));
    }
    t0s[nm] = a; t1s[nm] = b; kinds[nm++] = kind;
  };
  // Is [a, b) inside an 8-tick word that holds a change of the list off the word grid?
  const averaged = (a, b, k) => {
    const s = list.start[k], e = list.start[k + 1], up = Math.ceil(s / 8) * 8, down = Math.floor(e / 8) * 8;
    return (s !== up && a < up) || (e !== down && b > down);
  };
  // The list's codes, worked out once.
  const lc0 = new Uint16Array(list.n), lc1 = new Uint16Array(list.n);
  for (let k = 0; k < list.n; k++) { lc0[k] = toCode(list.ao0[k], cal0); lc1[k] = toCode(list.ao1[k], cal1); }
  const feed = (trace, last) => {
    const ls = list.start, ld = list.digi, ln = list.n, ts = trace.start, td = trace.digi, tc0 = trace.code0, tc1 = trace.code1, tn = trace.n;
    let ti = t, ii = i, jj = j;
    while (ti < end) {
      while (ii < ln && ls[ii + 1] <= ti) ii++;
      while (jj < tn && ts[jj + 1] <= ti) jj++;
      if (ii >= ln) break;
      if (jj >= tn) {
        if (last) add(ti, end, DIFF);
        break;
      }
      const a = ls[ii + 1], b = ts[jj + 1], next = a < b ? (a < end ? a : end) : (b < end ? b : end);
      if (ld[ii] !== td[jj]) add(ti, next, DIFF);
      else if (lc0[ii] !== tc0[jj] || lc1[ii] !== tc1[jj]) add(ti, next, averaged(ti, next, ii) ? AVG : DIFF);
      ti = next;
    }
    t = ti; i = ii; j = jj;
  };
  const marks = () => {
    const kind = kinds.slice(0, nm), avg = kind.reduce((a, k) => a + k, 0);
    return { n: nm, t0: t0s.slice(0, nm), t1: t1s.slice(0, nm), kind, count: [nm - avg, avg] };
  };
  return { feed, marks };
}
