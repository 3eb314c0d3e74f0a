// Every call of the client, as a TypeScript page would make it: compiled
// under tsconfig.json (strict, as docs/service.md shows it) so that the
// declarations stay usable.
import StripeReaderDefault, {
  CODE_CANCELLED, CODE_TIMEOUT, DEFAULT_URL, MAX_MESSAGE_BYTES, StripeReader, StripeReaderError,
  loopbackPermission,
} from '../stripedrv-client.js';
import type {Card, ReaderInfo, StripeReaderFailure} from '../stripedrv-client.js';

async function kiosk(): Promise<void> {
  const permission: PermissionState | null = await loopbackPermission();
  const reader: StripeReader = await StripeReaderDefault.connect(DEFAULT_URL, {reconnect: true});
  reader.addEventListener('waiting', (event) => console.log('swipe now', event.detail.op));
  reader.addEventListener('reader', (event) => {
    if (event.detail.present) console.log(event.detail.port, event.detail.firmware);
  });
  reader.addEventListener('connection', (event) => {
    const detail = event.detail;
    if (detail.state === 'reconnecting') console.log(detail.attempt, detail.delay);
  });

  const controller = new AbortController();
  try {
    const card: Card = await reader.read({tracks: 23, timeout: 20, signal: controller.signal});
    console.log(card.track2, card.track3, card.fields?.pan_masked, card.fields?.luhn_ok);
    await reader.write({track2: '4111111111111111=2901201123', track3: undefined, verify: true,
                        signal: controller.signal});
    const info: ReaderInfo = await reader.info();
    console.log(info.firmware, info.serial_number, permission, MAX_MESSAGE_BYTES);
    const cut: number = await reader.cancel();
    console.log(cut, reader.connected, reader.present, reader.url);
  } catch (error) {
    if (error instanceof DOMException && error.name === 'AbortError') return;
    if (error instanceof StripeReaderError) {
      const reason: StripeReaderFailure = error.reason;
      console.log(error.code === CODE_CANCELLED, error.code === CODE_TIMEOUT, error.code, reason, error.message);
    }
  } finally {
    reader.close();
  }
  const other = await StripeReader.connect('ws://127.0.0.1:8765/ws', {
    WebSocket: undefined, reconnect: true, minDelay: 100, maxDelay: 5000, maxWait: 30000,
    signal: controller.signal});
  other.close();
  // @ts-expect-error: readers come from connect() alone
  new StripeReader();
}

void kiosk();
