// The instrument's page: live status, controls, sequences with their waveform, settings.
import { call, callLarge, requestHead, onConnection, RpcError } from './rpc.js';
import { PulseList, toBase64Records, formatTime, MAX_FILE_BYTES } from './pulses.js';
import { WaveView, parseTime } from './preview.js';
import { coefficients, calibrationInRange } from './readback.js';
import { OUTPUTS, loadStored, store, parseSetup, setupText, nameError, viewChannels, MAX_SETUP_BYTES } from './channels.js';
import { networkErrors, hostnameError } from './netcheck.js';

const $ = (id) => document.getElementById(id);
const fields = (name) => document.querySelectorAll(`[data-field="${name}"]`);
function show(name, text) {
  for (const el of fields(name)) { el.textContent = text; el.classList.remove('stale'); }
}
// Every value shown is marked stale while the instrument does not answer; each loses the mark
// when it is read again.
function markStale() {
  for (const el of document.querySelectorAll('[data-field], #id-hostname, #status-bits li')) el.classList.add('stale');
  document.body.dataset.stale = '1';
}

// One line of the instrument's answer under a control: "ok" texts plain, refusals marked.
function answer(id, text, bad = false) {
  const el = $(id);
  el.textContent = text;
  el.classList.toggle('bad', bad);
}
function failure(e) { return e instanceof RpcError ? `refused: ${e.message}` : `${e.message}`; }
// Runs a control's call and writes its outcome under it; the status refresh follows at once.
async function act(id, what, fn) {
  answer(id, `${what}…`);
  try {
    const text = await fn();
    answer(id, text || `${what}: done`);
  } catch (e) {
    answer(id, `${what}: ${failure(e)}`, true);
  }
  refresh();
}

// ---------------------------------------------------------------- connection and status

const START_NAMES = ['immediate', 'software trigger', 'hardware, rising edge', 'hardware, falling edge', 'hardware, both edges'];
const REARM_NAMES = ['automatic', 'manual'];
const CLOCK_NAMES = ['internal', 'external 125 MHz', 'external 10 MHz reference'];
const STATE_NAMES = ['idle', 'loading', 'streaming', 'armed', 'stopped'];
const STATUS_BITS = [
  [0, 'streaming'], [1, 'datamover 0 halted'], [2, 'datamover 1 halted'], [3, 'FPGA data valid'],
  [4, 'underflow error'], [6, 'FIFO full'], [7, 'slot 0 holds a sequence'], [8, 'slot 1 holds a sequence'],
  [9, 'FIFOs filled (with 20)'], [10, 'rearm possible'], [11, 'phase step carried out'], [17, 'finished'],
  [18, 'output stage ready'], [19, 'loop mode'], [20, 'decoder FIFO full'],
  [21, 'slot 0 memory busy (first flag)'], [24, 'slot 0 memory busy (second flag, ends the start wait)'],
  [22, 'slot 1 memory busy (first flag)'], [25, 'slot 1 memory busy (second flag, ends the start wait)'],
  [23, 'error kind, first flag (ends the start wait)'], [26, 'error kind, second flag (both: error cleared)'],
  [27, 'rearm strobe needed'],
  [28, 'slot 0 data ready'], [29, 'slot 1 data ready'], [30, 'slot 0 does not count'], [31, 'slot 1 does not count'],
];

let identityKnown = false;
let controlsSynced = false;
let busy = null;              // text of a long call in progress (status refresh paused)
let refreshing = false;
let timer = null;

function setConnection(state, text) {
  const el = $('connection');
  el.className = `conn conn-${state}`;
  el.textContent = text;
  document.body.dataset.connection = state;
}

// A restart the page asked for (reboot, stored settings): the instrument may answer a while
// longer, then goes away and comes back; the page waits for that, probing quickly, and takes an
// instrument that never stopped answering as back after RESTART_GRACE_MS.
const RESTART_GRACE_MS = 20000;
let restartFrom = 0;
let sawDown = false;

function expectRestart() {
  restartFrom = Date.now();
  sawDown = false;
  markStale();
  setConnection('lost', 'instrument restarting – reconnecting…');
  schedule();
}

onConnection((up) => {
  if (up) {
    if (!restartFrom) setConnection('up', 'connected');
    return;
  }
  sawDown = true;
  markStale();
  identityKnown = false;
  controlsSynced = false;
  setConnection('lost', restartFrom ? 'instrument restarting – reconnecting…' : 'connection lost – reconnecting…');
});

async function loadIdentity() {
  const [serial, fw, hw, fpga] = await Promise.all([
    call('getSerial'), call('getFirmwareVersion'), call('getHardwareVersion'), call('getFPGAID')]);
  show('serial', serial); show('firmware', fw); show('hardware', hw); show('fpga', fpga);
  identityKnown = true;
  await loadSettings();
}

function showBits(word) {
  const ul = $('status-bits');
  if (!ul.childElementCount) {
    for (const [bit, name] of STATUS_BITS) {
      const li = document.createElement('li');
      li.dataset.bit = bit;
      li.textContent = `${bit} ${name}`;
      ul.append(li);
    }
  }
  for (const li of ul.children) {
    li.classList.toggle('on', ((word >>> Number(li.dataset.bit)) & 1) === 1);
    li.classList.remove('stale');
  }
}

async function refresh() {
  if (refreshing || busy) return;
  refreshing = true;
  const restart = restartFrom;   // values from before a restart asked for meanwhile are dropped
  try {
    if (restartFrom && !sawDown) {
      await call('getHostname');
      if (Date.now() - restartFrom < RESTART_GRACE_MS) return;
    }
    if (!identityKnown) await loadIdentity();
    else if (document.querySelector('[data-field^="net-"].stale')) await loadSettings();
    const [host, temp, supply, st, streaming, word, tstart, trearm, clock, hasSeq, finished] = await Promise.all([
      call('getHostname'), call('getTemperature'), call('getSupplyState'), call('getStreamingState'),
      call('isStreaming'), call('getStatusRegister'), call('getTriggerStart'), call('getTriggerRearm'),
      call('getClock'), call('hasSequence'), call('hasFinished')]);
    if (restartFrom !== restart) return;
    show('hostname', host);
    $('id-hostname').textContent = host;
    $('id-hostname').classList.remove('stale');
    document.title = `Tarvex ${host}`;
    show('temperature', String(temp).replace(/^[^:]*:\s*/, ''));   // "On-Chip Temperature: 34.45 °C"
    show('current', `${(+supply['Current/A']).toFixed(3)} A`);
    show('v12', `${(+supply['Voltage_12/V']).toFixed(3)} V`);
    show('v33', `${(+supply['Voltage_3.3/V']).toFixed(3)} V`);
    show('streaming', streaming ? 'yes, a sequence is streaming' : 'no');
    show('state', `${st.State} (${STATE_NAMES[st.State] || '?'})`);
    show('condition', String(st.StateCondition));
    show('error', st.ErrorMessage || 'none');
    show('total', formatTime(st.TotalTime * 8));
    show('streamtime', formatTime(st.StreamingTime * 8));
    show('underflowtime', formatTime(st.UnderflowTime * 8));
    show('waiting', formatTime(st.WaitingDataTime * 8));
    show('slotchanges', String(st.SlotChanges));
    show('statusword', `0x${(word >>> 0).toString(16).toUpperCase().padStart(8, '0')}`);
    showBits(word);
    if (!controlsSynced) {
      // The choices start from what the instrument runs now.
      const tf = $('trigger-form'), cf = $('clock-form');
      tf.start.value = tstart; tf.rearm.value = trearm; cf.source.value = clock;
      controlsSynced = true;
    }
    show('trigger-reported', `${START_NAMES[tstart] ?? tstart}, rearm ${REARM_NAMES[trearm] ?? trearm}`);
    show('clock-reported', CLOCK_NAMES[clock] ?? String(clock));
    show('phase-reported', (word >>> 11) & 1 ? 'yes' : 'no');
    show('hassequence', hasSeq ? 'yes' : 'no');
    show('finished', finished ? 'yes' : 'no');
    document.body.dataset.live = String(Date.now());
    if (!document.querySelector('.stale')) delete document.body.dataset.stale;
    if (restartFrom) {
      restartFrom = 0;
      setConnection('up', 'connected');
      schedule();
    }
  } catch (e) {
    if (e instanceof RpcError) console.warn(e.message);
  } finally {
    refreshing = false;
  }
}

function schedule() {
  clearInterval(timer);
  timer = null;
  if (document.hidden) return;
  refresh();
  timer = setInterval(refresh, restartFrom ? 200 : 1000);
}
document.addEventListener('visibilitychange', schedule);

// ---------------------------------------------------------------- controls

function switches(containerId, prefix) {
  const box = $(containerId);
  for (let k = 7; k >= 0; k--) {
    const l = document.createElement('label');
    l.className = 'switch';
    l.innerHTML = `<input type="checkbox" name="${prefix}${k}" value="${k}"><span>${k}</span>`;
    box.append(l);
  }
  return () => [...box.querySelectorAll('input')].reduce((m, i) => (i.checked ? m | (1 << Number(i.value)) : m), 0);
}

// A whole number from an input within [lo, hi], or an Error naming the field.
function intValue(input, lo, hi, name) {
  const v = Number(input.value);
  if (input.value.trim() === '' || !Number.isInteger(v) || v < lo || v > hi) throw new Error(`${name} must be a whole number from ${lo} to ${hi}`);
  return v;
}

function controls() {
  const tf = $('trigger-form');
  tf.addEventListener('submit', (e) => {
    e.preventDefault();
    act('trigger-answer', 'Set trigger', () => call('setTrigger', [Number(tf.start.value), Number(tf.rearm.value)]));
  });
  $('btn-startnow').onclick = () => act('trigger-answer', 'Software trigger', () => call('startNow'));
  $('btn-rearm').onclick = () => act('trigger-answer', 'Rearm', async () => (await call('rearm')) ? 'Rearmed' : 'Rearm: nothing to rearm');

  const cf = $('clock-form');
  cf.addEventListener('submit', (e) => {
    e.preventDefault();
    act('clock-answer', 'Select clock', () => call('selectClock', [Number(cf.source.value)]));
  });
  $('btn-clkparam').onclick = () => act('clock-answer', 'Set reference', async () => {
    const f = Number(cf.freq.value);
    const d = Math.floor(625 / f);
    if (!(f > 0) || d < 1 || d > 64) throw new Error('the reference must be from 9.765625 to 625 MHz');
    await call('setClkParam', [f]);
    return `Reference set to ${f} MHz`;
  });
  $('btn-phase').onclick = () => act('clock-answer', 'Shift phase', async () => {
    const n = intValue(cf.steps, -100000, 100000, 'Phase steps');
    await call('shiftClkPhase', [n]);
    const word = await call('getStatusRegister');
    return (word >>> 11) & 1 ? `Phase shifted by ${n} steps` : `Phase shift: the last step was not carried out`;
  });

  const squareMask = switches('square-switches', 'sq');
  $('square-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const m = squareMask();
    act('square-answer', 'Set square waves', async () => {
      await call('setSquareWave125MHz', [m]);
      return `Square waves on channels: ${m ? [0, 1, 2, 3, 4, 5, 6, 7].filter((k) => m & (1 << k)).join(', ') : 'none'}`;
    });
  });

  const constMask = switches('constant-switches', 'c');
  const kf = $('constant-form');
  kf.addEventListener('submit', (e) => {
    e.preventDefault();
    act('constant-answer', 'Set constant output', async () => {
      const a0 = intValue(kf.ao0, -32768, 32767, 'Analog 0'), a1 = intValue(kf.ao1, -32768, 32767, 'Analog 1');
      const d = constMask();
      await call('constant', [[0, d, a0, a1]]);
      return `Constant output: digital ${d.toString(2).padStart(8, '0')}, analog ${a0}, ${a1}`;
    });
  });

  $('btn-forcefinal').onclick = () => act('run-answer', 'Stop', async () => { await call('forceFinal'); return 'Stopped: the outputs show the final state'; });
  $('btn-reset').onclick = () => act('run-answer', 'Reset', async () => { await call('reset'); return 'Reset done'; });
  $('btn-start').onclick = () => act('run-answer', 'Start', async () => {
    const slot = Number($('start-slot').value);
    const runs = intValue($('start-runs'), -1, Number.MAX_SAFE_INTEGER, 'Slot runs');
    const r = await call('start', [slot, runs]);
    return r === 0 ? `Slot ${slot} started` : `Start refused by the instrument (${r})`;
  });
}

// ---------------------------------------------------------------- sequences

let list = null;
let view = null;
const finalMask = switches('final-switches', 'f');
window.tarvex = { timings: {} };     // figures for whoever measures the page

function showErrors(result) {
  const ul = $('seq-errors');
  ul.replaceChildren();
  for (const { line, reason } of result.errors) {
    const li = document.createElement('li');
    li.textContent = line ? `line ${line}: ${reason}` : reason;
    ul.append(li);
  }
  if (result.badLines > result.errors.length) {
    const li = document.createElement('li');
    li.textContent = `… and ${result.badLines - result.errors.length} more bad lines`;
    ul.append(li);
  }
}

const parser = new Worker(new URL('./parse-worker.js', import.meta.url), { type: 'module' });
let loads = 0;

// Reads a file ({file}) or text ({bytes}) on the parser's thread and shows the outcome; only the
// latest request counts.
function load(source, format, startedAt, name) {
  const id = ++loads;
  list = null;
  $('btn-stream').disabled = true;
  $('seq-summary').className = 'muted';
  $('seq-summary').textContent = `Reading ${name}…`;
  parser.onmessage = ({ data }) => {
    if (data.id !== loads) return;
    Object.assign(window.tarvex.timings, data.timings);
    showErrors(data.list ? { errors: [], badLines: 0 } : data);
    if (!data.list) {
      view.setList(null);
      const bad = data.badLines;
      $('seq-summary').textContent = `${name}: ${bad} bad line${bad === 1 ? '' : 's'}; nothing will be sent.`;
      $('seq-summary').className = 'bad';
      return;
    }
    list = PulseList.fromColumns(data.list);
    $('btn-stream').disabled = !!busy;
    $('seq-summary').className = '';
    $('seq-summary').textContent = `${name}: ${list.n.toLocaleString('en')} pulses, ${formatTime(list.duration)} in total.`;
    const shown = list;
    view.onDrawn = () => {
      view.onDrawn = null;
      window.tarvex.timings.previewMs = performance.now() - startedAt;
      window.tarvex.timings.drawMs = view.drawMs;
      document.body.dataset.preview = String(shown.n);
    };
    view.setList(list);
  };
  parser.postMessage({ id, ...source, format });
}

function sequences() {
  view = new WaveView($('wave'), $('cursor'), $('view-range'));
  window.tarvex.view = view;
  $('seq-file').addEventListener('change', (e) => {
    const t = performance.now();
    const file = e.target.files[0];
    if (!file) return;
    if (file.size > MAX_FILE_BYTES) {
      list = null;
      $('btn-stream').disabled = true;
      view.setList(null);
      showErrors({ errors: [{ line: 0, reason: `${file.name} is ${file.size} bytes, more than ${MAX_FILE_BYTES}` }], badLines: 1 });
      return;
    }
    load({ file }, $('seq-format').value, t, file.name);
  });
  $('btn-seq-text').onclick = () => load({ bytes: new TextEncoder().encode($('seq-text').value) }, 'csv', performance.now(), 'Pasted text');
  $('btn-zoom-in').onclick = () => view.zoom(1 / 4);
  $('btn-zoom-out').onclick = () => view.zoom(4);
  $('btn-zoom-all').onclick = () => view.showAll();
  const goTo = () => {
    const t = parseTime($('goto-time').value);
    $('goto-time').classList.toggle('bad', t === null);
    if (t !== null) view.goTo(t);
  };
  $('btn-goto').onclick = goTo;
  $('goto-time').addEventListener('keydown', (e) => { if (e.key === 'Enter') goTo(); });
  channels();

  $('btn-stream').onclick = async () => {
    if (!list || busy) return;
    const bar = $('stream-progress');
    let runs, a0, a1;
    try {
      runs = intValue($('stream-runs'), -1, Number.MAX_SAFE_INTEGER, 'Runs');
      a0 = intValue($('final-ao0'), -32768, 32767, 'Final analog 0');
      a1 = intValue($('final-ao1'), -32768, 32767, 'Final analog 1');
    } catch (e) { answer('stream-answer', e.message, true); return; }
    const sent = list;
    busy = 'streaming';
    $('btn-stream').disabled = true;
    bar.hidden = false; bar.value = 0; bar.max = 1;
    answer('stream-answer', `Sending ${sent.n.toLocaleString('en')} pulses…`);
    try {
      const b64 = toBase64Records(sent);
      const r = await callLarge('stream', [requestHead('stream'), '["', b64, `",${runs},[0,${finalMask()},${a0},${a1}]]}`], {
        onProgress: (done, total) => { bar.max = total; bar.value = done; },
        onSent: () => { bar.removeAttribute('value'); answer('stream-answer', 'Sent; the instrument is encoding the sequence…'); },
      });
      answer('stream-answer', r === 0 ? `Streaming ${sent.n.toLocaleString('en')} pulses from slot 0` : `The instrument answered ${r}`, r !== 0);
      const scd = await call('getSequenceControlData', [0]).catch(() => null);
      if (scd) {
        $('stream-detail').textContent = `Slot 0 holds ${Number(scd.NumberOfBytes).toLocaleString('en')} bytes of memory commands, ` +
          `${formatTime(scd['WholeTicks (low_level)'] * 8)} per run, ${scd['DataRate (GBit/s)']} Gbit/s`;
      }
      bar.max = 1; bar.value = 1;
      document.body.dataset.streamed = String(sent.n);
    } catch (e) {
      answer('stream-answer', `Stream: ${failure(e)}`, true);
      bar.hidden = true;
    } finally {
      busy = null;
      $('btn-stream').disabled = !list;
      refresh();
    }
  };

  const reader = new Worker(new URL('./readback-worker.js', import.meta.url), { type: 'module' });
  let reads = 0;
  $('btn-readback').onclick = async () => {
    const slot = Number($('readback-slot').value), id = ++reads, t0 = performance.now();
    delete document.body.dataset.readback;
    answer('readback-answer', `Reading slot ${slot}…`);
    let cal0, cal1;
    try {
      const cal = await call('getAnalogCalibration');
      cal0 = coefficients(cal.dc_offset_a0, cal.slope_a0); cal1 = coefficients(cal.dc_offset_a1, cal.slope_a1);
    } catch (e) {
      answer('readback-answer', `Readback: ${failure(e)}`, true);
      return;
    }
    const shown = list;
    const columns = shown && { n: shown.n, start: shown.start.slice(), digi: shown.digi.slice(), ao0: shown.ao0.slice(), ao1: shown.ao1.slice() };
    reader.onmessage = ({ data }) => {
      if (data.id !== reads) return;
      if (data.progress !== undefined) { answer('readback-answer', `Reading slot ${slot}: ${data.progress.toLocaleString('en')} segments…`); return; }
      if (data.error) { answer('readback-answer', `Readback: ${data.error}`, true); return; }
      const { trace, marks } = data;
      const [diffs, avg] = marks ? marks.count : [0, 0];
      view.onDrawn = () => {
        view.onDrawn = null;
        Object.assign(window.tarvex.timings, { readbackMs: performance.now() - t0, readbackWorkerMs: data.ms });
        document.body.dataset.readback = diffs ? 'differs' : 'matches';
      };
      view.setReadback(trace, shown === list ? marks : null);
      let text = `Slot ${slot}: ${trace.n.toLocaleString('en')} segments, ${formatTime(trace.start[trace.n])}`;
      if (marks) text += diffs ? `; differs from the list in ${diffs} place${diffs === 1 ? '' : 's'}` : '; matches the list';
      if (avg) text += ` (${avg} averaged word${avg === 1 ? '' : 's'})`;
      answer('readback-answer', text, diffs > 0);
    };
    reader.postMessage({ id, slot, cal0, cal1, list: columns }, columns ? [columns.start.buffer, columns.digi.buffer, columns.ao0.buffer, columns.ao1.buffer] : []);
  };
  $('btn-readback-clear').onclick = () => { view.setReadback(null, null); answer('readback-answer', ''); };
}

// Names of the outputs and the rows shown: kept in this browser, carried by the setup file.
function channels() {
  let state = loadStored();
  const table = $('channel-table');
  const apply = () => { store(state); view.setChannels(viewChannels(state)); };
  for (const o of OUTPUTS) {
    const tr = document.createElement('tr');
    tr.dataset.output = o;
    tr.innerHTML = `<td>${o.toUpperCase()}</td><td><input name="name" maxlength="32"></td>
      <td><select name="show"><option value="">as used</option><option value="1">shown</option><option value="0">hidden</option></select></td>
      <td class="muted" data-used></td>`;
    table.append(tr);
    tr.querySelector('[name=name]').addEventListener('change', (e) => {
      const name = e.target.value.trim(), err = nameError(state, o, name);
      answer('channels-answer', err ? `${o.toUpperCase()}: ${err}` : '', !!err);
      if (err) { e.target.value = state[o].name; return; }
      state[o].name = name;
      apply();
    });
    tr.querySelector('[name=show]').addEventListener('change', (e) => {
      state[o].show = e.target.value === '' ? null : e.target.value === '1';
      apply();
    });
  }
  const fill = () => {
    for (const tr of table.querySelectorAll('tr[data-output]')) {
      const c = state[tr.dataset.output];
      tr.querySelector('[name=name]').value = c.name;
      tr.querySelector('[name=show]').value = c.show === null ? '' : c.show ? '1' : '0';
    }
  };
  view.onRows = () => {
    for (const c of view.channels) table.querySelector(`tr[data-output=${c.key}] [data-used]`).textContent = c.used ? 'used' : 'not used';
  };
  fill();
  view.setChannels(viewChannels(state));
  $('btn-setup-export').onclick = () => {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([setupText(state)], { type: 'application/json' }));
    a.download = 'tarvex-setup.json';
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  };
  $('setup-file').addEventListener('change', async (e) => {
    const file = e.target.files[0];
    e.target.value = '';
    if (!file) return;
    try {
      if (file.size > MAX_SETUP_BYTES) throw new Error(`it is ${file.size} bytes, more than ${MAX_SETUP_BYTES}`);
      state = parseSetup(await file.text(), state);
      fill();
      apply();
      answer('channels-answer', `${file.name}: ${OUTPUTS.filter((o) => state[o].name).length} names read`);
    } catch (err) {
      answer('channels-answer', `${file.name}: ${err.message}`, true);
    }
  });
}

// ---------------------------------------------------------------- settings

function confirmReboot(text) {
  const d = $('confirm');
  $('confirm-text').textContent = text;
  d.showModal();
  return new Promise((resolve) => d.addEventListener('close', () => resolve(d.returnValue === 'ok'), { once: true }));
}

async function loadSettings() {
  try {
    const [stored, live, cal] = await Promise.all([
      call('getNetworkConfiguration', [true]), call('getNetworkConfiguration', [false]), call('getAnalogCalibration')]);
    for (const [name, cfg] of [['stored', stored], ['live', live]]) {
      show(`net-${name}-dhcp`, cfg.dhcp ? 'on' : 'off');
      show(`net-${name}-ip`, cfg.ip); show(`net-${name}-netmask`, cfg.netmask); show(`net-${name}-gateway`, cfg.gateway);
    }
    const nf = $('network-form');
    if (!nf.dataset.touched) {
      nf.dhcp.checked = !!stored.dhcp; nf.ip.value = stored.ip; nf.netmask.value = stored.netmask; nf.gateway.value = stored.gateway;
    }
    const kf = $('calib-form');
    if (!kf.dataset.touched) for (const k of ['dc_offset_a0', 'dc_offset_a1', 'slope_a0', 'slope_a1']) kf[k].value = cal[k];
    const hf = $('hostname-form');
    if (!hf.dataset.touched) hf.hostname.value = await call('getHostname');
  } catch (e) {
    console.warn(`settings: ${e.message}`);
  }
}

function listErrors(id, errors) {
  const ul = $(id);
  ul.replaceChildren(...errors.map((t) => Object.assign(document.createElement('li'), { textContent: t })));
  return errors.length === 0;
}

function settings() {
  for (const id of ['network-form', 'calib-form', 'hostname-form']) $(id).addEventListener('input', (e) => { e.currentTarget.dataset.touched = '1'; });
  const nf = $('network-form');
  const netValues = () => ({ dhcp: nf.dhcp.checked, ip: nf.ip.value.trim(), netmask: nf.netmask.value.trim(), gateway: nf.gateway.value.trim() });
  const send = async (testmode) => {
    const v = netValues();
    if (!listErrors('network-errors', networkErrors(v))) { answer('network-answer', 'Not sent: correct the settings first', true); return; }
    if (!testmode && !(await confirmReboot('Storing the network settings reboots the instrument; the page reconnects when it is back. Store them?'))) {
      answer('network-answer', 'Not stored');
      return;
    }
    act('network-answer', testmode ? 'Test settings' : 'Store settings', async () => {
      const r = await call('setNetworkConfiguration', [v.dhcp, v.ip, v.netmask, v.gateway, testmode]);
      if (r !== 0) return `The instrument refused the settings (${r})`;
      if (testmode) return 'The instrument is testing the settings';
      expectRestart();
      return 'Stored; the instrument reboots';
    });
  };
  $('btn-net-test').onclick = () => send(true);
  $('btn-net-store').onclick = () => send(false);

  const hf = $('hostname-form');
  hf.addEventListener('submit', (e) => {
    e.preventDefault();
    const name = hf.hostname.value.trim(), err = hostnameError(name);
    if (err) { answer('hostname-answer', err, true); return; }
    act('hostname-answer', 'Set hostname', async () => {
      const r = await call('setHostname', [name]);
      delete hf.dataset.touched;
      return r === 0 ? `Hostname is now ${name}` : `The instrument refused the hostname (${r}; not while streaming)`;
    });
  });

  const kf = $('calib-form');
  $('btn-calib-read').onclick = () => { delete kf.dataset.touched; act('calib-answer', 'Read calibration', async () => { await loadSettings(); return 'Calibration read'; }); };
  $('btn-calib-store').onclick = async () => {
    const v = ['dc_offset_a0', 'dc_offset_a1', 'slope_a0', 'slope_a1'].map((k) => Number(kf[k].value));
    const errors = [];
    for (const k of [0, 1]) {
      if (kf[['dc_offset_a0', 'dc_offset_a1'][k]].value.trim() === '' || kf[['slope_a0', 'slope_a1'][k]].value.trim() === '' ||
          !calibrationInRange(v[k], v[k + 2])) {
        errors.push(`output ${k}: offset ${v[k]} with slope ${v[k + 2]} is outside what the instrument accepts`);
      }
    }
    if (!listErrors('calib-errors', errors)) return;
    if (!(await confirmReboot('Storing the calibration reboots the instrument. Store it?'))) { answer('calib-answer', 'Not stored'); return; }
    act('calib-answer', 'Store calibration', async () => {
      const r = await call('setAnalogCalibration', v);
      if (r < 0) return `The instrument refused the calibration (${r})`;
      expectRestart();
      return 'Stored; the instrument reboots';
    });
  };

  $('btn-reboot').onclick = async () => {
    if (!(await confirmReboot('Reboot the instrument now? Streaming stops; the page reconnects when it is back.'))) return;
    act('reboot-answer', 'Reboot', async () => { await call('reboot'); expectRestart(); return 'Rebooting…'; });
  };
}

controls();
sequences();
settings();
schedule();
