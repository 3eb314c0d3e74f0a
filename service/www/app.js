// The demo page of stripedrvd. It talks to the service only through the
// client module, which the service serves beside this page.
import {StripeReader, loopbackPermission} from './stripedrv-client.js';

// The service that served this page, unless ?ws=URL names another one.
const wsUrl = new URLSearchParams(location.search).get('ws') ||
    'ws://' + location.host + '/ws';

const $ = (id) => document.getElementById(id);
let reader = null;
let running = null; // the AbortController of the read or write going on

function setConnection(text, cls) {
  $('connection').textContent = text;
  $('connection').className = cls;
  for (const b of ['read', 'write', 'info']) $(b).disabled = cls !== 'open';
}

function setState(text) { $('state').textContent = text; }

function showError(text) { $('error').textContent = text; }

function list(element, entries) {
  element.replaceChildren();
  for (const [name, value] of entries) {
    if (value === undefined) continue;
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = String(value);
    element.append(dt, dd);
  }
}

function showRead(card) {
  $('track2').textContent = card.track2 ?? '';
  $('track3').textContent = card.track3 ?? '';
  const f = card.fields;
  list($('fields'), f ? [['Account number', f.pan_masked], ['Expiry (YYMM)', f.expiry],
                         ['Service code', f.service_code],
                         ['Check digit', f.luhn_ok ? 'valid' : 'wrong']] : []);
}

// Runs one request: the state line, the error line, the Cancel button.
async function run(op, call) {
  showError('');
  setState(op + ': queued');
  running = new AbortController();
  $('cancel').disabled = false;
  try {
    const result = await call(running.signal);
    setState(op + ': done');
    return result;
  } catch (error) {
    setState(error.name === 'AbortError' ? op + ': cancelled' : op + ' failed');
    if (error.name !== 'AbortError')
      showError((error.code != null ? 'code ' + error.code + ': ' : '') + error.message);
    return undefined;
  } finally {
    running = null;
    $('cancel').disabled = true;
  }
}

function onEvents() {
  reader.addEventListener('waiting', (event) => {
    setState(event.detail.op === 'write' ? 'waiting: swipe the card to write'
                                         : 'waiting: swipe a card');
  });
  reader.addEventListener('connection', (event) => {
    const state = event.detail.state;
    if (state === 'open') setConnection('open', 'open');
    else if (state === 'reconnecting') setConnection('reconnecting…', 'pending');
    else setConnection('closed', 'closed');
  });
  reader.addEventListener('reader', (event) => {
    const d = event.detail;
    $('presence').textContent = d.present ? 'present' + (d.port ? ' on ' + d.port : '') +
        (d.firmware ? ', ' + d.firmware : '') : 'not connected';
  });
}

$('read').onclick = async () => {
  const card = await run('read', (signal) => reader.read(
      {tracks: Number($('tracks').value), timeout: Number($('timeout').value), signal}));
  if (card) showRead(card);
};

$('write').onclick = () => run('write', (signal) => reader.write({
  track2: $('write-track2').value || undefined, track3: $('write-track3').value || undefined,
  verify: $('verify').checked, timeout: Number($('timeout').value), signal}));

$('info').onclick = async () => {
  const info = await run('info', (signal) => reader.info({signal}));
  if (info)
    list($('info-out'), [['Firmware', info.firmware], ['Serial number', info.serial_number],
                         ['Production date', info.production_date], ['Model', info.model]]);
};

$('cancel').onclick = () => running?.abort();

// The browser's Local Network Access permission for this page, where it
// has one: "denied" explains a page that cannot reach the service.
async function showPermission() {
  const state = await loopbackPermission();
  $('permission-row').hidden = state === null;
  $('permission').textContent = state ?? '';
}

async function start() {
  setConnection('connecting…', 'pending');
  await showPermission();
  try {
    reader = await StripeReader.connect(wsUrl);
  } catch (error) {
    setConnection('closed', 'closed');
    showError(error.message);
    await showPermission();
    return;
  }
  onEvents();
  setConnection('open', 'open');
}

start();
