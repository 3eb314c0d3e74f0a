// A read through the JavaScript client against the same read as a raw
// WebSocket request, both against stripedrvd on the paced simulated reader
// at 115200 baud, alternating on two connections (one of each first to
// warm up). Prints medians and what the client adds; goal: under 0.2 ms.
//
//   STRIPEDRV_READERSIM=bin/readersim STRIPEDRV_SERVICE=bin/stripedrvd \
//   NODE_PATH=/usr/share/nodejs node bench/bench_client.mjs [--count N] [--short]
import {StripeReader} from '../clients/js/stripedrv-client.js';
import {TRACK2, WebSocket, startReader, startService} from '../clients/js/tests/service.mjs';

const argv = process.argv.slice(2);
const count = argv.includes('--short') ? 5
    : Number(argv[argv.indexOf('--count') + 1] || 0) || 200;
const GOAL_MS = 0.2;

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// The raw request: send it, wait for the answer with its id (the waiting
// event goes by), check the card.
function rawReader(url) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    let nextId = 1;
    let waiter = null;
    socket.onmessage = (event) => {
      const message = JSON.parse(event.data);
      if (message.event === undefined && waiter && message.id === waiter.id) waiter.done(message);
    };
    socket.onerror = () => reject(new Error('raw WebSocket failed'));
    socket.onopen = () => resolve({
      read: () => new Promise((done) => {
        waiter = {id: nextId++, done};
        socket.send(JSON.stringify({id: waiter.id, op: 'read', tracks: 23, timeout: 20}));
      }),
      close: () => socket.close(),
    });
  });
}

async function timed(read) {
  const start = process.hrtime.bigint();
  const answer = await read();
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  if (answer.track2 !== TRACK2) throw new Error('wrong card: ' + JSON.stringify(answer));
  return ms;
}

const sim = await startReader({paced: true});
const service = await startService(sim.port, {baud: 115200});
let ok = false;
try {
  const client = await StripeReader.connect(service.url, {WebSocket});
  const raw = await rawReader(service.url);
  const read = () => client.read({tracks: 23, timeout: 20});
  await timed(raw.read);
  await timed(read);
  const times = {raw: [], client: []};
  for (let i = 0; i < count; i++) {
    times.raw.push(await timed(raw.read));
    times.client.push(await timed(read));
  }
  client.close();
  raw.close();
  const rawMs = median(times.raw);
  const clientMs = median(times.client);
  const added = clientMs - rawMs;
  const range = (v) => Math.min(...v).toFixed(2) + '–' + Math.max(...v).toFixed(2);
  console.log(`${count} reads each at 115200 baud`);
  console.log(`raw WebSocket request: median ${rawMs.toFixed(3)} ms (${range(times.raw)})`);
  console.log(`through the client:    median ${clientMs.toFixed(3)} ms (${range(times.client)})`);
  console.log(`the client adds ${added >= 0 ? '+' : ''}${added.toFixed(3)} ms ` +
              `(goal: under ${GOAL_MS} ms${argv.includes('--short') ? ', not judged in --short'
                                                                     : ''})`);
  ok = argv.includes('--short') || added < GOAL_MS;
} finally {
  await service.stop();
  await sim.stop();
}
console.log(ok ? 'OK' : 'FAIL');
process.exitCode = ok ? 0 : 1;
