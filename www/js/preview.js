// The waveform view: eight digital lanes and two analog traces of a trace on a time axis, with
// zoom (wheel, buttons), pan (drag, arrow keys) and a cursor read-out.
//
// A trace is {n, start: Float64Array(n+1) in ns, digi: Uint8Array, ao0, ao1: analog values}.
// Each drawing reduces the visible pulses to the canvas's columns: per column the digital lanes'
// OR and AND and each analog trace's minimum and maximum, so the cost is one pass over the
// visible pulses however many there are.

import { formatTime } from './pulses.js';

const LANES = 8;
const AXIS_H = 22;
const LEFT = 46;
const COLORS = { list: '#1f5fbf', readback: '#d07a00', diff: 'rgba(220,30,30,0.35)', avg: 'rgba(240,200,0,0.35)', grid: '#ddd', text: '#333' };

// Index of the pulse that covers time t (the last i with start[i] <= t).
export function pulseAt(start, n, t) {
  let lo = 0, hi = n;            // start[lo] <= t < start[hi] when t is inside
  while (hi - lo > 1) {
    const mid = (lo + hi) >>> 1;
    if (start[mid] <= t) lo = mid; else hi = mid;
  }
  return lo;
}

const BLOCK = 64;    // pulses per block of the summary used when a column holds many pulses

// Per block of BLOCK pulses: OR and AND of the digital bytes, minimum and maximum of each analog
// trace (pulses of zero length left out). Made once per trace.
function blocks(trace) {
  if (trace.blocks) return trace.blocks;
  const { n, start, digi, ao0, ao1 } = trace;
  const nb = Math.ceil(n / BLOCK);
  const b = { or: new Uint8Array(nb), and: new Uint8Array(nb), min0: new Float32Array(nb), max0: new Float32Array(nb),
    min1: new Float32Array(nb), max1: new Float32Array(nb), any: new Uint8Array(nb) };
  for (let k = 0; k < nb; k++) {
    let or = 0, and = 255, mn0 = Infinity, mx0 = -Infinity, mn1 = Infinity, mx1 = -Infinity, any = 0;
    for (let i = k * BLOCK, e = Math.min(n, i + BLOCK); i < e; i++) {
      if (start[i + 1] === start[i]) continue;
      const d = digi[i], a = ao0[i], c = ao1[i];
      or |= d; and &= d; any = 1;
      if (a < mn0) mn0 = a;
      if (a > mx0) mx0 = a;
      if (c < mn1) mn1 = c;
      if (c > mx1) mx1 = c;
    }
    b.or[k] = or; b.and[k] = and; b.any[k] = any;
    b.min0[k] = mn0; b.max0[k] = mx0; b.min1[k] = mn1; b.max1[k] = mx1;
  }
  trace.blocks = b;
  return b;
}

// Per column summary of the part of `trace` in [t0, t1). A block of pulses that lies within one
// column counts as a whole, so a view of millions of pulses costs about n / BLOCK steps.
function reduce(trace, t0, t1, cols) {
  const r = { or: new Uint8Array(cols), and: new Uint8Array(cols).fill(255), seen: new Uint8Array(cols),
    min0: new Float32Array(cols).fill(Infinity), max0: new Float32Array(cols).fill(-Infinity),
    min1: new Float32Array(cols).fill(Infinity), max1: new Float32Array(cols).fill(-Infinity) };
  const { n, start, digi, ao0, ao1 } = trace;
  const scale = cols / (t1 - t0);
  const end = Math.min(t1, start[n]);
  const col = (t) => Math.min(cols - 1, Math.max(0, Math.floor((t - t0) * scale)));
  const put = (c, d, a, b) => {
    r.or[c] |= d; r.and[c] &= d; r.seen[c] = 1;
    if (a < r.min0[c]) r.min0[c] = a;
    if (a > r.max0[c]) r.max0[c] = a;
    if (b < r.min1[c]) r.min1[c] = b;
    if (b > r.max1[c]) r.max1[c] = b;
  };
  const b = n / cols > 4 * BLOCK ? blocks(trace) : null;
  let i = pulseAt(start, n, Math.max(t0, 0));
  while (i < n && start[i] < end) {
    if (b && i % BLOCK === 0 && i + BLOCK <= n) {
      const k = i / BLOCK, s = start[i], e = start[i + BLOCK];
      if (s >= t0 && e <= end && col(s) === col(e - 1e-9)) {
        if (b.any[k]) {
          const c = col(s);
          r.or[c] |= b.or[k]; r.and[c] &= b.and[k]; r.seen[c] = 1;
          if (b.min0[k] < r.min0[c]) r.min0[c] = b.min0[k];
          if (b.max0[k] > r.max0[c]) r.max0[c] = b.max0[k];
          if (b.min1[k] < r.min1[c]) r.min1[c] = b.min1[k];
          if (b.max1[k] > r.max1[c]) r.max1[c] = b.max1[k];
        }
        i += BLOCK;
        continue;
      }
    }
    const s = start[i], e = start[i + 1];
    if (e > t0 && e > s) {
      const c0 = Math.max(0, Math.floor((Math.max(s, t0) - t0) * scale));
      const c1 = Math.min(cols - 1, Math.ceil((Math.min(e, end) - t0) * scale) - 1);
      for (let c = c0; c <= c1; c++) put(c, digi[i], ao0[i], ao1[i]);
    }
    i++;
  }
  return r;
}

// A tick step of 1, 2 or 5 times a power of ten giving about `want` ticks over `span`.
function niceStep(span, want) {
  const raw = span / want;
  const p = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
  return 10 * p;
}

export class WaveView {
  constructor(canvas, readout, rangeLabel) {
    this.canvas = canvas;
    this.readout = readout;
    this.rangeLabel = rangeLabel;
    this.list = null;        // the loaded list
    this.readback = null;    // a trace read back from a slot
    this.marks = null;       // [{t0, t1, kind: 'diff'|'avg'}] sorted by t0
    this.t0 = 0;
    this.t1 = 1;
    this.onDrawn = null;
    this.pending = false;
    this.drag = null;
    this.attach();
    new ResizeObserver(() => this.redraw()).observe(canvas);
  }

  get duration() {
    const a = this.list ? this.list.start[this.list.n] : 0;
    const b = this.readback ? this.readback.start[this.readback.n] : 0;
    return Math.max(a, b, 1);
  }

  setList(list) { this.list = list; this.readback = null; this.marks = null; this.showAll(); }
  setReadback(trace, marks) { this.readback = trace; this.marks = marks; this.redraw(); }

  showAll() { this.t0 = 0; this.t1 = this.duration; this.redraw(); }

  // Zooms by `factor` (<1 zooms in) around time t.
  zoom(factor, t = (this.t0 + this.t1) / 2) {
    const span = Math.min(Math.max((this.t1 - this.t0) * factor, 8), this.duration * 1.05);
    const f = (t - this.t0) / (this.t1 - this.t0);
    this.t0 = t - f * span;
    this.t1 = this.t0 + span;
    this.clampView();
    this.redraw();
  }

  pan(dt) { this.t0 += dt; this.t1 += dt; this.clampView(); this.redraw(); }

  clampView() {
    const span = this.t1 - this.t0, d = this.duration;
    if (this.t0 < -span * 0.05) { this.t0 = -span * 0.05; this.t1 = this.t0 + span; }
    if (this.t1 > d + span * 0.05) { this.t1 = d + span * 0.05; this.t0 = this.t1 - span; }
  }

  timeAtX(x) { return this.t0 + (x - LEFT) / this.plotWidth() * (this.t1 - this.t0); }
  plotWidth() { return Math.max(1, this.canvas.clientWidth - LEFT - 4); }

  attach() {
    const c = this.canvas;
    c.addEventListener('wheel', (e) => {
      if (!this.list && !this.readback) return;
      e.preventDefault();
      this.zoom(e.deltaY < 0 ? 0.8 : 1.25, this.timeAtX(e.offsetX));
    }, { passive: false });
    c.addEventListener('pointerdown', (e) => { this.drag = { x: e.offsetX, t0: this.t0 }; c.setPointerCapture(e.pointerId); });
    c.addEventListener('pointerup', () => { this.drag = null; });
    c.addEventListener('pointermove', (e) => {
      if (this.drag) {
        const dt = (this.drag.x - e.offsetX) / this.plotWidth() * (this.t1 - this.t0);
        const span = this.t1 - this.t0;
        this.t0 = this.drag.t0 + dt; this.t1 = this.t0 + span;
        this.clampView();
        this.redraw();
      }
      this.showCursor(this.timeAtX(e.offsetX));
    });
    c.addEventListener('keydown', (e) => {
      const span = this.t1 - this.t0;
      if (e.key === 'ArrowLeft') this.pan(-span / 10);
      else if (e.key === 'ArrowRight') this.pan(span / 10);
      else if (e.key === '+' || e.key === '=') this.zoom(0.5);
      else if (e.key === '-') this.zoom(2);
      else return;
      e.preventDefault();
    });
  }

  // The values at time t of the list and of the readback, as text.
  valuesAt(trace, t) {
    if (!trace || t < 0 || t >= trace.start[trace.n]) return null;
    const i = pulseAt(trace.start, trace.n, t);
    const d = trace.digi[i];
    return { index: i, digital: d.toString(2).padStart(8, '0'), ao0: Math.round(trace.ao0[i]), ao1: Math.round(trace.ao1[i]) };
  }

  showCursor(t) {
    this.cursorT = t;
    const parts = [`t = ${formatTime(t)}`];
    const a = this.valuesAt(this.list, t);
    if (a) parts.push(`list: pulse ${a.index + 1}, digital ${a.digital}, ao0 ${a.ao0}, ao1 ${a.ao1}`);
    const b = this.valuesAt(this.readback, t);
    if (b) parts.push(`readback: segment ${b.index + 1}, digital ${b.digital}, ao0 ≈ ${b.ao0}, ao1 ≈ ${b.ao1}`);
    this.readout.textContent = parts.join(' · ');
  }

  redraw() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      const t = performance.now();
      this.draw();
      this.drawMs = performance.now() - t;
      if (this.onDrawn) this.onDrawn();
    });
  }

  draw() {
    const c = this.canvas, dpr = window.devicePixelRatio || 1;
    const w = c.clientWidth, h = c.clientHeight;
    if (c.width !== Math.round(w * dpr) || c.height !== Math.round(h * dpr)) {
      c.width = Math.round(w * dpr); c.height = Math.round(h * dpr);
    }
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    const pw = this.plotWidth();
    const cols = Math.max(1, Math.floor(pw));
    const rows = LANES + 2 * 2.5;               // two analog traces take 2.5 lanes each
    const laneH = (h - AXIS_H) / rows;
    g.font = '11px sans-serif';
    g.fillStyle = COLORS.text;
    for (let k = 0; k < LANES; k++) g.fillText(`D${k}`, 4, (k + 0.65) * laneH);
    g.fillText('AO0', 4, (LANES + 1.35) * laneH);
    g.fillText('AO1', 4, (LANES + 3.85) * laneH);
    this.drawAxis(g, h, laneH * rows);
    if (this.rangeLabel) this.rangeLabel.textContent = this.list || this.readback ? `${formatTime(Math.max(this.t0, 0))} – ${formatTime(this.t1)}` : '';
    if (this.marks) this.drawMarks(g, laneH * rows);
    const traces = [];
    if (this.list) traces.push([this.list, COLORS.list, 0]);
    if (this.readback) traces.push([this.readback, COLORS.readback, 2]);
    for (const [trace, color, dy] of traces) {
      const r = reduce(trace, this.t0, this.t1, cols);
      g.strokeStyle = color;
      g.fillStyle = color;
      g.lineWidth = 1;
      for (let k = 0; k < LANES; k++) {
        const yHi = k * laneH + laneH * 0.2 + dy, yLo = (k + 1) * laneH - laneH * 0.15 + dy;
        this.drawLane(g, r, 1 << k, cols, yHi, yLo);
      }
      this.drawAnalog(g, r.min0, r.max0, r.seen, cols, (LANES + 0.1) * laneH, 2.3 * laneH);
      this.drawAnalog(g, r.min1, r.max1, r.seen, cols, (LANES + 2.6) * laneH, 2.3 * laneH);
    }
  }

  drawLane(g, r, bit, cols, yHi, yLo) {
    g.beginPath();
    let prev = -1;             // 0 low, 1 high, 2 both within the column
    for (let c = 0; c < cols; c++) {
      if (!r.seen[c]) { prev = -1; continue; }
      const x = LEFT + c;
      const hi = (r.and[c] & bit) !== 0, lo = (r.or[c] & bit) === 0;
      const v = hi ? 1 : lo ? 0 : 2;
      if (v === 2) { g.moveTo(x + 0.5, yHi); g.lineTo(x + 0.5, yLo); }
      else {
        const y = v ? yHi : yLo;
        if (prev === 0 || prev === 1) {
          if (prev !== v) { g.moveTo(x + 0.5, yHi); g.lineTo(x + 0.5, yLo); }
        }
        g.moveTo(x, y + 0.5); g.lineTo(x + 1, y + 0.5);
      }
      prev = v;
    }
    g.stroke();
  }

  drawAnalog(g, min, max, seen, cols, top, height) {
    // Full scale -32768..32767 from bottom to top.
    const y = (v) => top + height * (1 - (v + 32768) / 65535);
    g.globalAlpha = 0.15;
    g.fillRect(LEFT, y(0), cols, 1);
    g.globalAlpha = 1;
    for (let c = 0; c < cols; c++) {
      if (!seen[c]) continue;
      const ya = y(max[c]), yb = y(min[c]);
      g.fillRect(LEFT + c, ya, 1, Math.max(1, yb - ya));
    }
  }

  drawMarks(g, height) {
    const scale = this.plotWidth() / (this.t1 - this.t0);
    for (const m of this.marks) {
      if (m.t1 < this.t0 || m.t0 > this.t1) continue;
      const x0 = LEFT + Math.max(0, (m.t0 - this.t0) * scale);
      const x1 = LEFT + Math.min(this.plotWidth(), (m.t1 - this.t0) * scale);
      g.fillStyle = COLORS[m.kind];
      g.fillRect(x0, 0, Math.max(2, x1 - x0), height);
    }
  }

  drawAxis(g, h, plotH) {
    const span = this.t1 - this.t0;
    const step = niceStep(span, Math.max(2, this.plotWidth() / 110));
    const scale = this.plotWidth() / span;
    g.strokeStyle = COLORS.grid;
    g.fillStyle = COLORS.text;
    g.beginPath();
    for (let t = Math.ceil(this.t0 / step) * step; t <= this.t1; t += step) {
      const x = Math.round(LEFT + (t - this.t0) * scale) + 0.5;
      g.moveTo(x, 0); g.lineTo(x, plotH);
      g.fillText(formatTime(t), x + 2, h - 6);
    }
    g.stroke();
  }
}
