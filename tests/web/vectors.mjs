// The page's pulse-file reader and value conversion against the shared vectors (tests/data), the
// same files the C++ library is checked against.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { parseAny } from '../../www/js/pulses.js';
import { coefficients, toCode, toValue } from '../../www/js/analog.js';

const data = new URL('../data/', import.meta.url);
const read = (name, how) => readFileSync(new URL(name, data), how);

test('every pulse file reads as its vector expects', () => {
  const expects = readdirSync(new URL('pulses/', data)).filter((n) => n.endsWith('.expect'));
  assert.ok(expects.length >= 20);
  for (const name of expects) {
    const [, file, format] = /^(.*?)(?:\.as-(csv|binary|little|big))?\.expect$/.exec(name);
    const r = parseAny(new Uint8Array(read(`pulses/${file}`)), format || 'auto', file);
    const got = r.list ? `pulses ${r.list.n}\n` + Array.from(r.list.ticks, (t, i) =>
      `${t},${r.list.digi[i]},${r.list.ao0[i]},${r.list.ao1[i]}\n`).join('')
      : `errors ${r.badLines}\n` + r.errors.map((e) => `${e.line}: ${e.reason}\n`).join('');
    assert.equal(got, read(`pulses/${name}`, 'utf8'), name);
  }
});

test('values and DAC codes convert as the vectors expect', () => {
  const v = JSON.parse(read('values.json', 'utf8'));
  const cal = {};
  for (const [name, c] of Object.entries(v.calibrations)) {
    cal[name] = coefficients(c.dc_offset, c.slope);
    assert.deepEqual(cal[name], { gain: c.gain, offset: c.offset }, name);
  }
  for (const c of v.to_code) assert.equal(toCode(c.value, cal[c.calibration]), c.code, `${c.calibration} ${c.value}`);
  for (const c of v.to_value) assert.equal(toValue(c.code, cal[c.calibration]), c.value, `${c.calibration} ${c.code}`);
});
