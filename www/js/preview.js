// The waveform view: a row per output (named, shown or hidden) of a trace on a time axis, with
// zoom (wheel, keys, buttons, a dragged selection), pan (drag, arrow keys), a jump to a time and a
// cursor read-out.
//
// A trace is {n, start: Float64Array(n+1) in ns, digi: Uint8Array, ao0, ao1: analog values}.
// Each drawing reduces the visible pulses to the canvas's columns: per column the digital lanes'
// OR and AND and each analog trace's minimum and maximum, so the cost is one pass over the
// visible pulses however many there are.
//
// Times of pulses are whole nanoseconds below 2^53, exact in a double. The view's left edge is
// kept split, a whole number of ns (`base`) plus a part below one ns (`off`), and every position
// is computed as (t - base) - off: the first difference is exact, so a view of a few ns is as
// sharp 20 ms or 100 days into a list as at its start.

import { DIFF, AVG } from './readback.js';

const AXIS_H = 34;
const LEFT = 150;
const ROW_D = 24, ROW_A = 84;
const COLORS = { list: '#1f5fbf', readback: '#d07a00', diff: 'rgba(220,30,30,0.35)', avg: 'rgba(240,200,0,0.35)', grid: '#ddd',
  text: '#333', sel: 'rgba(31,95,191,0.15)' };
const MAX_PX_PER_NS = 16;

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
// trace (pulses of zero length left out). Made once per trace (the readback's on its worker).
export function summary(trace) {
  if (trace.blocks) return trace.blocks;
  const { n, start, digi, ao0, ao1 } = trace;
  const nb = Math.ceil(n / BLOCK);
  const b = { or: new Uint8Array(nb), and: new Uint8Array(nb), min0: new Float32Array(nb), max0: new Float32Array(nb),
    min1: new Float32Array(nb), max1: new Float32Array(nb), any: new Uint8Array(nb), end: new Float64Array(nb) };
  for (let k = 0; k < nb; k++) {
    b.end[k] = start[Math.min(n, (k + 1) * BLOCK)];
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

// Which outputs a trace uses (is ever not 0): {digital: mask, ao0, ao1}. Kept with the trace
// (the readback's made on its worker).
export function usage(trace) {
  if (trace.used) return trace.used;
  const b = summary(trace);
  let digital = 0, ao0 = false, ao1 = false;
  for (let k = 0; k < b.or.length; k++) {
    if (!b.any[k]) continue;
    digital |= b.or[k];
    ao0 ||= b.min0[k] !== 0 || b.max0[k] !== 0;
    ao1 ||= b.min1[k] !== 0 || b.max1[k] !== 0;
  }
  trace.used = { digital, ao0, ao1 };
  return trace.used;
}

// Per column summary of the part of `trace` in the view; rel(t) is t's distance from the view's
// left edge in ns. A block of pulses that lies within one column counts as a whole, so a view of
// millions of pulses costs about n / BLOCK steps.
function reduce(trace, left, rel, span, cols) {
  const or = new Uint8Array(cols), and = new Uint8Array(cols).fill(255), seen = new Uint8Array(cols),
    min0 = new Float32Array(cols).fill(Infinity), max0 = new Float32Array(cols).fill(-Infinity),
    min1 = new Float32Array(cols).fill(Infinity), max1 = new Float32Array(cols).fill(-Infinity);
  const { n, start, digi, ao0, ao1 } = trace;
  const scale = cols / span;
  const end = Math.min(span, rel(start[n]));
  const first = (s) => Math.max(0, Math.floor(s * scale));
  const last = (e) => Math.min(cols - 1, Math.ceil(e * scale) - 1);
  const put = (c, o, a, mn0, mx0, mn1, mx1) => {
    or[c] |= o; and[c] &= a; seen[c] = 1;
    if (mn0 < min0[c]) min0[c] = mn0;
    if (mx0 > max0[c]) max0[c] = mx0;
    if (mn1 < min1[c]) min1[c] = mn1;
    if (mx1 > max1[c]) max1[c] = mx1;
  };
  const b = n / cols > 4 * BLOCK ? summary(trace) : null;
  let i = pulseAt(start, n, Math.max(Math.floor(left), 0)), s = rel(start[i]);   // where pulse i starts
  while (i < n && s < end) {
    if (b && i % BLOCK === 0 && i + BLOCK <= n) {
      const k = i / BLOCK, e = rel(b.end[k]);    // (the blocks' ends lie together: no pulse is read)
      if (s >= 0 && e <= end && first(s) === last(e)) {
        if (b.any[k]) put(first(s), b.or[k], b.and[k], b.min0[k], b.max0[k], b.min1[k], b.max1[k]);
        i += BLOCK;
        s = e;
        continue;
      }
    }
    const e = rel(start[i + 1]);
    if (e > 0 && e > s) {
      for (let c = first(s), c1 = last(Math.min(e, end)); c <= c1; c++) put(c, digi[i], digi[i], ao0[i], ao0[i], ao1[i], ao1[i]);
    }
    i++;
    s = e;
  }
  return { or, and, seen, min0, max0, min1, max1 };
}

// A tick step of 1, 2 or 5 times a power of ten (whole ns) giving about `want` ticks over `span`.
function niceStep(span, want) {
  const raw = span / want;
  const p = Math.pow(10, Math.max(0, Math.floor(Math.log10(raw))));
  for (const m of [1, 2, 5]) if (m * p >= raw) return m * p;
  return 10 * p;
}

const UNITS = [[1e9, 's'], [1e6, 'ms'], [1e3, 'µs'], [1, 'ns']];

// A whole number of ns as exact text in the largest unit below it ("20.000123 ms").
export function formatNs(t) {
  const neg = t < 0, a = Math.abs(t);
  const [div, unit] = UNITS.find(([d]) => a >= d) || UNITS[3];
  const digits = String(BigInt(a)), places = Math.log10(div);
  const whole = digits.slice(0, digits.length - places) || '0';
  const frac = digits.slice(digits.length - places).replace(/0+$/, '');
  return `${neg ? '−' : ''}${whole}${frac ? `.${frac}` : ''} ${unit}`;
}

// A time typed by a person ("20.000123 ms", "1500", "3 us") as whole ns; null when it is not one.
export function parseTime(text) {
  const m = /^\s*(\d{1,16})(?:\.(\d{1,9}))?\s*(ns|us|µs|ms|s)?\s*$/.exec(text);
  if (!m) return null;
  const places = { ns: 0, us: 3, µs: 3, ms: 6, s: 9 }[m[3] || 'ns'];
  const frac = m[2] || '';
  if (frac.replace(/0+$/, '').length > places) return null;
  const t = BigInt(m[1]) * 10n ** BigInt(places) + BigInt((frac + '0'.repeat(places)).slice(0, places) || '0');
  return t <= BigInt(Number.MAX_SAFE_INTEGER) ? Number(t) : null;
}

export class WaveView {
  constructor(canvas, readout, rangeLabel) {
    this.canvas = canvas;
    this.readout = readout;
    this.rangeLabel = rangeLabel;
    this.list = null;        // the loaded list
    this.readback = null;    // a trace read back from a slot
    this.marks = null;       // differences from the list: {n, t0, t1, kind} in time order
    this.channels = [];      // [{key, name, kind: 'd'|'a', index, show: true|false|null (as used)}]
    this.base = 0;           // the left edge is base + off ns, base whole
    this.off = 0;
    this.span = 1;
    this.ticks = [];         // the axis as last drawn: [{t, x, text}], origin (or null)
    this.origin = null;
    this.onDrawn = null;
    this.onRows = null;
    this.pending = false;
    this.drag = null;
    this.reduced = new WeakMap();   // per trace, its columns as last drawn, with the view they were for
    this.attach();
    new ResizeObserver(() => this.redraw()).observe(canvas);
  }

  get t0() { return this.base + this.off; }
  get t1() { return this.base + this.off + this.span; }

  get duration() {
    const a = this.list ? this.list.start[this.list.n] : 0;
    const b = this.readback ? this.readback.start[this.readback.n] : 0;
    return Math.max(a, b, 1);
  }

  setList(list) { this.list = list; this.readback = null; this.marks = null; this.rowsChanged(); this.showAll(); }
  setReadback(trace, marks) { this.readback = trace; this.marks = marks; this.rowsChanged(); this.redraw(); }
  setChannels(channels) { this.channels = channels; this.rowsChanged(); this.redraw(); }

  // The rows drawn: channels shown by choice, or (no choice made) used by the list or readback.
  rows() {
    const u = { digital: 0, ao0: false, ao1: false };
    for (const t of [this.list, this.readback]) {
      if (!t) continue;
      const v = usage(t);
      u.digital |= v.digital; u.ao0 ||= v.ao0; u.ao1 ||= v.ao1;
    }
    const any = this.list || this.readback;
    const rows = [];
    let top = 0;
    for (const c of this.channels) {
      const used = !any || (c.kind === 'd' ? (u.digital >> c.index) & 1 : u[c.key]);
      c.used = !!used;
      if (!(c.show ?? used)) continue;
      const height = c.kind === 'd' ? ROW_D : ROW_A;
      rows.push({ ...c, top, height });
      top += height;
    }
    return rows;
  }

  rowsChanged() {
    this.layout = this.rows();
    const h = this.layout.reduce((s, r) => s + r.height, 0) + AXIS_H;
    this.canvas.style.height = `${Math.max(h, AXIS_H + ROW_D)}px`;
    if (this.onRows) this.onRows();
  }

  showAll() { this.setRange(0, this.duration); }

  // Shows [a, b) (clamped to the zoom limits); a and b in ns.
  setRange(a, b) {
    this.span = Math.min(Math.max(b - a, this.minSpan()), this.maxSpan());
    this.setLeft(a);
    this.clampView();
    this.redraw();
  }

  setLeft(t) { this.base = Math.floor(t); this.off = t - this.base; }
  minSpan() { return this.plotWidth() / MAX_PX_PER_NS; }
  maxSpan() { return Math.max(this.duration * 1.05, this.minSpan()); }

  // Moves the view by dt ns, exactly for any dt a double holds to the ns.
  shift(dt) {
    const whole = Math.trunc(dt);
    this.base += whole;
    this.off += dt - whole;
    const carry = Math.floor(this.off);
    this.base += carry;
    this.off -= carry;
  }

  // Zooms by `factor` (<1 zooms in) keeping the point at fraction fx of the width in place.
  zoom(factor, fx = 0.5) {
    const span = Math.min(Math.max(this.span * factor, this.minSpan()), this.maxSpan());
    this.shift(fx * (this.span - span));
    this.span = span;
    this.clampView();
    this.redraw();
  }

  // Centres the view on time t (whole ns) at the present zoom.
  goTo(t) {
    const half = Math.ceil(this.span / 2);
    this.base = t - half;
    this.off = half - this.span / 2;
    this.clampView();
    this.redraw();
  }

  pan(dt) { this.shift(dt); this.clampView(); this.redraw(); }

  clampView() {
    const span = this.span, d = this.duration;
    if (this.t0 < -span * 0.05) this.setLeft(-span * 0.05);
    else if (this.base > d || this.rel(d) < span * 0.95) this.setLeft(Math.max(-span * 0.05, d + span * 0.05 - span));
  }

  rel(t) { return (t - this.base) - this.off; }
  x(t) { return LEFT + this.rel(t) * this.plotWidth() / this.span; }
  // The whole ns at x, or the time as a double where the view is coarser than a ns.
  timeAtX(x) {
    const d = this.off + (x - LEFT) / this.plotWidth() * this.span;
    return this.base + Math.floor(d);
  }
  plotWidth() { return Math.max(1, this.canvas.clientWidth - LEFT - 4); }

  attach() {
    const c = this.canvas;
    const fx = (x) => Math.min(1, Math.max(0, (x - LEFT) / this.plotWidth()));
    c.addEventListener('wheel', (e) => {
      if (!this.list && !this.readback) return;
      e.preventDefault();
      // A notch (100 px) zooms by 4: five notches cover three decades.
      const d = Math.max(-300, Math.min(300, e.deltaY * (e.deltaMode === 1 ? 33 : e.deltaMode === 2 ? 300 : 1)));
      this.zoom(2 ** (d / 50), fx(e.offsetX));
    }, { passive: false });
    c.addEventListener('pointerdown', (e) => {
      c.setPointerCapture(e.pointerId);
      this.drag = e.shiftKey ? { select: true, x: e.offsetX, to: e.offsetX } : { x: e.offsetX, base: this.base, off: this.off };
    });
    c.addEventListener('pointerup', (e) => {
      const d = this.drag;
      this.drag = null;
      if (d && d.select) {
        const a = Math.min(d.x, e.offsetX), b = Math.max(d.x, e.offsetX);
        if (b - a >= 3) this.setRange(this.t0 + fx(a) * this.span, this.t0 + fx(b) * this.span);
        else this.redraw();
      }
    });
    c.addEventListener('pointermove', (e) => {
      if (this.drag && this.drag.select) { this.drag.to = e.offsetX; this.redraw(); }
      else if (this.drag) {
        this.base = this.drag.base; this.off = this.drag.off;
        this.pan((this.drag.x - e.offsetX) / this.plotWidth() * this.span);
      }
      this.showCursor(this.timeAtX(e.offsetX));
    });
    c.addEventListener('keydown', (e) => {
      const keys = { ArrowLeft: () => this.pan(-this.span / 10), ArrowRight: () => this.pan(this.span / 10),
        '+': () => this.zoom(1 / 4), '=': () => this.zoom(1 / 4), '-': () => this.zoom(4),
        PageDown: () => this.zoom(1 / 10), PageUp: () => this.zoom(10), Home: () => this.showAll() };
      if (!keys[e.key]) return;
      keys[e.key]();
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
    const parts = [`t = ${formatNs(t)}`];
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
    const cols = Math.max(1, Math.floor(this.plotWidth()));
    const rows = this.layout || this.rows();
    const plotH = h - AXIS_H;
    g.font = '11px sans-serif';
    this.drawNames(g, rows);
    this.drawAxis(g, h, plotH);
    if (this.rangeLabel) {
      this.rangeLabel.textContent = this.list || this.readback
        ? `${formatNs(Math.max(0, Math.floor(this.t0)))} – ${formatNs(Math.ceil(this.t1))} (${formatNs(Math.round(this.span))} shown)` : '';
    }
    if (this.marks) this.drawMarks(g, plotH);
    const traces = [];
    if (this.list) traces.push([this.list, COLORS.list, 0]);
    if (this.readback) traces.push([this.readback, COLORS.readback, 2]);
    const shown = `${this.base} ${this.off} ${this.span} ${cols}`;
    for (const [trace, color, dy] of traces) {
      let r = this.reduced.get(trace);
      if (!r || r.shown !== shown) {
        r = reduce(trace, this.t0, (t) => this.rel(t), this.span, cols);
        r.shown = shown;
        this.reduced.set(trace, r);
      }
      g.strokeStyle = color;
      g.fillStyle = color;
      g.lineWidth = 1;
      for (const row of rows) {
        if (row.kind === 'd') this.drawLane(g, r, 1 << row.index, cols, row.top + row.height * 0.2 + dy, row.top + row.height * 0.85 + dy);
        else if (row.index === 0) this.drawAnalog(g, r.min0, r.max0, r.seen, cols, row.top + 6, row.height - 12);
        else this.drawAnalog(g, r.min1, r.max1, r.seen, cols, row.top + 6, row.height - 12);
      }
    }
    const s = this.drag && this.drag.select ? this.drag : null;
    if (s) {
      g.fillStyle = COLORS.sel;
      g.fillRect(Math.min(s.x, s.to), 0, Math.abs(s.to - s.x), plotH);
    }
  }

  // Row names in the margin; analog rows with their value axis (value and fraction of full scale).
  drawNames(g, rows) {
    g.fillStyle = COLORS.text;
    g.strokeStyle = COLORS.grid;
    g.beginPath();
    for (const row of rows) {
      g.moveTo(0, row.top + row.height - 0.5); g.lineTo(LEFT + this.plotWidth(), row.top + row.height - 0.5);
      g.textAlign = 'left';
      const room = row.kind === 'd' ? LEFT - 8 : LEFT - 84;
      let name = row.name;
      while (name.length > 1 && g.measureText(name).width > room) name = name.slice(0, -2) + '…';
      g.fillText(name, 4, row.top + (row.kind === 'd' ? row.height * 0.65 : 16));
      if (row.kind !== 'a') continue;
      g.textAlign = 'right';
      const y = (v) => row.top + 6 + (row.height - 12) * (1 - (v + 32768) / 65535);
      for (const [v, text] of [[32767, '32767 · 100%'], [0, '0 · 0%'], [-32768, '−32768 · −100%']]) {
        g.fillText(text, LEFT - 4, Math.min(Math.max(y(v) + 4, row.top + 10), row.top + row.height - 2));
      }
    }
    g.stroke();
    g.textAlign = 'left';
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
        if ((prev === 0 || prev === 1) && prev !== v) { g.moveTo(x + 0.5, yHi); g.lineTo(x + 0.5, yLo); }
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

  // Marks in view, at most one rectangle per kind and column however many marks there are.
  drawMarks(g, height) {
    const m = this.marks, pw = this.plotWidth(), scale = pw / this.span;   // (x() reads the layout)
    const x = (t) => LEFT + this.rel(t) * scale;
    let lo = 0, hi = m.n;
    while (lo < hi) {
      const mid = (lo + hi) >>> 1;
      if (this.rel(m.t1[mid]) <= 0) lo = mid + 1; else hi = mid;
    }
    // Columns drawn per kind; a kind that has no marks counts as drawn to the end.
    const drawnTo = m.count.map((c) => (c ? 0 : Infinity)), runFrom = [0, 0];
    const fill = (k) => {       // one rectangle per run of adjacent columns
      if (drawnTo[k] > runFrom[k] && drawnTo[k] !== Infinity) {
        g.fillStyle = k === AVG ? COLORS.avg : COLORS.diff;
        g.fillRect(runFrom[k], 0, drawnTo[k] - runFrom[k], height);
      }
    };
    for (let i = lo; i < m.n && this.rel(m.t0[i]) < this.span; i++) {
      const k = m.kind[i];
      const x0 = Math.floor(Math.max(LEFT, x(m.t0[i]))), x1 = Math.max(x0 + 2, Math.ceil(Math.min(LEFT + pw, x(m.t1[i]))));
      if (x1 > drawnTo[k]) {
        if (x0 > drawnTo[k]) { fill(k); runFrom[k] = x0; }
        drawnTo[k] = x1;
      }
      // Skip the marks that lie within columns drawn for both kinds.
      const done = this.t0 + (Math.min(...drawnTo) - 1 - LEFT) / scale;
      if (i + 1 < m.n && m.t1[i + 1] < done) {
        let a = i + 1, b = m.n;
        while (a < b) {
          const mid = (a + b) >>> 1;
          if (m.t1[mid] < done) a = mid + 1; else b = mid;
        }
        i = a - 1;
      }
    }
    fill(DIFF);
    fill(AVG);
  }

  // Ticks at whole multiples of the step. Labels are absolute times while those stay short, else
  // offsets from an origin shown below them.
  drawAxis(g, h, plotH) {
    const span = this.span, pw = this.plotWidth();
    const step = niceStep(span, Math.max(2, pw / 110));
    let t = this.base - (((this.base % step) + step) % step);
    while (this.rel(t) < 0) t += step;
    const relative = Math.abs(this.t1) / step >= 1e5;
    this.origin = relative ? t - (((t % (10 * step)) + 10 * step) % (10 * step)) : null;
    this.ticks = [];
    g.strokeStyle = COLORS.grid;
    g.fillStyle = COLORS.text;
    g.beginPath();
    let free = 0;
    for (; this.rel(t) <= span; t += step) {
      const x = this.x(t), gx = Math.round(x) + 0.5;
      g.moveTo(gx, 0); g.lineTo(gx, plotH);
      const text = relative ? `+${formatNs(t - this.origin)}` : formatNs(t);
      if (x >= free) {
        g.fillText(text, gx + 2, h - 20);
        free = gx + 8 + g.measureText(text).width;
        this.ticks.push({ t, x, text });
      }
    }
    g.stroke();
    if (relative) g.fillText(`+ offsets from t₀ = ${formatNs(this.origin)}`, LEFT, h - 5);
  }
}
