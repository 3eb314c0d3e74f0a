// The demo page of stripedrvd: one WebSocket to the service, one JSON
// object per message, each request with an id that its answer echoes.
'use strict';

// The service that served this page, unless ?ws=URL names another one.
const wsUrl = new URLSearchParams(location.search).get('ws') ||
    'ws://' + location.host + '/ws';

const $ = (id) => document.getElementById(id);
const pending = new Map(); // id -> op, for the requests not yet answered
let socket = null;
let nextId = 1;

function setConnection(text, cls) {
  $('connection').textContent = text;
  $('connection').className = cls;
  for (const b of ['read', 'write', 'info', 'cancel']) $(b).disabled = cls !== 'open';
}

function setState(text) { $('state').textContent = text; }

function showError(text) { $('error').textContent = text; }

function list(element, entries) {
  element.replaceChildren();
  for (const [name, value] of entries) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = String(value);
    element.append(dt, dd);
  }
}

function send(request) {
  request.id = nextId++;
  pending.set(request.id, request.op);
  socket.send(JSON.stringify(request));
  return request.id;
}

function showRead(answer) {
  $('track2').textContent = answer.track2 ?? '';
  $('track3').textContent = answer.track3 ?? '';
  const f = answer.track2_fields;
  list($('fields'), f ? [['Account number', f.pan_masked], ['Expiry (YYMM)', f.expiry],
                         ['Service code', f.service_code],
                         ['Check digit', f.luhn_ok ? 'valid' : 'wrong']] : []);
}

function onAnswer(answer) {
  // The reader's state as the connection opens, then each change of it.
  if (answer.event === 'reader') {
    setState(answer.present ? 'reader ' + answer.port + ' attached' : 'no reader attached');
    return;
  }
  if (answer.event === 'waiting') {
    setState(pending.get(answer.id) === 'write' ? 'waiting: swipe the card to write'
                                                 : 'waiting: swipe a card');
    return;
  }
  const op = pending.get(answer.id);
  pending.delete(answer.id);
  if (!answer.ok) {
    setState(op ? op + ' failed' : 'failed');
    showError('code ' + answer.code + ': ' + answer.error);
    return;
  }
  showError('');
  setState(op ? op + ': done' : 'done');
  if (op === 'read') showRead(answer);
  if (op === 'info')
    list($('info-out'), [['Firmware', answer.firmware], ['Serial number', answer.serial_number],
                         ['Production date', answer.production_date], ['Model', answer.model]]);
}

function connect() {
  setConnection('connecting…', 'pending');
  socket = new WebSocket(wsUrl);
  socket.onopen = () => setConnection('open', 'open');
  socket.onmessage = (e) => onAnswer(JSON.parse(e.data));
  // A refused handshake (another origin, another host name) ends here too.
  socket.onclose = () => {
    setConnection('closed', 'closed');
    pending.clear();
  };
  socket.onerror = () => showError('cannot connect to the reader service at ' + wsUrl);
}

$('read').onclick = () => {
  showError('');
  setState('read: queued');
  send({op: 'read', tracks: Number($('tracks').value), timeout: Number($('timeout').value)});
};

$('write').onclick = () => {
  showError('');
  setState('write: queued');
  const request = {op: 'write', verify: $('verify').checked, timeout: Number($('timeout').value)};
  if ($('write-track2').value) request.track2 = $('write-track2').value;
  if ($('write-track3').value) request.track3 = $('write-track3').value;
  send(request);
};

$('info').onclick = () => send({op: 'info'});
$('cancel').onclick = () => send({op: 'cancel'});

connect();
