// The one conversion between analog values and the DAC codes the instrument plays (the same in
// the instrument, the tarvex command and its library): 16.16 fixed point, clamped to 14 bits.

function roundAway(x) { return x < 0 ? -Math.round(-x) : Math.round(x); }

// The integer multiplier and addend of one output from its reported calibration (offset as a
// fraction of full scale, slope), as the instrument derives them; null when they do not fit.
export function coefficients(dcOffset, slope) {
  const fileOffset = roundAway(dcOffset * 32767 / 4);   // whole DAC codes, as stored
  const factor = 1 / slope;
  const gain = roundAway(factor * -0.25 * 65536);
  const offset = roundAway((factor * fileOffset + 8192) * 65536);
  const fits = (x) => Number.isFinite(x) && x >= -2147483648 && x <= 2147483647;
  return fits(gain) && fits(offset) ? { gain, offset } : null;
}

// DAC code of analog value v.
export function toCode(v, c) {
  let x = (c.gain * v + c.offset) | 0;   // the instrument computes in signed 32 bits
  if (x < 0) x = 0;
  if (x > 0x3FFF0000) x = 0x3FFF0000;
  return x >>> 16;
}

// The value shown for a code read back: of the values that give the code, the one nearest to
// where the code begins (with the neutral calibration a multiple of 4).
export function toValue(code, c) {
  if (c.gain === 0) return 0;
  const r = Math.max(-32768, Math.min(32767, Math.floor((code * 65536 - c.offset) / c.gain + 0.5)));
  for (const v of [r, r - 1, r + 1, r - 2, r + 2]) {
    if (v >= -32768 && v <= 32767 && toCode(v, c) === code) return v;
  }
  return r;
}
