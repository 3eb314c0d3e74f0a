// Declarations for stripedrv-client.js: the magnetic-stripe reader through
// the local stripedrvd service.

export declare const DEFAULT_URL: string;
/** The service closes a connection whose message is larger than this. */
export declare const MAX_MESSAGE_BYTES: number;
/** The library's status code for a request cut short by a cancel. */
export declare const CODE_CANCELLED: -11;
/** The library's status code for a time limit run out. */
export declare const CODE_TIMEOUT: -2;

/** Why a request failed when the service gave no status code. */
export type StripeReaderFailure =
  | 'service'              // the service answered a failure: see `code`
  | 'not-running'          // nothing listens at the address
  | 'origin-not-allowed'   // the service refused this page's origin (403)
  | 'local-network-access' // the browser kept this page from loopback
  | 'connection-lost'      // the connection dropped with the request in flight
  | 'not-connected'        // asked while there was no connection
  | 'closed'               // close() was called
  | 'too-large';           // the request exceeds MAX_MESSAGE_BYTES

export declare class StripeReaderError extends Error {
  constructor(message: string,
              options?: {code?: number | null; reason?: StripeReaderFailure; cause?: unknown});
  readonly name: 'StripeReaderError';
  /** The library's status code (see stripedrv.h), or null. */
  readonly code: number | null;
  readonly reason: StripeReaderFailure;
}

/** Track 2's fields when it has a payment card's layout. */
export interface Track2Fields {
  pan_masked: string;
  expiry: string;
  service_code: string;
  luhn_ok: boolean;
}

export interface Card {
  track2: string | null;
  track3: string | null;
  fields: Track2Fields | null;
}

export interface ReaderInfo {
  firmware: string;
  serial_number?: string;
  production_date?: string;
  model?: string;
}

export type Tracks = 2 | 3 | 23;

export interface ReadOptions {
  tracks?: Tracks;
  /** Seconds to wait for the swipe, 0 to 600; the call rejects with code -2
   *  (CODE_TIMEOUT) within 0.2 s of it. */
  timeout?: number;
  /** Aborting cuts this request alone short (the others of the connection
   *  run on); it rejects at once with the signal's reason, or a DOMException
   *  named "AbortError". */
  signal?: AbortSignal;
}

export interface WriteOptions {
  track2?: string;
  track3?: string;
  tracks?: Tracks;
  /** Read the card back (a second swipe) and compare. */
  verify?: boolean;
  timeout?: number;
  signal?: AbortSignal;
}

export interface ConnectOptions {
  /** Reconnect after a drop (default true). Given as `true`, connect() also
   *  waits for a service that is not up yet, retrying with the backoff. */
  reconnect?: boolean;
  /** Ends connect()'s wait for the service: it rejects with the signal's reason. */
  signal?: AbortSignal;
  /** Ends connect()'s wait for the service after this many ms: it rejects
   *  with the last failure (reason 'not-running', or 'local-network-access'
   *  for a page off loopback). */
  maxWait?: number;
  /** A WebSocket constructor where there is no global one (Node 20: `ws`). */
  WebSocket?: unknown;
  /** The reconnect backoff in ms: doubling from minDelay to maxDelay, jittered. */
  minDelay?: number;
  maxDelay?: number;
}

export interface WaitingDetail { id: number; op: 'read' | 'write' | null }
export interface ReaderDetail { present: boolean; port?: string; firmware?: string }
export type ConnectionDetail =
  | {state: 'open' | 'lost' | 'closed'}
  | {state: 'reconnecting'; attempt: number; delay: number};

export interface StripeReaderEventMap {
  /** A read or write waits for the swipe now. */
  waiting: CustomEvent<WaitingDetail>;
  /** The reader was plugged in or pulled out. */
  reader: CustomEvent<ReaderDetail>;
  connection: CustomEvent<ConnectionDetail>;
}

export declare class StripeReader extends EventTarget {
  /** Resolves once connected and the service has said whether the reader
   *  is there: `present` is then true or false. */
  static connect(url?: string, options?: ConnectOptions): Promise<StripeReader>;
  /** Readers are made by connect() alone. */
  private constructor();
  readonly url: string;
  readonly connected: boolean;
  /** Whether the reader is attached, as the service last said (set once
   *  connect() has resolved). */
  readonly present: boolean | null;
  read(options?: ReadOptions): Promise<Card>;
  write(options: WriteOptions): Promise<void>;
  info(options?: {signal?: AbortSignal}): Promise<ReaderInfo>;
  /** Cuts this connection's requests short; resolves to how many. */
  cancel(): Promise<number>;
  /** Closes for good: no reconnect; the requests in flight and every later
   *  call reject with reason 'closed'. */
  close(): void;

  addEventListener<K extends keyof StripeReaderEventMap>(
      type: K, listener: (this: StripeReader, event: StripeReaderEventMap[K]) => unknown,
      options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
                   options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends keyof StripeReaderEventMap>(
      type: K, listener: (this: StripeReader, event: StripeReaderEventMap[K]) => unknown,
      options?: boolean | EventListenerOptions): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
                      options?: boolean | EventListenerOptions): void;
}

/** The browser's "loopback-network" permission: "granted", "denied" or
 *  "prompt"; null where the browser has no such permission. */
export declare function loopbackPermission(): Promise<PermissionState | null>;

export default StripeReader;
