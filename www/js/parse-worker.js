// Reads and checks a pulse list off the page's thread, so the page stays responsive while a
// file of 2,000,000 pulses is read. Request: {id, file | bytes, format}; answer: {list} (columns,
// transferred) or {errors, badLines}, with the time taken reading and checking.
import { parseAny } from './pulses.js';

self.onmessage = async ({ data }) => {
  const t0 = performance.now();
  let bytes;
  try {
    bytes = data.bytes || new Uint8Array(await data.file.arrayBuffer());
  } catch (e) {
    self.postMessage({ id: data.id, errors: [{ line: 0, reason: `the file cannot be read: ${e.message}` }], badLines: 1 });
    return;
  }
  const t1 = performance.now();
  const result = parseAny(bytes, data.format, data.file ? data.file.name : '');
  const timings = { readMs: t1 - t0, parseMs: performance.now() - t1 };
  if (!result.list) {
    self.postMessage({ id: data.id, errors: result.errors, badLines: result.badLines, timings });
    return;
  }
  const c = result.list.columns();
  self.postMessage({ id: data.id, list: c, timings }, [c.ticks.buffer, c.digi.buffer, c.ao0.buffer, c.ao1.buffer, c.start.buffer]);
};
