// The client module against the real service on the simulated reader.
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {after, before, describe, test} from 'node:test';

import {StripeReader, StripeReaderError} from '../stripedrv-client.js';
import {TRACK2, TRACK3, WebSocket, nextEvent, startReader, startService} from './service.mjs';

let sim;
let service;
let reader;

before(async () => {
  sim = await startReader();
  service = await startService(sim.port);
  reader = await StripeReader.connect(service.url, {WebSocket, minDelay: 50, maxDelay: 400});
  // connect() resolves once the service has said where the reader is.
  assert.equal(typeof reader.present, 'boolean');
});

after(async () => {
  reader?.close();
  await service?.stop();
  await sim?.stop();
});

describe('requests', () => {
  test('a read resolves to both tracks and the parsed fields, after the waiting event',
       async () => {
    const waiting = nextEvent(reader, 'waiting');
    const card = await reader.read({tracks: 23, timeout: 10});
    assert.equal((await waiting).op, 'read');
    assert.equal(card.track2, TRACK2);
    assert.equal(card.track3, TRACK3);
    assert.equal(card.fields.pan_masked, '411111******1111');
    assert.equal(card.fields.expiry, '2901');
    assert.equal(card.fields.luhn_ok, true);
  });

  test('a read of track 3 alone has no track 2 and no fields', async () => {
    const card = await reader.read({tracks: 3, timeout: 10});
    assert.deepEqual(card, {track2: null, track3: TRACK3, fields: null});
  });

  test('a write with verify reads the card back; the next read gets what was written',
       async () => {
    const written = '5555555555554444=3012101';
    await reader.write({track2: written, verify: true, timeout: 10});
    assert.equal((await reader.read({tracks: 2, timeout: 10})).track2, written);
    await reader.write({track2: TRACK2, timeout: 10});
  });

  test('info answers the firmware version', async () => {
    const info = await reader.info();
    assert.match(info.firmware, /^Ver/);
    assert.ok(!('id' in info) && !('ok' in info));
  });

  test('a request the service refuses rejects with its code and message', async () => {
    const error = await reader.read({tracks: 4}).catch((e) => e);
    assert.ok(error instanceof StripeReaderError);
    assert.equal(error.code, -7);
    assert.ok(error.message.length > 0);
  });

  test('a message over 4 KiB is refused before it is sent; the connection stays', async () => {
    const error = await reader.write({track2: '1'.repeat(5000)}).catch((e) => e);
    assert.ok(error instanceof StripeReaderError);
    assert.equal(error.reason, 'too-large');
    assert.ok(reader.connected);
    assert.match((await reader.info()).firmware, /^Ver/);
  });
});

describe('abort', () => {
  test('aborting the waiting read cuts it alone: AbortError, the queued info runs on',
       async () => {
    sim.autoSwipe = false;
    try {
      const controller = new AbortController();
      const waiting = nextEvent(reader, 'waiting');
      const read = reader.read({timeout: 30, signal: controller.signal});
      const also = reader.info().catch((e) => e); // queued behind the read
      await waiting;
      const started = Date.now();
      controller.abort();
      const error = await read.catch((e) => e);
      assert.ok(error instanceof DOMException && error.name === 'AbortError', String(error));
      const info = await also;
      assert.ok(Date.now() - started < 2000, 'the read was not cut short at once');
      assert.match(info.firmware, /^Ver/, 'the queued request was cut with it: ' + info);
      assert.ok(await service.logged(/cancel of request \d+, 1 request/), service.log());
      // The signal's own reason, when it has one, is what the call rejects with.
      const mine = new AbortController();
      const reason = new Error('the customer walked away');
      const second = reader.read({timeout: 30, signal: mine.signal}).catch((e) => e);
      mine.abort(reason);
      assert.equal(await second, reason);
    } finally {
      sim.autoSwipe = true;
    }
    assert.equal((await reader.read({timeout: 10})).track2, TRACK2);
  });

  test('an abort at any moment of a read settles it: the card or AbortError, never neither',
       async (t) => {
    // The swipe comes at once: the abort lands before the request is sent
    // on, while it waits, or after its answer, as the delay falls.
    // "refused": a cancel that lands while the library waits for the
    // reader's status answer leaves that answer ("Brp") on the line, and the
    // next read takes its "B" for an error byte. The library's fault, not
    // the client's: counted and reported here, not failed.
    const outcomes = {card: 0, aborted: 0, refused: 0};
    for (let i = 0; i < 20; i++) {
      const controller = new AbortController();
      const read = reader.read({timeout: 10, signal: controller.signal});
      setTimeout(() => controller.abort(), i % 5);
      const settled = await Promise.race([
        read.then((card) => (card.track2 === TRACK2 ? 'card' : 'wrong'),
                  (e) => (e.name === 'AbortError' ? 'aborted'
                          : e.code === 21 ? 'refused' : String(e))),
        new Promise((resolve) => setTimeout(() => resolve('unsettled'), 3000))]);
      assert.ok(settled in outcomes, 'try ' + i + ': ' + settled);
      outcomes[settled]++;
    }
    assert.ok(outcomes.aborted > 0, JSON.stringify(outcomes));
    if (outcomes.refused) t.diagnostic('reads refused after a late cancel: ' + outcomes.refused);
    assert.equal((await reader.read({timeout: 10})).track2, TRACK2);
  });

  test('a read with a 1 s time limit rejects with -2 within 0.2 s of it', async (t) => {
    sim.autoSwipe = false;
    try {
      const waiting = nextEvent(reader, 'waiting');
      const started = Date.now();
      const error = await reader.read({timeout: 1}).catch((e) => e);
      const took = Date.now() - started;
      await waiting;
      assert.ok(error instanceof StripeReaderError && error.code === -2, String(error));
      assert.ok(took >= 1000 && took < 2000, 'took ' + took + ' ms');
      t.diagnostic('read with timeout 1 rejected after ' + took + ' ms');
    } finally {
      sim.autoSwipe = true;
    }
  });

  test('a service that does not answer at the time limit: the client cuts the read itself',
       async () => {
    // A WebSocket whose service says the reader is there, lets a read wait
    // for the swipe, and then never answers.
    const sent = [];
    class Silent {
      constructor() {
        this.readyState = 0;
        setTimeout(() => {
          this.readyState = 1;
          this.onopen();
          this.onmessage({data: '{"event":"reader","present":true}'});
        }, 0);
      }
      send(text) {
        const message = JSON.parse(text);
        sent.push(message);
        if (message.op === 'read')
          setTimeout(() => this.onmessage({data: JSON.stringify({id: message.id,
                                                                 event: 'waiting'})}), 0);
      }
      close() { this.readyState = 3; }
    }
    const silent = await StripeReader.connect('ws://127.0.0.1:1/ws', {WebSocket: Silent});
    try {
      const started = Date.now();
      const error = await silent.read({timeout: 1}).catch((e) => e);
      const took = Date.now() - started;
      assert.ok(error instanceof StripeReaderError && error.code === -2, String(error));
      assert.ok(took >= 1000 && took < 2000, 'took ' + took + ' ms');
      assert.deepEqual(sent.slice(1).map(({op, request}) => ({op, request})),
                       [{op: 'cancel', request: sent[0].id}]);
    } finally {
      silent.close();
    }
  });

  test('a signal aborted before the call rejects at once and sends nothing', async () => {
    const error = await reader.read({signal: AbortSignal.abort()}).catch((e) => e);
    assert.equal(error.name, 'AbortError');
  });
});

describe('connection', () => {
  test('the service stopped: requests in flight reject; started again: reconnect, read',
       async () => {
    sim.autoSwipe = false;
    const waiting = nextEvent(reader, 'waiting');
    const read = reader.read({timeout: 30}).catch((e) => e);
    await waiting;
    const lost = nextEvent(reader, 'connection', 5000, (d) => d.state === 'lost');
    const reconnecting = nextEvent(reader, 'connection', 5000, (d) => d.state === 'reconnecting');
    await service.stop();
    sim.autoSwipe = true;
    const error = await read;
    assert.ok(error instanceof StripeReaderError, String(error));
    assert.equal(error.reason, 'connection-lost');
    await lost;
    const first = await reconnecting;
    assert.ok(first.delay >= 25 && first.delay <= 50, 'jittered first delay ' + first.delay);
    assert.equal(reader.connected, false);
    assert.equal((await reader.info().catch((e) => e)).reason, 'not-connected');

    // A few failed attempts: the delays grow, and stay under the cap.
    const delays = [];
    for (let i = 0; i < 4; i++)
      delays.push((await nextEvent(reader, 'connection', 5000,
                                   (d) => d.state === 'reconnecting')).delay);
    assert.ok(delays.every((d) => d <= 400), 'capped: ' + delays);
    assert.ok(delays[delays.length - 1] > first.delay, 'growing: ' + delays);

    const open = nextEvent(reader, 'connection', 5000, (d) => d.state === 'open');
    service = await startService(sim.port, {port: service.port});
    await open;
    assert.equal((await reader.read({timeout: 10})).track2, TRACK2);
  });

  test('connect with reconnect waits for a service that is not up yet', async () => {
    const port = service.port;
    await service.stop();
    let attempts = 0;
    let failedOnce;
    const failed = new Promise((resolve) => { failedOnce = resolve; });
    class Counting extends WebSocket {
      constructor(url) {
        super(url);
        attempts++;
        this.addEventListener('close', () => failedOnce());
      }
    }
    const connecting = StripeReader.connect(service.url, {WebSocket: Counting, reconnect: true,
                                                          minDelay: 50, maxDelay: 200});
    await failed; // a first attempt found nothing there
    service = await startService(sim.port, {port});
    const late = await connecting;
    try {
      // The state that settled connect() is also the first "reader" event,
      // for a page that listens once it has the reader.
      const first = await nextEvent(late, 'reader', 2000);
      assert.equal(first.present, late.present);
      assert.ok(attempts >= 2, 'attempts ' + attempts);
      assert.equal(typeof late.present, 'boolean');
      assert.match((await late.info()).firmware, /^Ver/);
    } finally {
      late.close();
    }
  });

  test('the wait for a service ends with maxWait or the signal', async () => {
    const error = await StripeReader.connect('ws://127.0.0.1:1/ws', {
      WebSocket, reconnect: true, minDelay: 20, maxDelay: 40, maxWait: 200}).catch((e) => e);
    assert.equal(error.reason, 'not-running');
    const controller = new AbortController();
    const waiting = StripeReader.connect('ws://127.0.0.1:1/ws', {
      WebSocket, reconnect: true, minDelay: 20, maxDelay: 40, signal: controller.signal});
    controller.abort();
    assert.equal((await waiting.catch((e) => e)).name, 'AbortError');
    assert.throws(() => new StripeReader(service.url, {WebSocket}), TypeError);
  });

  test('presence events are dispatched as "reader" events', async () => {
    const present = nextEvent(reader, 'reader');
    reader._onMessage(JSON.stringify({event: 'reader', present: true, port: 'ttyUSB1',
                                      firmware: 'Ver5.13.2'}));
    assert.deepEqual(await present, {present: true, port: 'ttyUSB1', firmware: 'Ver5.13.2'});
    assert.equal(reader.present, true);
    const gone = nextEvent(reader, 'reader');
    reader._onMessage('{"event":"reader","present":false}');
    assert.deepEqual(await gone, {present: false});
    assert.equal(reader.present, false);
  });

  test('no service there: connect rejects naming it not running', async () => {
    const error = await StripeReader.connect('ws://127.0.0.1:1/ws', {WebSocket}).catch((e) => e);
    assert.ok(error instanceof StripeReaderError, String(error));
    assert.equal(error.reason, 'not-running');
    assert.match(error.message, /not running: start it \(systemctl --user start stripedrvd, or the system unit stripedrvd\.service\)$/);
  });

  test('an origin the service does not allow: connect rejects naming the origin', async () => {
    class ForeignPage extends WebSocket {
      constructor(url) { super(url, {origin: 'https://elsewhere.example'}); }
    }
    const error = await StripeReader.connect(service.url, {WebSocket: ForeignPage})
        .catch((e) => e);
    assert.equal(error.reason, 'origin-not-allowed');
    assert.match(error.message, /origin not allowed \(403\).*--allow-origin/);
  });

  test('close() rejects what is in flight and stops reconnecting', async () => {
    const other = await StripeReader.connect(service.url, {WebSocket});
    sim.autoSwipe = false;
    try {
      const waiting = nextEvent(other, 'waiting');
      const read = other.read({timeout: 30}).catch((e) => e);
      await waiting;
      other.close();
      assert.equal((await read).reason, 'closed');
      assert.equal(other.connected, false);
      for (const call of [() => other.info(), () => other.read(), () => other.cancel()])
        assert.equal((await call().catch((e) => e)).reason, 'closed');
    } finally {
      sim.autoSwipe = true;
    }
  });
});

test('package.json carries the project version', () => {
  const pkg = JSON.parse(readFileSync(new URL('../package.json', import.meta.url)));
  assert.equal(pkg.type, 'module');
  if (process.env.STRIPEDRV_VERSION) assert.equal(pkg.version, process.env.STRIPEDRV_VERSION);
});
