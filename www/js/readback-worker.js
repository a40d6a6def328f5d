// Reads a slot back off the page's thread: fetches its pages in the binary form, builds the trace,
// its drawing summary and its comparison with the loaded list. Request: {id, slot, cal0, cal1,
// list (columns n, start, digi, ao0, ao1, or null)}; answers {id, progress} while reading (and
// comparing what has come), then {id, trace, marks, ms} or {id, error}.
import { readSlot, comparer, HEAD } from './readback.js';
import { summary, usage } from './preview.js';

const MAX_PAGE_BYTES = 16 << 20;     // far above any page of the binary form

self.onmessage = async ({ data }) => {
  const { id, slot, cal0, cal1, list } = data;
  const t0 = performance.now();
  try {
    let cmp = null;
    const reading = readSlot(slot, async (url, onHead) => {
      const res = await fetch(url, { cache: 'no-store' });
      if (!res.ok) throw new Error(`HTTP ${res.status}: ${await res.text().then((t) => JSON.parse(t).error, () => '')}`);
      // The page gathered as it arrives, its head handed on at once.
      const size = Number(res.headers.get('Content-Length'));
      if (!(size > 0) || size > MAX_PAGE_BYTES) return res.arrayBuffer();
      const bytes = new Uint8Array(size), reader = res.body.getReader();
      for (let got = 0; ;) {
        const { done, value } = await reader.read();
        if (done) return got === size ? bytes.buffer : bytes.buffer.slice(0, got);
        if (got + value.length > size) throw new Error('unreadable page');
        bytes.set(value, got);
        if (got < HEAD && got + value.length >= HEAD) onHead(bytes.buffer.slice(0, HEAD));
        got += value.length;
      }
    }, cal0, cal1, (progress, sofar) => {
      self.postMessage({ id, progress });
      if (cmp) cmp.feed(sofar, false);     // while the next page is on its way
    }, list ? list.start[list.n] : 0);
    cmp = list && comparer(list, cal0, cal1);   // while the first page is on its way
    const trace = await reading;
    if (cmp) cmp.feed(trace, true);
    const marks = cmp ? cmp.marks() : null;
    const b = summary(trace);
    usage(trace);
    const ms = performance.now() - t0;
    const arrays = [trace.start, trace.digi, trace.ao0, trace.ao1, trace.code0, trace.code1, ...Object.values(b)];
    if (marks) arrays.push(marks.t0, marks.t1, marks.kind);
    self.postMessage({ id, trace, marks, ms }, arrays.map((a) => a.buffer));
  } catch (e) {
    self.postMessage({ id, error: e.message });
  }
};
