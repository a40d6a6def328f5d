// The instrument's web pages in Debian's chromium (headless, driven by playwright-core) against
// the real sim pulserd serving www/. Run in a network namespace of its own (fixed ports).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, rmSync, createWriteStream } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import http from 'node:http';
import { chromium } from 'playwright-core';
import { decodePage } from '../../www/js/readback.js';
import { parseTime } from '../../www/js/preview.js';

const repo = join(dirname(fileURLToPath(import.meta.url)), '..', '..');
const pulserd = process.env.TARVEX_PULSERD || join(repo, 'build/bin/pulserd');
const BASE = 'http://127.0.0.1:8050';
const tmp = mkdtempSync(join(tmpdir(), 'tarvex-web-'));
const root = join(tmp, 'root');
let server, output = '', context, page;
const consoleErrors = [];

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// One JSON-RPC call with optional extra headers: {status, body}.
async function post(method, params = null, headers = {}) {
  const res = await fetch(`${BASE}/json-rpc`, { method: 'POST', headers,
    body: JSON.stringify({ jsonrpc: '2.0', id: 1, method, ...(params === null ? {} : { params }) }) });
  return { status: res.status, body: res.status === 200 ? await res.json() : await res.text() };
}
async function rpc(method, params = null) {
  const { body } = await post(method, params);
  assert.ok(body && 'result' in body, `${method}: ${JSON.stringify(body)}`);
  return body.result;
}
// A command of the simulator's control channel.
function sim(cmd) {
  return new Promise((resolve, reject) => {
    const req = http.request({ socketPath: join(root, 'sim/control.sock'), method: 'POST', path: '/' }, (res) => {
      let text = '';
      res.on('data', (d) => { text += d; });
      res.on('end', () => resolve(JSON.parse(text)));
    });
    req.on('error', reject);
    req.end(JSON.stringify(cmd));
  });
}
async function waitUp() {
  for (let i = 0; i < 200; i++) {
    try { await rpc('getHostname'); return; } catch { await sleep(100); }
  }
  throw new Error(`pulserd did not come up:\n${output}`);
}
const text = (sel) => page.locator(sel).first().innerText();
// Whether each digital row shown is drawn high (and not low) at time t of the list: [[high, low]].
const lanesAt = (t) => page.evaluate((t) => {
  const v = window.tarvex.view, g = v.canvas.getContext('2d'), x = Math.round(v.x(t));
  const blue = (y) => [-1, 0, 1].some((d) => { const p = g.getImageData(x, Math.floor(y) + d, 1, 1).data; return p[2] > 150 && p[0] < 100; });
  return v.layout.filter((r) => r.kind === 'd').map((r) => [blue(r.top + r.height * 0.2), blue(r.top + r.height * 0.85)]);
}, t);
const levels = (d) => Array.from({ length: 8 }, (_, k) => ((d >> k) & 1 ? [true, false] : [false, true]));
const csv = (pulses) => pulses.map((p) => p.join(',')).join('\n') + '\n';

before(async () => {
  server = spawn(pulserd, [], { cwd: join(repo, 'www'), env: { ...process.env, TARVEX_ROOT: root }, stdio: ['ignore', 'pipe', 'pipe'] });
  server.stdout.on('data', (d) => { output += d; });
  server.stderr.on('data', (d) => { output += d; });
  await waitUp();
  context = await chromium.launchPersistentContext(join(tmp, 'profile'), {
    executablePath: process.env.TARVEX_CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
  });
  page = context.pages()[0] || await context.newPage();
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  await page.goto(`${BASE}/`);
});

after(async () => {
  await context?.close();
  server?.kill('SIGKILL');
  rmSync(tmp, { recursive: true, force: true });
});

test('the page shows the instrument and follows a sensor within 2 s', async () => {
  assert.equal(new URL(page.url()).pathname, '/index.shtml');
  await page.waitForFunction(() => document.body.dataset.connection === 'up' && document.body.dataset.live);
  assert.equal(await text('[data-field=firmware]'), await rpc('getFirmwareVersion'));
  assert.equal(await text('[data-field=fpga]'), await rpc('getFPGAID'));
  assert.equal(await text('[data-field=serial]'), await rpc('getSerial'));
  assert.equal(await text('[data-field=hostname]'), await rpc('getHostname'));
  assert.match(await text('[data-field=streaming]'), /^no/);
  const before = await text('[data-field=temperature]');
  await sim({ cmd: 'sensor', channel: 'temperature', raw: 3000 });
  const now = await rpc('getTemperature');
  assert.notEqual(now, before);
  await page.waitForFunction((t) => document.querySelector('[data-field=temperature]').textContent === t,
    now.replace(/^[^:]*:\s*/, ''), { timeout: 2000 });
  assert.deepEqual(consoleErrors, []);
});

test('a file with bad lines reports each by number and sends nothing', async () => {
  const file = join(tmp, 'bad.csv');
  writeFileSync(file, 'ticks,digital,ao0,ao1\n100,255,0,0\n100,256,0,0\n\n100,00002111,0,0\n100,1,40000,0\n100,1,0\n-5,1,0,0\n100,00001111,-32768,32767\n');
  await page.setInputFiles('#seq-file', file);
  await page.waitForFunction(() => document.querySelectorAll('#seq-errors li').length > 0);
  assert.deepEqual(await page.locator('#seq-errors li').allInnerTexts(), [
    'line 3: digital must be 0 to 255 or eight 0/1 characters, not "256"',
    'line 5: digital must be 0 to 255 or eight 0/1 characters, not "00002111"',
    'line 6: ao0 must be -32768 to 32767, not "40000"',
    'line 7: 4 fields expected (ticks,digital,ao0,ao1), found 3',
    'line 8: ticks must be 0 to 4294967295, not "-5"']);
  assert.ok(await page.locator('#btn-stream').isDisabled());
  await page.evaluate(() => document.getElementById('btn-stream').click());
  await sleep(300);
  assert.equal(await rpc('hasSequence'), 0);
  assert.doesNotMatch(output, /jRPC call/);
});

// A few hundred pulses whose outputs change on and off the 8 ns word grid.
const pulses = Array.from({ length: 300 }, (_, i) => [40 + (i % 7) * 8 + (i % 3), (i * 37) & 255, i % 5 ? (i * 101) % 30000 - 15000 : 0, -i * 50]);
const startOf = (i) => pulses.slice(0, i).reduce((s, p) => s + p[0], 0);

test('a CSV previews, streams, and reads back as loaded', async () => {
  const file = join(tmp, 'seq.csv');
  writeFileSync(file, csv(pulses).replace(/^(\d+),(\d+),/m, (m, t, d) => `${t},${Number(d).toString(2).padStart(8, '0')},`));
  await page.setInputFiles('#seq-file', file);
  await page.waitForFunction(() => document.body.dataset.preview === '300');
  assert.match(await text('#seq-summary'), new RegExp(`300 pulses, ${(startOf(300) / 1000).toPrecision(4)} µs in total`));
  // The cursor read-out at the middle of pulses shows that pulse: transitions sit at their times.
  await page.locator('#wave').scrollIntoViewIfNeeded();
  const box = await page.locator('#wave').boundingBox();
  for (const i of [0, 1, 57, 150, 299]) {
    const t = startOf(i) + pulses[i][0] / 2;
    const x = await page.evaluate((t) => window.tarvex.view.x(t), t);
    await page.mouse.move(box.x + x, box.y + 100);
    const [ticks, d, a0, a1] = pulses[i];
    assert.match(await text('#cursor'), new RegExp(`list: pulse ${i + 1}, digital ${d.toString(2).padStart(8, '0')}, ao0 ${a0}, ao1 ${a1}`), `pulse ${i} of ${ticks} ns`);
  }
  // Zoomed in on pulses 50 to 60, each lane is drawn high or low as the pulse's digital byte says.
  await page.evaluate(([a, b]) => { const v = window.tarvex.view; v.setRange(a, b); v.draw(); }, [startOf(50), startOf(60)]);
  for (let i = 50; i < 60; i++) assert.deepEqual(await lanesAt(startOf(i) + pulses[i][0] / 2), levels(pulses[i][1]), `pulse ${i}`);
  await page.fill('#stream-runs', '-1');
  await page.click('#btn-stream');
  await page.waitForFunction(() => document.body.dataset.streamed === '300');
  assert.equal(await text('#stream-answer'), 'Streaming 300 pulses from slot 0');
  assert.equal(await rpc('isStreaming'), 1);
  await page.click('#btn-readback');
  await page.waitForFunction(() => document.body.dataset.readback);
  assert.match(await text('#readback-answer'), /matches the list/);
  assert.equal(await page.evaluate(() => document.body.dataset.readback), 'matches');
  // The binary form carries the JSON form's segments; bad queries are refused.
  const get = (q) => fetch(`${BASE}/api/slot/0/segments?${q}`);
  const json = await (await get('from=3&max=65536')).json();
  const bin = decodePage(await (await get('from=3&max=65536&form=binary')).arrayBuffer());
  assert.deepEqual(Array.from({ length: bin.n }, (_, i) => [bin.ticks[i], bin.digi[i], bin.code0[i], bin.code1[i]]), json.segments);
  assert.equal(bin.more, false);
  for (const [q, status] of [['form=xml', 400], ['form=binary&max=65537', 400], ['form=binary&max=0', 400], ['from=-1&form=binary', 400],
    ['from=999999999999999&form=binary', 200], ['from=0&form=json', 200]]) assert.equal((await get(q)).status, status, q);
  if (process.env.TARVEX_SCREENSHOT) {
    const names = (channels) => { writeFileSync(join(tmp, 'names.json'), JSON.stringify({ format: 'tarvex-setup', version: 1, channels })); return page.setInputFiles('#setup-file', join(tmp, 'names.json')); };
    await names([['laser', 'd0'], ['camera trigger', 'd1'], ['shutter', 'd2'], ['ramp', 'ao0']].map(([name, output]) => ({ name, output, default: 0 })));
    await page.locator('#channels summary').click();
    await page.evaluate((t) => window.tarvex.view.setRange(0, t), startOf(40));
    await sleep(300);
    await page.screenshot({ path: process.env.TARVEX_SCREENSHOT, fullPage: true });
    await names([]);
    await page.locator('#channels summary').click();
  }
});

test('2,000,000 pulses preview and stream with a progress bar', async () => {
  const n = 2000000, file = join(tmp, 'big.csv');
  const out = createWriteStream(file);
  for (let i = 0; i < n; i += 10000) {
    let chunk = '';
    for (let k = i; k < i + 10000; k++) chunk += `${8 + (k % 13)},${k & 255},${(k % 200) * 100},${-(k % 300) * 100}\n`;
    out.write(chunk);
  }
  await new Promise((r) => out.end(r));
  await page.setInputFiles('#seq-file', file);
  await page.waitForFunction(() => document.body.dataset.preview === '2000000', null, { timeout: 60000 });
  const ms = await page.evaluate(() => window.tarvex.timings);
  console.log(`preview of ${n} pulses, CSV file chosen to preview drawn (ms): ${JSON.stringify(ms)}`);
  await page.evaluate(() => {
    window.progressSeen = [];
    new MutationObserver(() => { const b = document.getElementById('stream-progress'); window.progressSeen.push([b.value, b.max]); })
      .observe(document.getElementById('stream-progress'), { attributes: true });
  });
  // A 24 MB body on loopback may leave before the first progress event: send it at 40 MB/s.
  const cdp = await context.newCDPSession(page);
  const upload = (bytesPerS) => cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: bytesPerS });
  await cdp.send('Network.enable');
  await upload(40e6);
  await page.click('#btn-stream');
  await page.waitForFunction(() => document.body.dataset.streamed === '2000000', null, { timeout: 120000 });
  await upload(-1);
  await cdp.detach();
  const seen = await page.evaluate(() => window.progressSeen);
  assert.ok(seen.some(([v, m]) => v > 0 && v < m && m > 20e6), JSON.stringify(seen.slice(0, 5)));
  assert.equal(await text('#stream-answer'), 'Streaming 2,000,000 pulses from slot 0');
  assert.match(output, /jRPC call: len: 2000000, n_runs: -1/);
});

test('2,000,000 pulses read back off the main thread; the axis stays exact at 1 ns per pixel deep inside', async () => {
  await page.evaluate(() => {
    window.longTasks = [];
    new PerformanceObserver((l) => window.longTasks.push(...l.getEntries().map((e) => e.duration))).observe({ type: 'longtask' });
  });
  await page.click('#btn-readback');
  await page.waitForFunction(() => document.body.dataset.readback, null, { timeout: 540000 })
    .catch(async (e) => assert.fail(`${e.message}: ${await text('#readback-answer')}`));
  const { readbackMs, readbackWorkerMs } = await page.evaluate(() => window.tarvex.timings);
  const longest = Math.max(0, ...await page.evaluate(() => window.longTasks));
  console.log(`readback of 2,000,000 pulses drawn in ${readbackMs.toFixed(0)} ms (worker ${readbackWorkerMs.toFixed(0)} ms), longest main-thread task ${longest.toFixed(0)} ms`);
  assert.equal(await page.evaluate(() => document.body.dataset.readback), 'matches', await text('#readback-answer'));
  assert.ok(readbackMs < 540000 && longest < 5000, 'far outside any sane figure');
  // 1 ns per pixel around pulse 1,500,001: ticks at whole steps, labels distinct, read back exactly.
  const k = 1500000, T = await page.evaluate((k) => window.tarvex.view.list.start[k], k);
  const axis = await page.evaluate((T) => { const v = window.tarvex.view; v.setRange(T, T + v.plotWidth()); v.draw(); return { ticks: v.ticks, origin: v.origin, x0: v.x(T), span: v.span }; }, T);
  assert.equal(axis.span, await page.evaluate(() => window.tarvex.view.plotWidth()));
  const step = axis.ticks[1].t - axis.ticks[0].t;
  assert.ok(axis.ticks.length >= 5 && step >= 1 && axis.ticks[0].t >= T && axis.ticks[0].t < T + step, JSON.stringify(axis));
  assert.equal(new Set(axis.ticks.map((x) => x.text)).size, axis.ticks.length);
  axis.ticks.forEach(({ t, x, text: label }, i) => {
    assert.equal(t, axis.ticks[0].t + i * step);
    assert.equal(axis.origin + parseTime(label.replace(/^\+/, '')), t, label);
    assert.ok(Math.abs(x - axis.x0 - (t - T)) < 1e-6, `${label} at ${x}`);
  });
  assert.match(await text('#view-range'), /^\d+\.\d+ ms – \d+\.\d+ ms/);
  for (let i = k; i < k + 40; i += 7) {
    const mid = await page.evaluate((i) => { const s = window.tarvex.view.list.start; return (s[i] + s[i + 1]) / 2; }, i);
    assert.deepEqual(await lanesAt(mid), levels(i & 255), `pulse ${i}`);
  }
  // A typed time is centred; three wheel notches zoom 64 times, Page Down 10 times; a shift-drag
  // shows the part selected.
  const view = () => page.evaluate(() => { const v = window.tarvex.view; return { t0: v.t0, span: v.span, pw: v.plotWidth() }; });
  await page.fill('#goto-time', `${(T + 12345) / 1e6} ms`);
  await page.click('#btn-goto');
  let v = await view();
  assert.equal(v.t0 + v.span / 2, T + 12345);
  await page.evaluate(() => window.tarvex.view.zoom(1e4));
  await page.locator('#wave').scrollIntoViewIfNeeded();
  const box = await page.locator('#wave').boundingBox(), left = box.x + 1 + 150;   // inside its border
  await page.mouse.move(left + 300, box.y + 20);
  v = await view();
  for (const [act, factor] of [[() => page.mouse.wheel(0, -300), 1 / 64], [async () => { await page.focus('#wave'); await page.keyboard.press('PageDown'); }, 1 / 10]]) {
    await act();
    await sleep(100);
    const w = await view();
    assert.ok(Math.abs(w.span / v.span / factor - 1) < 1e-9, `${w.span} after ${v.span}`);
    v = w;
  }
  await page.keyboard.down('Shift');
  await page.mouse.move(left + 100, box.y + 20);
  await page.mouse.down();
  await page.mouse.move(left + 400, box.y + 20);
  await page.mouse.up();
  await page.keyboard.up('Shift');
  const w = await view();
  assert.ok(Math.abs(w.t0 - (v.t0 + 100 / v.pw * v.span)) < 1 && Math.abs(w.span - 300 / v.pw * v.span) < 1, JSON.stringify([v, w]));
});

const peek = async (addr) => (await sim({ cmd: 'peek', addr })).value;

test('each control changes what the instrument reports', async () => {
  const cases = [
    [async () => { await page.selectOption('#trigger-form [name=start]', '3'); await page.selectOption('#trigger-form [name=rearm]', '1'); await page.click('#trigger-form [type=submit]'); },
      async () => [await rpc('getTriggerStart'), await rpc('getTriggerRearm')], [3, 1], '[data-field=trigger-reported]', 'hardware, falling edge, rearm manual'],
    [async () => { await page.selectOption('#clock-form [name=source]', '1'); await page.click('#clock-form [type=submit]'); },
      () => rpc('getClock'), 1, '[data-field=clock-reported]', 'external 125 MHz'],
    [async () => { await page.check('[name=sq2]'); await page.check('[name=sq7]'); await page.click('#square-form [type=submit]'); },
      async () => ((await peek('0x43C00004')) >> 2) & 255, 0x84],
    [async () => { await page.check('[name=c0]'); await page.check('[name=c5]'); await page.click('#constant-form [type=submit]'); },
      () => peek('0x43C00010'), 0x21],
    [async () => { await page.fill('#clock-form [name=steps]', '-3'); await page.click('#btn-phase'); },
      async () => (await sim({ cmd: 'clock' })).phase_position, -3],
    [async () => { await page.fill('#clock-form [name=freq]', '100'); await page.click('#btn-clkparam'); },
      async () => ((await sim({ cmd: 'clock' })).params.at(-1) >>> 22), 580],
    [() => page.click('#btn-forcefinal'), () => rpc('isStreaming'), 0],
  ];
  for (const [act, read, want, field, shown] of cases) {
    await act();
    for (let i = 0; i < 50 && JSON.stringify(await read()) !== JSON.stringify(want); i++) await sleep(100);
    assert.deepEqual(await read(), want, act.toString());
    if (field) await page.waitForFunction(([f, s]) => document.querySelector(f).textContent === s, [field, shown]);
  }
  await page.fill('#hostname-form [name=hostname]', 'bench-7');
  await page.click('#hostname-form [type=submit]');
  await page.waitForFunction(() => document.getElementById('id-hostname').textContent === 'bench-7');
});

test('a bad network address is refused in the page; test mode runs the test', async () => {
  const conf = join(root, 'userconfig/network/network.conf'), stored = readFileSync(conf, 'utf8');
  await page.uncheck('#network-form [name=dhcp]');
  await page.fill('#network-form [name=ip]', '192.168.1.300');
  await page.fill('#network-form [name=netmask]', '255.0.255.0');
  await page.fill('#network-form [name=gateway]', '10.0.0.1');
  await page.click('#btn-net-store');
  assert.deepEqual(await page.locator('#network-errors li').allInnerTexts(), [
    'address "192.168.1.300" is not a dotted IPv4 address', 'netmask 255.0.255.0 is not a run of ones followed by zeros']);
  assert.equal(await page.locator('#confirm').getAttribute('open'), null);
  await page.fill('#network-form [name=ip]', '192.168.1.50');
  await page.fill('#network-form [name=netmask]', '255.255.255.0');
  await page.click('#btn-net-test');
  assert.deepEqual(await page.locator('#network-errors li').allInnerTexts(), ['gateway 10.0.0.1 is outside the subnet of 192.168.1.50/255.255.255.0']);
  await page.fill('#network-form [name=gateway]', '192.168.1.1');
  await page.click('#btn-net-test');
  await page.waitForFunction(() => /testing/.test(document.getElementById('network-answer').textContent));
  assert.ok((await sim({ cmd: 'commands' })).commands.some((c) => /testip/.test(JSON.stringify(c)) && /IP=192\.168\.1\.50/.test(JSON.stringify(c))));
  assert.equal(readFileSync(conf, 'utf8'), stored);
});

test('a lost connection and a reboot show "reconnecting", then live data again', async () => {
  assert.deepEqual(consoleErrors, []);
  const lost = async (why) => {
    await page.waitForFunction(() => document.body.dataset.connection === 'lost', null, { timeout: 15000 });
    assert.match(await text('#connection'), why);
    return page.evaluate(() => Number(document.body.dataset.live));
  };
  const back = (since) => page.waitForFunction((t) => document.body.dataset.connection === 'up' &&
    Number(document.body.dataset.live) > t, since, { timeout: 30000 });
  // A reboot asked for in the page: the server process starts afresh.
  const starts = output.split('Starting Json Http Daemon').length;
  await page.click('#btn-reboot');
  await page.click('#confirm-ok');
  await back(await lost(/restarting – reconnecting/));
  assert.equal(output.split('Starting Json Http Daemon').length, starts + 1);
  assert.equal(await text('[data-field=fpga]'), await rpc('getFPGAID'));
  // The instrument stops answering on its own, and answers again.
  server.kill('SIGSTOP');
  const stoppedAt = await lost(/^connection lost – reconnecting/);
  const fresh = () => page.evaluate(() => [...document.querySelectorAll('[data-field], #status-bits li')]
    .filter((e) => !e.classList.contains('stale')).map((e) => e.dataset.field || e.textContent));
  assert.deepEqual(await fresh(), []);
  server.kill('SIGCONT');
  await back(stoppedAt);
  await page.waitForFunction(() => !document.querySelector('.stale') && !document.body.dataset.stale, null, { timeout: 10000 });
  consoleErrors.length = 0;   // the refused connections while the server was away
});

test('a cross-origin JSON-RPC POST is refused and changes nothing; a same-origin one works', async () => {
  const start = await rpc('getTriggerStart');
  const foreign = await post('setTrigger', [start === 2 ? 4 : 2], { Origin: 'http://lab-visitor.example' });
  assert.equal(foreign.status, 403);
  assert.equal(await rpc('getTriggerStart'), start);
  const own = await post('setTrigger', [2], { Origin: BASE });
  assert.equal(own.status, 200);
  assert.equal(await rpc('getTriggerStart'), 2);
  // The page's own calls carry its origin and work.
  await page.selectOption('#trigger-form [name=start]', '0');
  await page.click('#trigger-form [type=submit]');
  await page.waitForFunction(() => /immediate/.test(document.querySelector('[data-field=trigger-reported]').textContent));
  assert.deepEqual(consoleErrors, []);
});

test('rows of unused outputs are hidden; names stay across a reload and travel in the setup file', async () => {
  const rows = () => page.evaluate(() => window.tarvex.view.layout.map((r) => r.name));
  writeFileSync(join(tmp, 'two.csv'), csv([[100, 1, 0, 0], [100, 2, 5000, 0], [100, 3, -5000, 0]]));
  await page.setInputFiles('#seq-file', join(tmp, 'two.csv'));
  await page.waitForFunction(() => document.body.dataset.preview === '3');
  assert.deepEqual(await rows(), ['D0', 'D1', 'AO0']);
  await page.locator('#channels summary').click();
  await page.fill('tr[data-output=d0] [name=name]', 'laser');
  await page.locator('tr[data-output=d0] [name=name]').dispatchEvent('change');
  await page.selectOption('tr[data-output=d5] [name=show]', '1');
  await page.selectOption('tr[data-output=d1] [name=show]', '0');
  assert.deepEqual(await rows(), ['laser', 'D5', 'AO0']);
  await page.reload();
  await page.setInputFiles('#seq-file', join(tmp, 'two.csv'));
  await page.waitForFunction(() => document.body.dataset.preview === '3');
  assert.deepEqual(await rows(), ['laser', 'D5', 'AO0']);
  await page.locator('#channels summary').click();
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#btn-setup-export')]);
  assert.deepEqual(JSON.parse(readFileSync(await download.path(), 'utf8')),
    { format: 'tarvex-setup', version: 1, channels: [{ name: 'laser', output: 'd0', default: 0 }] });
  const setup = (doc) => { writeFileSync(join(tmp, 'setup.json'), JSON.stringify(doc)); return page.setInputFiles('#setup-file', join(tmp, 'setup.json')); };
  await setup({ format: 'tarvex-setup', version: 2, channels: [] });
  await page.waitForFunction(() => /version 2 is not supported/.test(document.getElementById('channels-answer').textContent));
  await setup({ format: 'tarvex-setup', version: 1, channels: [{ name: 'camera', output: 'd1', default: 1 }, { name: 'ramp', output: 'ao0', default: -3 }], note: 'x' });
  await page.waitForFunction(() => /2 names read/.test(document.getElementById('channels-answer').textContent));
  assert.deepEqual(await rows(), ['D0', 'D5', 'ramp']);
  assert.equal(await page.inputValue('tr[data-output=d1] [name=name]'), 'camera');
});
