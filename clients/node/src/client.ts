// The supervised helper process and the calls made to it.
//
// One long-lived helper answers one request line at a time, strictly in order. The client
// writes a request only after the previous one has been answered (lock-step): the helper
// works serially anyway, so this costs nothing in throughput, and it means a request that is
// still waiting here was never sent. Aborting it then guarantees it never happens, and a
// timeout measures the helper's own work on one request, not the queue in front of it.

import { spawn, type ChildProcessByStdio } from 'node:child_process';
import type { Readable, Writable } from 'node:stream';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  AbortError,
  type CaretsafeError,
  ClosedError,
  ExitedError,
  HelperNotFoundError,
  ProtocolError,
  SpawnError,
  TimeoutError,
  UnavailableError,
} from './errors.js';
import { helperPath, unpackedPath, unusable, type HelperPathOptions } from './helper_path.js';
import { LineReader, readTextLines } from './line_reader.js';
import {
  describe,
  isWellFormed,
  resultOf,
  type Action,
  type CaptureResult,
  type ClearResult,
  type InsertResult,
  type ResultOf,
  type StatusResult,
} from './protocol.js';

/**
 * Per-request time limits, in milliseconds. For the four request limits, 0 (or `Infinity`)
 * means no limit, as in Node's own libraries; a negative value or NaN is a `RangeError`.
 */
export interface Timeouts {
  /** "status". Default 5000. */
  statusMs: number;
  /** "clear". Default 5000. */
  clearMs: number;
  /** "capture": a handful of accessibility reads, each bounded by the helper. Default 10000. */
  captureMs: number;
  /** "insert", before the allowance per character. Default 10000; 0: inserts have no limit. */
  insertMs: number;
  /**
   * Added to `insertMs` per UTF-16 unit of the text, for at most 4000 units (the longest
   * text typed into a terminal): typing checks the focus before every character. Default 20.
   */
  insertPerUnitMs: number;
  /** After SIGTERM, how long an ending helper has before SIGKILL (0: none). Default 1000. */
  terminateGraceMs: number;
  /**
   * After standard input is ended, how long the helper has to exit on its own before it is
   * terminated (0: none). Default 2000.
   */
  closeMs: number;
}

/** How often a failing helper is started again. */
export interface RestartPolicy {
  /**
   * Restarts allowed within `windowMs`; one more failure and calls fail fast
   * (`UnavailableError`) until `windowMs` has passed since that failure. Default 3.
   */
  maxRestarts: number;
  /** Default 60000. */
  windowMs: number;
  /** Wait before the first restart; doubled for each further failure in the window. Default 200. */
  backoffMs: number;
  /** Default 5000. */
  maxBackoffMs: number;
}

/**
 * What happens to the helper process, for a host's logs and health display. Delivered
 * asynchronously (never from inside a call), in order.
 * - "start": a helper process started.
 * - "exit": it ended; `expected` is false for a crash (an exit nobody asked for).
 * - "restart": a fault (`cause`: a timeout, a crash, a protocol fault) ended the helper; the
 *   next call starts a fresh one, not before `delayMs`. `failures`: within the window.
 * - "unavailable": too many failures; calls fail fast with `UnavailableError` until `retryAt`
 *   (`Date.now()` time), when one call may start a helper on trial, or until `reset()`.
 */
export type CaretsafeEvent =
  | { type: 'start'; pid: number }
  | { type: 'exit'; pid: number; code: number | null; signal: NodeJS.Signals | null; expected: boolean }
  | { type: 'restart'; cause: CaretsafeError; failures: number; delayMs: number }
  | { type: 'unavailable'; cause: CaretsafeError; failures: number; retryAt: number };

/**
 * The helper's standard error: "ignore" (default), "inherit" (the host's own standard
 * error), or a function called with each line it writes (lines longer than 8192 UTF-16 units
 * come in pieces) and the pid of the helper that wrote it.
 */
export type StderrOption = 'ignore' | 'inherit' | ((line: string, pid: number) => void);

export interface CaretsafeOptions {
  /**
   * The helper executable; a path inside app.asar is started from app.asar.unpacked. Default:
   * `helperPath(lookup)`, looked up when a helper is started.
   */
  binaryPath?: string;
  /** Where to look for the helper when `binaryPath` is not given. */
  lookup?: HelperPathOptions;
  /** The helper's whole environment. Default `process.env`. */
  env?: NodeJS.ProcessEnv;
  timeouts?: Partial<Timeouts>;
  restart?: Partial<RestartPolicy>;
  /** Longest answer line accepted, in bytes. Default 65536; real answers are under 200. */
  maxLineBytes?: number;
  /** The helper's standard error. Default "ignore". */
  stderr?: StderrOption;
  /** Called with every `CaretsafeEvent`. A listener that throws throws as an uncaught exception. */
  onEvent?: (event: CaretsafeEvent) => void;
}

/** Options of every call. */
export interface CallOptions {
  /** Stops waiting. A request not yet sent is never sent. */
  signal?: AbortSignal;
  /** Replaces the default time limit of this request; 0 (or `Infinity`): no limit. */
  timeoutMs?: number;
}

/** Options of `capture`. */
export interface CaptureOptions extends CallOptions {
  /**
   * Lets the helper type the text as key events into a field whose accessibility write
   * cannot work (browsers, Electron applications), confirmed by reading the value back.
   * Such a field is never typed a line break, tab or control character: that text answers
   * "write-unconfirmed" before any key. Default false: the helper answers as without it.
   */
  allowTyping?: boolean;
}

export interface WaitForTrustOptions {
  /** Time between two "status" requests; at least 10. Default 1000. */
  pollMs?: number;
  signal?: AbortSignal;
}

export interface CloseOptions {
  /**
   * The longest `close()` waits for a request already sent (an insert may take up to its own
   * limit) and for the helper to exit on its own; then the request rejects with
   * `ClosedError` (`sent: true`) and the helper is terminated (SIGTERM, then SIGKILL after
   * `terminateGraceMs`). Default, or 0: no limit beyond the request's own and `closeMs`.
   */
  timeoutMs?: number;
}

/** How a helper process ended. */
export interface HelperExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

const kDefaultTimeouts: Timeouts = {
  statusMs: 5000,
  clearMs: 5000,
  captureMs: 10_000,
  insertMs: 10_000,
  insertPerUnitMs: 20,
  terminateGraceMs: 1000,
  closeMs: 2000,
};

// Request time limits, where 0 means none; the other timeouts are waits, where 0 means none.
const kLimits = ['statusMs', 'clearMs', 'captureMs', 'insertMs'] as const;
const kWaits = ['insertPerUnitMs', 'terminateGraceMs', 'closeMs'] as const;

const kDefaultRestart: RestartPolicy = {
  maxRestarts: 3,
  windowMs: 60_000,
  backoffMs: 200,
  maxBackoffMs: 5000,
};

// The helper's own bounds on an insert's text, in UTF-16 units: what it accepts at all, and
// what it types into a terminal.
const kMaxTextUnits = 60_000;
const kMaxTypedUnits = 4000;
// A token is the 36-character form of a UUID.
const kTokenLength = 36;
// The longest delay a Node timer takes; a longer one would fire at once.
const kMaxDelayMs = 2_147_483_647;
// The shortest pause between two polls of waitForTrust, each of which starts a process.
const kMinPollMs = 10;
// The longest piece of a standard error line handed to the host's callback.
const kMaxStderrChars = 8192;

/** The error Node's own functions throw for an option of the wrong type or range. */
function invalidOption(name: string, value: unknown, what: string): Error {
  const wrongType = typeof value !== 'number';
  const error = wrongType
    ? new TypeError(`${name} must be ${what}; got a ${typeof value}`)
    : new RangeError(`${name} must be ${what}; got ${value}`);
  return Object.assign(error, { code: wrongType ? 'ERR_INVALID_ARG_TYPE' : 'ERR_OUT_OF_RANGE' });
}

/** A number of milliseconds that is not negative, or undefined when not given. */
function milliseconds(value: unknown, name: string, what: string): number | undefined {
  if (value === undefined) return undefined;
  if (typeof value !== 'number' || Number.isNaN(value) || value < 0) throw invalidOption(name, value, what);
  return value;
}

/** A time limit: undefined when not given, Infinity for none (0 or Infinity), else a timer delay. */
function limitOption(value: unknown, name: string): number | undefined {
  const ms = milliseconds(value, name, '0 (no limit) or a positive number of milliseconds');
  if (ms === undefined) return undefined;
  return ms === 0 || ms === Infinity ? Infinity : Math.min(ms, kMaxDelayMs);
}

/** A wait: undefined when not given, else a timer delay (0: none). */
function waitOption(value: unknown, name: string): number | undefined {
  const ms = milliseconds(value, name, 'a number of milliseconds, 0 or more');
  return ms === undefined ? undefined : Math.min(ms, kMaxDelayMs);
}

// Every call registers for the abort of its signal. A host may share one signal among many
// calls (one per window, say): each signal gets one listener, however many calls wait on it,
// so that Node never warns of a listener leak, and the listener is removed with the last call.
interface AbortWatch {
  listener: () => void;
  callbacks: Set<() => void>;
}
const kAbortWatches = new WeakMap<AbortSignal, AbortWatch>();

/** Calls `callback` once when `signal` fires; answers the function that stops watching. */
function onAbort(signal: AbortSignal, callback: () => void): () => void {
  let watch = kAbortWatches.get(signal);
  if (!watch) {
    const callbacks = new Set<() => void>();
    const listener = () => {
      kAbortWatches.delete(signal);
      const waiting = [...callbacks];
      callbacks.clear();
      for (const waiter of waiting) waiter();
    };
    watch = { listener, callbacks };
    kAbortWatches.set(signal, watch);
    signal.addEventListener('abort', listener, { once: true });
  }
  const { callbacks, listener } = watch;
  callbacks.add(callback);
  return () => {
    if (!callbacks.delete(callback) || callbacks.size > 0) return;
    signal.removeEventListener('abort', listener);
    if (kAbortWatches.get(signal) === watch) kAbortWatches.delete(signal);
  };
}

// Node defines Symbol.asyncDispose (as this registered symbol) from 18.18 and 20.4 on; on an
// older runtime the method is still there under the symbol a later one will use.
export const kAsyncDispose: typeof Symbol.asyncDispose =
  Symbol.asyncDispose ?? (Symbol.for('nodejs.asyncDispose') as typeof Symbol.asyncDispose);

// Tokens remembered with the process that issued them, so that one from an ended process is
// answered without a round trip. Only the latest can still be held, so a few are plenty.
const kRememberedTokens = 32;

type HelperChild = ChildProcessByStdio<Writable, Readable, Readable | null>;

interface Helper {
  child: HelperChild;
  /** Undefined when the process could not be started. */
  pid: number | undefined;
  generation: number;
  /** No longer the current helper: its output is ignored. */
  retired: boolean;
  /** Its exit was asked for (standard input ended, or a signal sent). */
  ending: boolean;
  exit?: HelperExit;
  exited: Promise<HelperExit>;
  markExited(exit: HelperExit): void;
  timer?: NodeJS.Timeout;
}

interface Call {
  id: number;
  action: Action;
  line: string;
  /** For an insert: the token, to recognise one from an ended helper. */
  token?: string;
  /** Infinity: no limit. */
  timeoutMs: number;
  /** Its line was handed to the helper's standard input (and not refused by the pipe). */
  sent: boolean;
  settled: boolean;
  resolve(value: unknown): void;
  reject(error: unknown): void;
  signal?: AbortSignal;
  unwatch?: () => void;
  timer?: NodeJS.Timeout;
}

/**
 * A client of the caretsafe helper. Starts the helper on the first call and keeps it
 * running; answers are typed values, refusals included. Transport faults reject with the
 * errors of `errors.ts`: after a timeout, an unexpected exit or a protocol fault, every
 * pending call rejects, the helper is ended, and the next call starts a fresh one.
 */
export class Caretsafe {
  private readonly binaryPath: string | undefined;
  private readonly lookup: HelperPathOptions | undefined;
  private readonly env: NodeJS.ProcessEnv | undefined;
  private readonly timeouts: Timeouts;
  private readonly restartPolicy: RestartPolicy;
  private readonly maxLineBytes: number;
  private readonly stderr: StderrOption;
  private readonly onEvent: ((event: CaretsafeEvent) => void) | undefined;

  private current: Helper | undefined;
  private readonly live = new Set<Helper>();
  private generation = 0;
  private nextId = 1;
  private readonly queue: Call[] = [];
  private inFlight: Call | undefined;
  private readonly tokens = new Map<string, number>();

  private faults: number[] = [];
  private restartAt = 0;
  private backoffTimer: NodeJS.Timeout | undefined;
  private failure: UnavailableError | undefined;
  // The helper now running was started on trial after a spell of unavailability: one more
  // fault before it answers makes the client unavailable again at once.
  private trial = false;
  private closing: Promise<HelperExit | undefined> | undefined;
  private closeTimer: NodeJS.Timeout | undefined;
  private closeAt = Infinity;
  // Fires on close(), so that nothing the client waits for on its own keeps running after it.
  private readonly closed = new AbortController();

  constructor(options: CaretsafeOptions = {}) {
    this.binaryPath = options.binaryPath;
    this.lookup = options.lookup;
    this.env = options.env;
    const given: Partial<Timeouts> = options.timeouts ?? {};
    const timeouts = { ...kDefaultTimeouts };
    for (const key of kLimits) timeouts[key] = limitOption(given[key], `timeouts.${key}`) ?? timeouts[key];
    for (const key of kWaits) timeouts[key] = waitOption(given[key], `timeouts.${key}`) ?? timeouts[key];
    this.timeouts = timeouts;
    this.restartPolicy = { ...kDefaultRestart, ...options.restart };
    this.maxLineBytes = options.maxLineBytes ?? 65_536;
    this.stderr = options.stderr ?? 'ignore';
    this.onEvent = options.onEvent;
  }

  /** The pid of the running helper, if one is running. */
  get pid(): number | undefined {
    return this.current?.pid;
  }

  /** Whether the accessibility permission is granted (to the host application, on macOS). */
  status(options: CallOptions = {}): Promise<StatusResult> {
    return this.request('status', {}, options, this.timeouts.statusMs);
  }

  /** Drops the capture the helper holds, if any. */
  clear(options: CallOptions = {}): Promise<ClearResult> {
    return this.request('clear', {}, options, this.timeouts.clearMs);
  }

  /**
   * Records the focused text field of the frontmost application; answers a one-shot token.
   * `allowTyping: true` lets the helper type into a field it cannot write (see `CaptureOptions`).
   */
  capture(options: CaptureOptions = {}): Promise<CaptureResult> {
    const fields: Record<string, unknown> = options.allowTyping === true ? { allowTyping: true } : {};
    return this.request('capture', fields, options, this.timeouts.captureMs);
  }

  /**
   * Inserts `text` at the caret captured under `token`, if nothing changed since. Never
   * retried: a token from a helper that has since ended answers "no-target" at once. A text
   * the helper would refuse or alter (over 60,000 UTF-16 units, or holding a lone surrogate,
   * which it would read as U+FFFD) is sent without its text, so the helper answers
   * "invalid-text" and uses the capture up as for any other refused text; likewise a token
   * longer than any token is sent as none ("no-target"). A rejection with `sent: true` means
   * the text may have been delivered: never insert it again without capturing and looking.
   */
  insert(token: string, text: string, options: CallOptions = {}): Promise<InsertResult> {
    const sendable = typeof text === 'string' && text.length <= kMaxTextUnits && isWellFormed(text);
    const fields: Record<string, unknown> = {};
    // A longer string is no token the helper issued, and could carry the request line past the
    // helper's size limit, whose refusal comes without a requestId.
    if (typeof token === 'string' && token.length <= kTokenLength) fields.token = token;
    if (sendable) fields.text = text;
    const units = typeof text === 'string' ? Math.min(text.length, kMaxTypedUnits) : 0;
    const { insertMs, insertPerUnitMs } = this.timeouts;
    const timeoutMs = insertMs === Infinity ? Infinity : Math.min(insertMs + units * insertPerUnitMs, kMaxDelayMs);
    return this.request('insert', fields, options, timeoutMs);
  }

  /**
   * Resolves once "status" answers trusted, asking every `pollMs`. Between two polls the
   * helper is ended and the next poll starts a fresh one: a running process may keep the
   * answer it had. Rejects with `AbortError` when `signal` fires, and with `ClosedError` at
   * once when the client is closed.
   */
  async waitForTrust(options: WaitForTrustOptions = {}): Promise<void> {
    const pollMs = Math.max(waitOption(options.pollMs, 'pollMs') ?? 1000, kMinPollMs);
    const { signal } = options;
    // The pause between two polls ends on the caller's signal or on close().
    const pause = new AbortController();
    const stop = () => pause.abort();
    const unwatchSignal = signal ? onAbort(signal, stop) : undefined;
    const unwatchClosed = onAbort(this.closed.signal, stop);
    try {
      for (;;) {
        const answer = await this.status(signal ? { signal } : {});
        if (answer.trusted) return;
        this.recycle();
        try {
          await sleep(pollMs, undefined, { signal: pause.signal });
        } catch {
          if (signal?.aborted) throw new AbortError(signal.reason);
          throw new ClosedError();
        }
      }
    } finally {
      unwatchSignal?.();
      unwatchClosed();
    }
  }

  /**
   * Forgets past failures: a client that is unavailable starts a helper at the next call, and
   * the restart count and backoff begin afresh. For a host's "try again" after it fixed
   * what made the helper fail.
   */
  reset(): void {
    this.failure = undefined;
    this.faults = [];
    this.trial = false;
    this.restartAt = 0;
    if (this.backoffTimer) {
      clearTimeout(this.backoffTimer);
      this.backoffTimer = undefined;
      this.pump();
    }
  }

  /**
   * Ends the client: calls not yet sent reject with `ClosedError`, a request already sent
   * gets its answer, then the helper's standard input is ended and it exits on its own
   * (or is ended after `closeMs`). Resolves when no helper process is left, with how the
   * last one ended. `timeoutMs` bounds the wait for a request already sent (see
   * `CloseOptions`); a later call with a shorter `timeoutMs` shortens it.
   */
  close(options: CloseOptions = {}): Promise<HelperExit | undefined> {
    let limitMs: number | undefined;
    try {
      limitMs = limitOption(options.timeoutMs, 'timeoutMs');
    } catch (error) {
      return Promise.reject(error);
    }
    if (!this.closing) {
      this.closed.abort();
      if (this.backoffTimer) clearTimeout(this.backoffTimer);
      this.backoffTimer = undefined;
      this.rejectQueued(() => new ClosedError());
      const last = this.current;
      if (last) {
        last.ending = true;
        last.child.stdin.end();
        if (!this.inFlight) this.armEndTimer(last);
      }
      this.closing = Promise.all([...this.live].map((helper) => helper.exited)).then(() => {
        if (this.closeTimer) clearTimeout(this.closeTimer);
        this.closeTimer = undefined;
        return last?.exit;
      });
    }
    if (limitMs !== undefined && limitMs !== Infinity && this.live.size > 0) this.closeWithin(limitMs);
    return this.closing;
  }

  /** Closes the client (`await using caretsafe = new Caretsafe(…)`). */
  async [kAsyncDispose](): Promise<void> {
    await this.close();
  }

  private closeWithin(ms: number): void {
    const at = Date.now() + ms;
    if (at >= this.closeAt) return;
    this.closeAt = at;
    if (this.closeTimer) clearTimeout(this.closeTimer);
    this.closeTimer = setTimeout(() => {
      this.closeTimer = undefined;
      const call = this.inFlight;
      this.inFlight = undefined;
      if (call) {
        clearTimeout(call.timer);
        this.settle(call, new ClosedError(call.sent));
      }
      for (const helper of this.live) {
        this.retire(helper);
        this.terminate(helper);
      }
    }, ms);
  }

  private request<A extends Action>(
    action: A,
    fields: Record<string, unknown>,
    options: CallOptions,
    defaultTimeoutMs: number,
  ): Promise<ResultOf[A]> {
    let timeoutMs: number;
    try {
      timeoutMs = limitOption(options.timeoutMs, 'timeoutMs') ?? defaultTimeoutMs;
    } catch (error) {
      return Promise.reject(error);
    }
    if (this.closing) return Promise.reject(new ClosedError());
    if (this.failure) {
      if (Date.now() < this.failure.retryAt) return Promise.reject(this.failure);
      // The window has passed: one helper is started on trial.
      this.failure = undefined;
      this.faults = [];
      this.trial = true;
    }
    const { signal } = options;
    if (signal?.aborted) return Promise.reject(new AbortError(signal.reason));
    return new Promise<ResultOf[A]>((resolve, reject) => {
      const id = this.nextId++;
      const call: Call = {
        id,
        action,
        line: `${JSON.stringify({ action, ...fields, requestId: id })}\n`,
        timeoutMs,
        sent: false,
        settled: false,
        resolve: resolve as (value: unknown) => void,
        reject,
      };
      if (typeof fields.token === 'string') call.token = fields.token;
      if (signal) {
        call.signal = signal;
        call.unwatch = onAbort(signal, () => this.abort(call));
      }
      this.queue.push(call);
      this.pump();
    });
  }

  /** Sends the next queued request, starting a helper if none runs. */
  private pump(): void {
    while (!this.inFlight && this.queue.length > 0 && !this.closing) {
      const head = this.queue[0]!;
      if (this.fromEndedHelper(head)) {
        this.queue.shift();
        this.settle(head, undefined, { ok: false, reason: 'no-target' });
        continue;
      }
      const helper = this.current ?? this.start();
      if (!helper) return;
      this.queue.shift();
      this.inFlight = head;
      if (head.timeoutMs !== Infinity) head.timer = setTimeout(() => this.timedOut(helper, head), head.timeoutMs);
      head.sent = true;
      helper.child.stdin.write(head.line, (error) => {
        if (error) this.writeFailed(helper, head, error);
      });
    }
  }

  private fromEndedHelper(call: Call): boolean {
    if (call.token === undefined) return false;
    const generation = this.tokens.get(call.token);
    return generation !== undefined && this.current?.generation !== generation;
  }

  /** Starts a helper, or answers undefined when it must wait (backoff) or cannot start. */
  private start(): Helper | undefined {
    const wait = this.restartAt - Date.now();
    if (wait > 0) {
      this.backoffTimer ??= setTimeout(() => {
        this.backoffTimer = undefined;
        this.pump();
      }, Math.min(wait, kMaxDelayMs));
      return undefined;
    }
    let binary: string;
    try {
      // A path beside __dirname points into app.asar in a packaged app, where no process can
      // be started from; asarUnpack puts the file in app.asar.unpacked.
      binary = this.binaryPath !== undefined ? unpackedPath(this.binaryPath) : helperPath(this.lookup);
      // A file that is there but cannot be run is for spawn to report (SpawnError).
      if (this.binaryPath !== undefined && unusable(binary) === 'missing') {
        throw new HelperNotFoundError([`${binary} (missing)`]);
      }
    } catch (error) {
      this.rejectQueued(() => error);
      return undefined;
    }

    const stderr = this.stderr;
    const stderrMode = typeof stderr === 'function' ? 'pipe' : stderr === 'inherit' ? 'inherit' : 'ignore';
    let child: HelperChild;
    try {
      child = spawn(binary, [], {
        stdio: ['pipe', 'pipe', stderrMode],
        env: this.env ?? process.env,
        windowsHide: true,
      }) as HelperChild;
    } catch (error) {
      this.rejectQueued(() => new SpawnError(binary, error as NodeJS.ErrnoException));
      return undefined;
    }

    let markExited!: (exit: HelperExit) => void;
    const exited = new Promise<HelperExit>((resolve) => {
      markExited = resolve;
    });
    const helper: Helper = {
      child,
      pid: child.pid,
      generation: ++this.generation,
      retired: false,
      ending: false,
      exited,
      markExited: (exit) => {
        if (helper.exit) return;
        helper.exit = exit;
        if (helper.timer) clearTimeout(helper.timer);
        this.live.delete(helper);
        markExited(exit);
      },
    };
    this.live.add(helper);
    this.current = helper;

    const reader = new LineReader(
      this.maxLineBytes,
      (line) => this.answered(helper, line),
      (bytes) => this.protocolFault(helper, `a line of more than ${this.maxLineBytes} bytes (${bytes} so far)`),
    );
    child.stdout.on('data', (chunk: Buffer) => {
      if (!helper.retired) reader.push(chunk);
    });
    child.stdout.on('error', () => {});
    if (child.stderr && typeof stderr === 'function') {
      const pid = child.pid ?? 0;
      readTextLines(child.stderr, kMaxStderrChars, (line) => stderr(line, pid));
    }
    // A failed write is reported to its callback (writeFailed).
    child.stdin.on('error', () => {});
    child.on('close', (code, signal) => this.ended(helper, { code, signal }));
    child.on('error', (error: NodeJS.ErrnoException) => {
      // Errors after a successful start (a failed kill) change nothing.
      if (child.pid !== undefined) return;
      const fault =
        error.code === 'ENOENT' ? new HelperNotFoundError([`${binary} (missing)`]) : new SpawnError(binary, error);
      this.retire(helper);
      this.rejectPending(() => fault);
      helper.markExited({ code: null, signal: null });
    });
    if (helper.pid !== undefined) this.emit({ type: 'start', pid: helper.pid });
    return helper;
  }

  private answered(helper: Helper, line: string): void {
    if (helper.retired) return;
    const call = this.inFlight;
    if (!call) return this.protocolFault(helper, `an unrequested line ${describe(excerpt(line))}`);
    let answer: unknown;
    try {
      answer = JSON.parse(line);
    } catch {
      return this.protocolFault(helper, `a line that is not JSON: ${describe(excerpt(line))}`);
    }
    if (typeof answer !== 'object' || answer === null || Array.isArray(answer)) {
      return this.protocolFault(helper, `a line that is not a JSON object: ${describe(excerpt(line))}`);
    }
    const requestId = (answer as Record<string, unknown>).requestId;
    if (requestId !== call.id) {
      return this.protocolFault(helper, `an answer with requestId ${describe(requestId)} while ${call.id} was awaited`);
    }
    clearTimeout(call.timer);
    this.inFlight = undefined;
    // The helper answers: a helper started on trial has proved itself.
    this.trial = false;
    const result = resultOf(call.action, answer as Record<string, unknown>);
    if (typeof result === 'string') {
      this.settle(call, new ProtocolError(`caretsafe helper answered ${result}`, { sent: true }));
    } else {
      if (call.action === 'capture' && 'token' in result) this.remember(result.token, helper.generation);
      this.settle(call, undefined, result);
    }
    if (helper.ending) this.armEndTimer(helper);
    this.pump();
  }

  private remember(token: string, generation: number): void {
    this.tokens.set(token, generation);
    if (this.tokens.size > kRememberedTokens) this.tokens.delete(this.tokens.keys().next().value!);
  }

  private timedOut(helper: Helper, call: Call): void {
    if (helper.retired || this.inFlight !== call) return;
    this.fault(helper, (sent) => new TimeoutError(call.action, call.timeoutMs, sent));
  }

  private protocolFault(helper: Helper, what: string): void {
    if (helper.retired) return;
    this.fault(helper, (sent) => new ProtocolError(`caretsafe helper wrote ${what}`, { sent }));
  }

  /**
   * The request line could not be written: the helper's standard input is closed (EPIPE).
   * The request never reached it, and no answer can come, so the call fails now rather than
   * at its time limit.
   */
  private writeFailed(helper: Helper, call: Call, error: NodeJS.ErrnoException): void {
    // A process that never started is reported by its "error" event.
    if (helper.retired || helper.pid === undefined || this.inFlight !== call) return;
    call.sent = false;
    const { exitCode, signalCode } = helper.child;
    if (exitCode !== null || signalCode !== null) {
      this.fault(helper, (sent) => new ExitedError(exitCode, signalCode, sent));
      return;
    }
    const what = `caretsafe helper stopped reading requests (${error.code ?? error.message}) while still running; it has been ended`;
    this.fault(helper, (sent) => new ProtocolError(what, { sent, cause: error }));
  }

  private ended(helper: Helper, exit: HelperExit): void {
    const expected = helper.retired || helper.ending;
    const wasCurrent = !helper.retired;
    helper.markExited(exit);
    if (helper.pid !== undefined) this.emit({ type: 'exit', pid: helper.pid, ...exit, expected });
    if (!wasCurrent) return;
    if (expected) {
      // Closing: a request still unanswered when the helper went can only be rejected.
      this.retire(helper);
      this.rejectPending((sent) => new ExitedError(exit.code, exit.signal, sent));
      return;
    }
    this.fault(helper, (sent) => new ExitedError(exit.code, exit.signal, sent));
  }

  /**
   * The current helper failed: every pending call rejects (the one in flight with
   * `error(its sent)`, the others with `error(false)`), the helper is ended, and the failure
   * counts against the restart policy.
   */
  private fault(helper: Helper, error: (sent: boolean) => CaretsafeError): void {
    this.retire(helper);
    this.terminate(helper);
    const call = this.inFlight;
    this.inFlight = undefined;
    const first = error(call?.sent ?? false);
    if (!this.closing) this.count(first);
    if (call) {
      clearTimeout(call.timer);
      this.settle(call, first);
    }
    const failure = this.failure;
    this.rejectQueued(failure ? () => failure : () => error(false));
  }

  /** Counts a fault against the restart policy, and tells the host what follows. */
  private count(cause: CaretsafeError): void {
    const now = Date.now();
    const { maxRestarts, windowMs, backoffMs, maxBackoffMs } = this.restartPolicy;
    this.faults = this.faults.filter((at) => at > now - windowMs);
    this.faults.push(now);
    const failures = this.faults.length;
    if (this.trial || failures > maxRestarts) {
      const what = this.trial ? 'failed again when started on trial' : `failed ${failures} times within ${windowMs} ms`;
      this.trial = false;
      this.failure = new UnavailableError(what, failures, now + windowMs, cause);
      this.emit({ type: 'unavailable', cause, failures, retryAt: this.failure.retryAt });
    } else {
      const delayMs = Math.min(maxBackoffMs, backoffMs * 2 ** (failures - 1));
      this.restartAt = now + delayMs;
      this.emit({ type: 'restart', cause, failures, delayMs });
    }
  }

  private emit(event: CaretsafeEvent): void {
    const listener = this.onEvent;
    // Never from inside the client's own bookkeeping: a listener may call the client.
    if (listener) process.nextTick(listener, event);
  }

  private retire(helper: Helper): void {
    helper.retired = true;
    if (this.current === helper) this.current = undefined;
  }

  /** SIGTERM (with SIGCONT, so a stopped helper can act on it), then SIGKILL after the grace. */
  private terminate(helper: Helper): void {
    if (helper.exit) return;
    helper.ending = true;
    // Nothing it writes any more is read; a helper flooding its output must not be drained.
    helper.child.stdout.destroy();
    helper.child.kill('SIGTERM');
    helper.child.kill('SIGCONT');
    if (helper.timer) clearTimeout(helper.timer);
    helper.timer = setTimeout(() => helper.child.kill('SIGKILL'), this.timeouts.terminateGraceMs);
  }

  /** A helper whose standard input was ended gets `closeMs` to exit, then is terminated. */
  private armEndTimer(helper: Helper): void {
    if (helper.exit || helper.timer) return;
    helper.timer = setTimeout(() => {
      helper.timer = undefined;
      this.terminate(helper);
    }, this.timeouts.closeMs);
  }

  /** Ends an idle helper gracefully, so that the next call starts a fresh one. */
  private recycle(): void {
    const helper = this.current;
    if (!helper || this.inFlight || this.queue.length > 0) return;
    this.retire(helper);
    helper.ending = true;
    helper.child.stdin.end();
    this.armEndTimer(helper);
  }

  private abort(call: Call): void {
    const queued = this.queue.indexOf(call);
    if (queued !== -1) this.queue.splice(queued, 1);
    // A request already sent stays in flight: its answer must still be read, and its time
    // limit still tells a hung helper.
    this.settle(call, new AbortError(call.signal?.reason, call.sent));
  }

  private rejectPending(error: (sent: boolean) => unknown): void {
    const call = this.inFlight;
    this.inFlight = undefined;
    if (call) {
      clearTimeout(call.timer);
      this.settle(call, error(call.sent));
    }
    this.rejectQueued(() => error(false));
  }

  private rejectQueued(error: () => unknown): void {
    for (const call of this.queue.splice(0)) this.settle(call, error());
  }

  private settle(call: Call, error: unknown, value?: unknown): void {
    if (call.settled) return;
    call.settled = true;
    call.unwatch?.();
    if (error !== undefined) call.reject(error);
    else call.resolve(value);
  }
}

function excerpt(line: string): string {
  return line.length > 120 ? `${line.slice(0, 117)}...` : line;
}
