// stripedrv-client: the magnetic-stripe reader from a web page (or Node),
// through the stripedrvd service on this machine.
//
//   import {StripeReader} from './stripedrv-client.js';
//   const reader = await StripeReader.connect();
//   reader.addEventListener('waiting', () => show('swipe the card'));
//   const {track2, track3, fields} = await reader.read({tracks: 23, timeout: 20});
//
// One WebSocket carries every request; each has an id its answers echo. The
// module keeps the requests in flight, turns answers into settled promises,
// reconnects after a drop and, when no connection can be made, says why:
// the service is not running, it does not allow this page's origin, or the
// browser's Local Network Access rules keep the page from loopback.
// No dependencies: a browser's WebSocket, or one passed in (Node 20's `ws`).

export const DEFAULT_URL = 'ws://127.0.0.1:8765/ws';

// The service closes a connection whose message is larger than this.
export const MAX_MESSAGE_BYTES = 4096;

// The library's status code for a request cut short (by a cancel).
export const CODE_CANCELLED = -11;

// The library's status code for a time limit run out.
export const CODE_TIMEOUT = -2;

// How long past a read's time limit the client waits for the service's
// answer before it cuts the request itself (the service answers at the
// limit; this covers a service that does not).
const TIMEOUT_SLACK_MS = 150;

const LNA_MESSAGE = 'the browser blocked this page from reaching the local reader service ' +
    '(Local Network Access): see the kiosk policy in docs/service.md';

// A failure: `code` is the library's status code when the service answered
// one (see stripedrv.h), null when the failure is on the connection, which
// `reason` then names.
export class StripeReaderError extends Error {
  constructor(message, {code = null, reason = 'service', cause} = {}) {
    super(message, cause === undefined ? undefined : {cause});
    this.name = 'StripeReaderError';
    this.code = code;
    this.reason = reason;
  }
}

// What an aborted call rejects with, as fetch does: the signal's reason, or
// a DOMException named "AbortError" when it has none.
function abortError(signal) {
  return signal.reason !== undefined ? signal.reason
                                     : new DOMException('the request was aborted', 'AbortError');
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}

function isLoopbackHost(host) {
  return host === 'localhost' || host === '[::1]' || host === '::1' ||
      /^127\.\d+\.\d+\.\d+$/.test(host);
}

// Whether this page itself comes from loopback (or there is no page: Node),
// so that Local Network Access cannot be what stops it.
function pageIsLoopback() {
  const location = globalThis.location;
  return !location || !location.hostname || isLoopbackHost(location.hostname);
}

// The browser's answer on reaching loopback from this page: "granted",
// "denied" or "prompt"; null where the browser has no such permission.
export async function loopbackPermission() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return null;
  try {
    return (await permissions.query({name: 'loopback-network'})).state;
  } catch {
    return null; // a browser that does not know the name
  }
}

// Is the service there at all? A plain GET of its health page, whose
// answer the page may not read (another origin) but whose arrival proves
// the service runs and this page may reach it.
async function serviceAnswers(url) {
  if (typeof globalThis.fetch !== 'function') return null;
  const health = new URL(url);
  health.protocol = health.protocol === 'wss:' ? 'https:' : 'http:';
  health.pathname = '/api/health';
  health.search = '';
  try {
    await globalThis.fetch(health, {mode: 'no-cors', cache: 'no-store',
                                    signal: AbortSignal.timeout(1500)});
    return true;
  } catch {
    return false;
  }
}

// Why a WebSocket to `url` closed before it opened. `detail` is the error
// event's message where the WebSocket gives one (Node's ws does), `quick`
// whether the failure came at once.
async function diagnose(url, detail, quick) {
  const origin = globalThis.location ? globalThis.location.origin : null;
  const where = 'the reader service at ' + url;
  const notAllowed = () => new StripeReaderError(
      where + ' refused this page: origin not allowed (403); start stripedrvd with ' +
      '--allow-origin ' + (origin || 'ORIGIN'), {reason: 'origin-not-allowed'});
  const notRunning = () => new StripeReaderError(
      'cannot connect to ' + where + ': the service is not running: start it ' +
      '(systemctl --user start stripedrvd, or the system unit stripedrvd.service)',
      {reason: 'not-running'});
  const blocked = () => new StripeReaderError(LNA_MESSAGE, {reason: 'local-network-access'});
  if (/\b403\b/.test(detail)) return notAllowed();
  if (/ECONNREFUSED/.test(detail)) return notRunning();
  if (await loopbackPermission() === 'denied') return blocked();
  const answers = await serviceAnswers(url);
  if (answers) return notAllowed();
  // A quick failure from a page off loopback is likely the browser's
  // block, but a service that is down looks the same: worth waiting for.
  if (quick && !pageIsLoopback()) return Object.assign(blocked(), {[MAY_COME_UP]: true});
  return notRunning();
}

// Marks a failure to connect that waiting may mend (the service not up yet).
const MAY_COME_UP = Symbol('may come up');

// An event with its `detail`; Node before 19 has Event but no CustomEvent.
function customEvent(type, detail) {
  if (typeof CustomEvent === 'function') return new CustomEvent(type, {detail});
  const event = new Event(type);
  Object.defineProperty(event, 'detail', {value: detail});
  return event;
}

// Only connect() makes a reader: a constructor call without this token
// throws.
const CONNECT = Symbol('connect');

export class StripeReader extends EventTarget {
  // Connects, resolving once the WebSocket is open and the service has said
  // whether the reader is there (`present` is then true or false). Options:
  // `reconnect` (default true) reconnects after a drop; `reconnect: true`
  // given explicitly also waits for a service that is not up yet, retrying
  // with the same backoff until it answers, `signal` aborts or `maxWait` ms
  // have passed. `WebSocket` (a constructor where there is no global one),
  // `minDelay` and `maxDelay` (ms) for the backoff.
  static async connect(url = DEFAULT_URL, options = {}) {
    const reader = new StripeReader(url, options, CONNECT);
    const {signal, maxWait} = options;
    const wait = options.reconnect === true;
    const giveUp = maxWait === undefined ? Infinity : Date.now() + maxWait;
    for (let attempt = 0; ; attempt++) {
      if (signal && signal.aborted) throw abortError(signal);
      try {
        await reader._open(true, signal);
        return reader;
      } catch (error) {
        // A refusal (the origin; Local Network Access denied for sure) does
        // not go away by waiting; neither does an abort.
        const retry = wait && error instanceof StripeReaderError &&
            (error.reason === 'not-running' || error[MAY_COME_UP] === true);
        if (!retry) throw error;
        const delay = reader._backoff(attempt);
        if (Date.now() + delay > giveUp) throw error;
        reader._emit('connection', {state: 'reconnecting', attempt: attempt + 1, delay});
        await reader._sleep(delay, signal);
      }
    }
  }

  constructor(url = DEFAULT_URL, options = {}, token = undefined) {
    super();
    if (token !== CONNECT)
      throw new TypeError('StripeReader has no public constructor: use StripeReader.connect()');
    this.url = url;
    this._WebSocket = options.WebSocket || globalThis.WebSocket;
    if (typeof this._WebSocket !== 'function')
      throw new StripeReaderError('no WebSocket here: pass one as {WebSocket}',
                                  {reason: 'not-connected'});
    this._reconnect = options.reconnect !== false;
    this._minDelay = options.minDelay ?? 250;
    this._maxDelay = options.maxDelay ?? 10000;
    this._socket = null;
    this._pending = new Map(); // id -> {op, resolve, reject, signal, onAbort}
    this._nextId = 1;
    this._closed = false;
    this._attempt = 0;
    this._timer = null;
    this.present = null; // the reader's presence, once the service said it
    this._known = null;  // resolves the first connection once it is said
  }

  get connected() {
    return this._socket !== null && this._socket.readyState === 1;
  }

  // Reads the tracks asked for (2, 3 or 23), waiting up to `timeout`
  // seconds for the swipe. Resolves to {track2, track3, fields}.
  async read({tracks = 23, timeout = 20, signal} = {}) {
    const answer = await this._request({op: 'read', tracks, timeout}, signal, timeout);
    return {track2: answer.track2 ?? null, track3: answer.track3 ?? null,
            fields: answer.track2_fields ?? null};
  }

  // Writes the tracks given a text; `verify` reads the card back.
  async write({track2, track3, tracks, verify = false, timeout = 20, signal} = {}) {
    const request = {op: 'write', verify, timeout};
    if (tracks !== undefined) request.tracks = tracks;
    if (track2 !== undefined) request.track2 = track2;
    if (track3 !== undefined) request.track3 = track3;
    // With verify the card is read back on a second swipe, with a time limit
    // of its own: the service holds both.
    await this._request(request, signal, verify ? 0 : timeout);
  }

  // The reader's firmware version, serial number, production date, model.
  async info({signal} = {}) {
    const {id, ok, ...info} = await this._request({op: 'info'}, signal);
    return info;
  }

  // Cuts this connection's requests short; resolves to how many there were.
  async cancel() {
    return (await this._request({op: 'cancel'})).cancelled;
  }

  // Closes for good: no reconnect, the requests in flight reject.
  close() {
    this._closed = true;
    clearTimeout(this._timer);
    this._failAll('the connection was closed', 'closed');
    if (this._socket) this._socket.close();
    this._socket = null;
    this._emit('connection', {state: 'closed'});
  }

  _emit(type, detail) {
    this.dispatchEvent(customEvent(type, detail));
  }

  // `limit`: the request's time limit in seconds, held from the moment it
  // waits for the swipe (0: none).
  _request(fields, signal, limit = 0) {
    if (signal && signal.aborted) return Promise.reject(abortError(signal));
    if (this._closed)
      return Promise.reject(new StripeReaderError('the connection was closed (close() was called)',
                                                  {reason: 'closed'}));
    if (!this.connected)
      return Promise.reject(new StripeReaderError('not connected to the reader service at ' +
                                                  this.url, {reason: 'not-connected'}));
    const id = this._nextId++;
    const text = JSON.stringify({id, ...fields});
    if (utf8Length(text) > MAX_MESSAGE_BYTES)
      return Promise.reject(new StripeReaderError(
          'the request is larger than the service takes (' + MAX_MESSAGE_BYTES + ' bytes)',
          {code: -7, reason: 'too-large'}));
    return new Promise((resolve, reject) => {
      const entry = {op: fields.op, resolve, reject, signal, onAbort: null, limit, timer: null};
      if (signal) {
        // This request alone is cut on the service; the others of the
        // connection run on. The call rejects at once.
        entry.onAbort = () => this._cut(id, (e) => e.reject(abortError(signal)));
        signal.addEventListener('abort', entry.onAbort, {once: true});
      }
      this._pending.set(id, entry);
      this._socket.send(text);
    });
  }

  _settle(id, settle) {
    const entry = this._pending.get(id);
    if (!entry) return;
    this._pending.delete(id);
    clearTimeout(entry.timer);
    if (entry.signal) entry.signal.removeEventListener('abort', entry.onAbort);
    settle(entry);
  }

  // Settles a request now and cancels it on the service by its id.
  _cut(id, settle) {
    if (!this._pending.has(id)) return;
    this._settle(id, settle);
    if (this.connected)
      this._socket.send(JSON.stringify({id: this._nextId++, op: 'cancel', request: id}));
  }

  // The backstop of a request's time limit, from the moment it waits for
  // the swipe: the service answers -2 at the limit; should that answer not
  // come, the request is cut here a moment later.
  _holdLimit(id, entry) {
    if (!(entry.limit > 0) || entry.timer !== null) return;
    entry.timer = setTimeout(() => this._cut(id, (e) => e.reject(new StripeReaderError(
        'no card was swiped within the time limit (' + e.limit + ' s)',
        {code: CODE_TIMEOUT}))), entry.limit * 1000 + TIMEOUT_SLACK_MS);
  }

  _onMessage(data) {
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      return;
    }
    if (message.event === 'reader') {
      const {event, ...detail} = message;
      this.present = Boolean(detail.present);
      if (!this._known) return this._emit('reader', detail);
      // The first one settles connect(): it is dispatched once the page has
      // had the reader and could listen.
      this._known();
      setTimeout(() => this._emit('reader', detail), 0);
      return;
    }
    if (message.event === 'waiting') {
      const entry = this._pending.get(message.id);
      if (entry) this._holdLimit(message.id, entry);
      return this._emit('waiting', {id: message.id, op: entry ? entry.op : null});
    }
    if (message.event !== undefined || message.id === null || message.id === undefined) return;
    this._settle(message.id, (entry) => {
      if (entry.signal && entry.signal.aborted) return entry.reject(abortError(entry.signal));
      if (message.ok) return entry.resolve(message);
      entry.reject(new StripeReaderError(message.error || 'failed', {code: message.code}));
    });
  }

  _failAll(message, reason) {
    for (const id of [...this._pending.keys()])
      this._settle(id, (entry) => entry.reject(new StripeReaderError(message, {reason})));
  }

  // One WebSocket. The first one resolves once the service has said the
  // reader's state, and rejects with the diagnosis when it cannot open (or
  // `signal` aborts); later ones (reconnects) resolve to whether they opened.
  _open(first, signal) {
    const started = Date.now();
    return new Promise((resolve, reject) => {
      let socket;
      try {
        socket = new this._WebSocket(this.url);
      } catch (error) {
        return first ? reject(new StripeReaderError(String(error.message || error),
                                                    {reason: 'not-running', cause: error}))
                     : resolve(false);
      }
      let opened = false;
      let detail = '';
      const onAbort = () => {
        this._known = null;
        this._socket = null;
        socket.close();
        reject(abortError(signal));
      };
      if (first && signal) signal.addEventListener('abort', onAbort, {once: true});
      const done = () => { if (signal) signal.removeEventListener('abort', onAbort); };
      socket.onopen = () => {
        if (this._closed) {
          socket.close();
          return resolve(false);
        }
        opened = true;
        this._socket = socket;
        this._attempt = 0;
        this._emit('connection', {state: 'open'});
        if (!first) return resolve(true);
        // The service's first message says whether the reader is there.
        this._known = () => {
          this._known = null;
          done();
          resolve(true);
        };
      };
      socket.onmessage = (event) => this._onMessage(event.data);
      socket.onerror = (event) => {
        detail = String((event && (event.message || (event.error && event.error.message))) || '');
      };
      socket.onclose = () => {
        if (!opened || (first && this._known)) {
          if (!first) return resolve(false);
          done();
          this._known = null;
          if (this._socket === socket) this._socket = null;
          if (signal && signal.aborted) return;
          diagnose(this.url, detail, Date.now() - started < 1000).then(reject);
          return;
        }
        if (this._socket !== socket) return; // closed on purpose
        this._socket = null;
        this._failAll('the connection to the reader service was lost', 'connection-lost');
        this._emit('connection', {state: 'lost'});
        if (this._reconnect && !this._closed) this._scheduleReconnect();
      };
    });
  }

  // Backoff: doubling from minDelay up to maxDelay, each wait drawn from
  // its upper half so that many pages do not come back in step.
  _backoff(attempt) {
    const ceiling = Math.min(this._maxDelay, this._minDelay * 2 ** attempt);
    return Math.round(ceiling / 2 + Math.random() * ceiling / 2);
  }

  // Waits `ms`, or rejects as soon as `signal` aborts.
  _sleep(ms, signal) {
    if (!signal) return sleep(ms);
    return new Promise((resolve, reject) => {
      const onAbort = () => {
        clearTimeout(timer);
        reject(abortError(signal));
      };
      const timer = setTimeout(() => {
        signal.removeEventListener('abort', onAbort);
        resolve();
      }, ms);
      signal.addEventListener('abort', onAbort, {once: true});
    });
  }

  _scheduleReconnect() {
    const wait = this._backoff(this._attempt);
    this._attempt++;
    this._emit('connection', {state: 'reconnecting', attempt: this._attempt, delay: wait});
    this._timer = setTimeout(async () => {
      if (this._closed) return;
      if (!(await this._open(false)) && !this._closed) this._scheduleReconnect();
    }, wait);
  }
}

export default StripeReader;
