// The page's pulse-file reader and value conversion against the shared vectors (tests/data), the
// same files the C++ library is checked against.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseAny } from '../../www/js/pulses.js';
import { coefficients, toCode, toValue } from '../../www/js/analog.js';

const data = join(dirname(fileURLToPath(import.meta.url)), '..', 'data');

// What reading gave, in the form of an expected file.
function resultText(r) {
  if (r.list) {
    const { n, ticks, digi, ao0, ao1 } = r.list;
    let s = `pulses ${n}\n`;
    for (let i = 0; i < n; i++) s += `${ticks[i]},${digi[i]},${ao0[i]},${ao1[i]}\n`;
    return s;
  }
  return `errors ${r.badLines}\n` + r.errors.map((e) => `${e.line}: ${e.reason}\n`).join('');
}

test('every pulse file reads as its vector expects', () => {
  const expects = readdirSync(join(data, 'pulses')).filter((n) => n.endsWith('.expect'));
  assert.ok(expects.length >= 20);
  for (const name of expects) {
    const m = /^(.*?)(?:\.as-(csv|binary|little|big))?\.expect$/.exec(name);
    const bytes = new Uint8Array(readFileSync(join(data, 'pulses', m[1])));
    assert.equal(resultText(parseAny(bytes, m[2] || 'auto', m[1])), readFileSync(join(data, 'pulses', name), 'utf8'), name);
  }
});

test('values and DAC codes convert as the vectors expect', () => {
  const v = JSON.parse(readFileSync(join(data, 'values.json'), 'utf8'));
  const cal = {};
  for (const [name, c] of Object.entries(v.calibrations)) {
    cal[name] = coefficients(c.dc_offset, c.slope);
    assert.deepEqual(cal[name], { gain: c.gain, offset: c.offset }, name);
  }
  for (const c of v.to_code) assert.equal(toCode(c.value, cal[c.calibration]), c.code, `${c.calibration} value ${c.value}`);
  for (const c of v.to_value) assert.equal(toValue(c.code, cal[c.calibration]), c.value, `${c.calibration} code ${c.code}`);
});
