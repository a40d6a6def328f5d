// JSON-RPC 2.0 client for the instrument's "/json-rpc" endpoint.
//
// call() resolves with the method's result and rejects with RpcError (the instrument refused the
// call: code, message and data as it answered) or ConnectionError (no answer: the instrument is
// unreachable, restarting, or too slow). Listeners learn when the connection is lost and back.

export class RpcError extends Error {
  constructor(method, error) {
    super(`${method}: ${error.message}${error.data ? ` (${error.data})` : ''}`);
    this.code = error.code;
    this.data = error.data;
  }
}

export class ConnectionError extends Error {}

const TIMEOUT_MS = 4000;       // every call but the long ones
let nextId = 1;
let connected = null;          // null until the first answer or failure
const listeners = new Set();

export function onConnection(fn) { listeners.add(fn); }
export function isConnected() { return connected === true; }

function setConnected(up) {
  if (connected === up) return;
  connected = up;
  for (const fn of listeners) fn(up);
}

function unpack(method, reply) {
  if (reply && typeof reply === 'object' && 'error' in reply) throw new RpcError(method, reply.error);
  if (!reply || typeof reply !== 'object' || !('result' in reply)) {
    throw new RpcError(method, { code: 0, message: 'no result in the answer', data: '' });
  }
  return reply.result;
}

export async function call(method, params = null, { timeout = TIMEOUT_MS } = {}) {
  const body = { jsonrpc: '2.0', id: nextId++, method };
  if (params !== null) body.params = params;
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout);
  let reply;
  try {
    const res = await fetch('/json-rpc', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      signal: abort.signal,
      cache: 'no-store',
    });
    if (!res.ok) throw new RpcError(method, { code: res.status, message: `HTTP ${res.status}`, data: '' });
    reply = await res.json();
  } catch (e) {
    if (e instanceof RpcError) throw e;
    setConnected(false);
    throw new ConnectionError(`${method}: no answer from the instrument`);
  } finally {
    clearTimeout(timer);
  }
  setConnected(true);
  return unpack(method, reply);
}

// A call with a large body (a sequence) sent as bytes, reporting the upload's progress as
// onProgress(sentBytes, totalBytes); onSent() once the whole body is out and the instrument works.
// `pieces` are strings and Uint8Arrays that together form the request's JSON text.
export function callLarge(method, pieces, { onProgress, onSent, timeout = 120000 } = {}) {
  const body = new Blob(pieces, { type: 'application/json' });
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', '/json-rpc');
    xhr.timeout = timeout;
    xhr.responseType = 'text';
    xhr.upload.onprogress = (e) => onProgress && onProgress(e.loaded, e.total || body.size);
    xhr.upload.onload = () => onSent && onSent();
    const lost = () => { setConnected(false); reject(new ConnectionError(`${method}: no answer from the instrument`)); };
    xhr.onerror = lost;
    xhr.ontimeout = lost;
    xhr.onload = () => {
      setConnected(true);
      if (xhr.status !== 200) {
        reject(new RpcError(method, { code: xhr.status, message: `HTTP ${xhr.status}`, data: xhr.responseText.slice(0, 200) }));
        return;
      }
      try {
        resolve(unpack(method, JSON.parse(xhr.responseText)));
      } catch (e) {
        reject(e instanceof RpcError ? e : new RpcError(method, { code: 0, message: 'unreadable answer', data: '' }));
      }
    };
    xhr.send(body);
  });
}

// The start of a request whose last parameter list is completed by the caller.
export function requestHead(method) {
  return `{"jsonrpc":"2.0","id":${nextId++},"method":"${method}","params":`;
}
