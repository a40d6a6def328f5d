// What a slot holds, read back page by page from "/api/slot/<N>/segments", and its comparison
// with the loaded list.
//
// Segments are [ticks, digital byte, DAC code 0, DAC code 1]: constant output as played. The
// loaded list is converted to DAC codes with the calibration the instrument reports, exactly as
// the instrument converts analog values (16.16 fixed point, clamped to 14 bits).

import { coefficients, toCode, toValue } from './analog.js';

export { coefficients, toCode };

export const PAGE = 65536;                // segments asked for per request (the server's cap)
export const MAX_SEGMENTS = 4200000;      // more than any list of 2,000,000 pulses plays as

// Whether the instrument accepts the calibration: the conversion cannot leave 32 bits for any
// analog value.
export function calibrationInRange(dcOffset, slope) {
  if (!Number.isFinite(dcOffset) || !Number.isFinite(slope) || slope === 0) return false;
  const c = coefficients(dcOffset, slope);
  if (!c || Math.abs(c.gain) > 2147483647 || Math.abs(c.offset) > 2147483648) return false;
  return c.offset - 32768 * c.gain < 2147483647 && c.offset + 32767 * c.gain >= -2147483647;
}

// Reads every segment of `slot`; getJson(url) fetches and parses one page.
export async function readSlot(slot, getJson, onPage) {
  const segs = [];
  let from = 0;
  for (;;) {
    const page = await getJson(`/api/slot/${slot}/segments?from=${from}&max=${PAGE}`);
    if (page.error) throw new Error(page.error);
    if (!Array.isArray(page.segments)) throw new Error('unreadable answer');
    for (const s of page.segments) segs.push(s);
    from += page.segments.length;
    if (onPage) onPage(from);
    if (!page.more || page.segments.length === 0) break;
    if (segs.length > MAX_SEGMENTS) throw new Error(`more than ${MAX_SEGMENTS} segments`);
  }
  return segs;
}

// Segments as a trace for the waveform view; codes shown as the analog values that make them.
export function segmentsToTrace(segs, cal0, cal1) {
  const n = segs.length;
  const start = new Float64Array(n + 1), digi = new Uint8Array(n);
  const ao0 = new Float32Array(n), ao1 = new Float32Array(n);
  const code0 = new Uint16Array(n), code1 = new Uint16Array(n);
  let t = 0;
  for (let i = 0; i < n; i++) {
    const [ticks, d, c0, c1] = segs[i];
    start[i] = t; t += ticks;
    digi[i] = d; code0[i] = c0; code1[i] = c1;
    ao0[i] = toValue(c0, cal0); ao1[i] = toValue(c1, cal1);
  }
  start[n] = t;
  return { n, start, digi, ao0, ao1, code0, code1 };
}

// Where the readback differs from the list within the list's duration: [{t0, t1, kind}], kind
// 'diff' for a real difference, 'avg' for analog codes inside an 8-tick word where the list
// changes off the word grid (the instrument plays the word's average there).
export function compare(list, trace, cal0, cal1) {
  const marks = [];
  const end = list.start[list.n];
  let i = 0, j = 0;
  const add = (t0, t1, kind) => {
    const last = marks[marks.length - 1];
    if (last && last.kind === kind && last.t1 >= t0) last.t1 = Math.max(last.t1, t1);
    else marks.push({ t0, t1, kind });
  };
  // Is [t0, t1) inside an 8-tick word that holds a change of the list off the word grid?
  const averaged = (t0, t1, k) => {
    const s = list.start[k], e = list.start[k + 1];
    return (s % 8 !== 0 && t0 < Math.ceil(s / 8) * 8) || (e % 8 !== 0 && t1 > Math.floor(e / 8) * 8);
  };
  let t = 0;
  while (t < end) {
    while (i < list.n && list.start[i + 1] <= t) i++;
    while (j < trace.n && trace.start[j + 1] <= t) j++;
    if (i >= list.n) break;
    if (j >= trace.n) { add(t, end, 'diff'); break; }
    const next = Math.min(list.start[i + 1], trace.start[j + 1], end);
    if (list.digi[i] !== trace.digi[j]) add(t, next, 'diff');
    else if (toCode(list.ao0[i], cal0) !== trace.code0[j] || toCode(list.ao1[i], cal1) !== trace.code1[j]) {
      add(t, next, averaged(t, next, i) ? 'avg' : 'diff');
    }
    t = next;
  }
  return marks;
}
