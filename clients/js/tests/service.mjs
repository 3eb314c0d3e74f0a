// The simulated reader and stripedrvd as child processes, for the client's
// tests and benchmark. STRIPEDRV_READERSIM and STRIPEDRV_SERVICE name the
// programs (the build tree's).
import {spawn} from 'node:child_process';
import {createRequire} from 'node:module';

// Debian's node-ws (NODE_PATH=/usr/share/nodejs): Node 20 has no WebSocket.
export const WebSocket = globalThis.WebSocket || createRequire(import.meta.url)('ws');

export const TRACK2 = '4111111111111111=2901201123';
export const TRACK3 = '996888886543215533350201=1234';

const programs = {readersim: process.env.STRIPEDRV_READERSIM,
                  stripedrvd: process.env.STRIPEDRV_SERVICE};

function lines(stream, onLine) {
  let rest = '';
  stream.setEncoding('utf8');
  stream.on('data', (chunk) => {
    rest += chunk;
    let end;
    while ((end = rest.indexOf('\n')) >= 0) {
      onLine(rest.slice(0, end));
      rest = rest.slice(end + 1);
    }
  });
}

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null ? Promise.resolve()
      : new Promise((resolve) => child.once('exit', resolve));
}

// The simulated reader. Its card is swiped with Enter on its standard input;
// with `autoSwipe` on, whenever it says a command waits for one. `paced`
// sends at the line's speed, and swipes at once (for timing).
export async function startReader({paced = false} = {}) {
  const args = ['--track2', TRACK2, '--track3', TRACK3];
  args.push(...(paced ? ['--quiet'] : ['--swipe-on-key', '--no-pacing']));
  const child = spawn(programs.readersim, args, {stdio: ['pipe', 'pipe', 'pipe']});
  const sim = {child, autoSwipe: true, port: null,
               swipe: () => child.stdin.write('\n'),
               stop: async () => { child.kill('SIGTERM'); await exited(child); }};
  lines(child.stderr, (line) => {
    if (sim.autoSwipe && line.includes('waiting for the card')) sim.swipe();
  });
  sim.port = await new Promise((resolve, reject) => {
    lines(child.stdout, (line) => { if (!sim.port) resolve(line.trim()); });
    child.once('exit', () => reject(new Error('readersim ended before naming its port')));
  });
  return sim;
}

// stripedrvd on the reader; `port` 0 picks a free one. Resolves once it
// listens, with its port and everything it logged so far in `log()`.
export async function startService(reader, {port = 0, baud, extra = []} = {}) {
  const args = ['--reader', reader, '--listen', '127.0.0.1:' + port, ...extra];
  if (baud) args.push('--baud', String(baud));
  const child = spawn(programs.stripedrvd, args, {stdio: ['ignore', 'ignore', 'pipe']});
  let log = '';
  const service = {child, log: () => log,
                   // Resolves to whether a line matching `pattern` is logged within `ms`.
                   logged: async (pattern, ms = 20000) => {
                     for (const end = Date.now() + ms; !pattern.test(log) && Date.now() < end;)
                       await new Promise((resolve) => setTimeout(resolve, 20));
                     return pattern.test(log);
                   },
                   stop: async () => { child.kill('SIGTERM'); await exited(child); }};
  service.port = await new Promise((resolve, reject) => {
    lines(child.stderr, (line) => {
      log += line + '\n';
      const found = /listening on 127\.0\.0\.1:(\d+)/.exec(line);
      if (found) resolve(Number(found[1]));
    });
    child.once('exit', () => reject(new Error('stripedrvd did not start:\n' + log)));
  });
  service.url = 'ws://127.0.0.1:' + service.port + '/ws';
  return service;
}

// Resolves with the event's detail when `target` next dispatches `type`
// (and `accept(detail)` holds), or rejects after `ms`.
export function nextEvent(target, type, ms = 20000, accept = () => true) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      target.removeEventListener(type, listener);
      reject(new Error('no "' + type + '" event within ' + ms + ' ms'));
    }, ms);
    function listener(event) {
      if (!accept(event.detail)) return;
      clearTimeout(timer);
      target.removeEventListener(type, listener);
      resolve(event.detail);
    }
    target.addEventListener(type, listener);
  });
}
