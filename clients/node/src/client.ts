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
  ClosedError,
  ExitedError,
  HelperNotFoundError,
  ProtocolError,
  SpawnError,
  TimeoutError,
  UnavailableError,
} from './errors.js';
import { helperPath, unpackedPath, unusable, type HelperPathOptions } from './helper_path.js';
import { LineReader } from './line_reader.js';
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

/** Per-request time limits, in milliseconds. */
export interface Timeouts {
  /** "status". Default 5000. */
  statusMs: number;
  /** "clear". Default 5000. */
  clearMs: number;
  /** "capture": a handful of accessibility reads, each bounded by the helper. Default 10000. */
  captureMs: number;
  /** "insert", before the allowance per character. Default 10000. */
  insertMs: number;
  /**
   * Added to `insertMs` per UTF-16 unit of the text, for at most 4000 units (the longest
   * text typed into a terminal): typing checks the focus before every character. Default 20.
   */
  insertPerUnitMs: number;
  /** After SIGTERM, how long an ending helper has before SIGKILL. Default 1000. */
  terminateGraceMs: number;
  /** After standard input is ended, how long the helper has to exit on its own. Default 2000. */
  closeMs: number;
}

/** How often a failing helper is started again. */
export interface RestartPolicy {
  /** Restarts allowed within `windowMs`; one more failure and calls fail fast. Default 3. */
  maxRestarts: number;
  /** Default 60000. */
  windowMs: number;
  /** Wait before the first restart; doubled for each further failure in the window. Default 200. */
  backoffMs: number;
  /** Default 5000. */
  maxBackoffMs: number;
}

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
}

/** Options of every call. */
export interface CallOptions {
  /** Stops waiting. A request not yet sent is never sent. */
  signal?: AbortSignal;
  /** Replaces the default time limit of this request (`Infinity`: the longest a timer can wait, about 24 days). */
  timeoutMs?: number;
}

export interface WaitForTrustOptions {
  /** Time between two "status" requests; at least 10. Default 1000. */
  pollMs?: number;
  signal?: AbortSignal;
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

/** `ms` as a timer delay: a number within what a timer can wait, or `fallback`. */
function delay(ms: number | undefined, fallback: number, min = 0): number {
  if (ms === undefined || Number.isNaN(ms)) return fallback;
  return Math.min(Math.max(ms, min), kMaxDelayMs);
}

// Tokens remembered with the process that issued them, so that one from an ended process is
// answered without a round trip. Only the latest can still be held, so a few are plenty.
const kRememberedTokens = 32;

type HelperChild = ChildProcessByStdio<Writable, Readable, null>;

interface Helper {
  child: HelperChild;
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
  timeoutMs: number;
  settled: boolean;
  resolve(value: unknown): void;
  reject(error: unknown): void;
  signal?: AbortSignal;
  onAbort?: () => void;
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
  private closing: Promise<HelperExit | undefined> | undefined;
  // Fires on close(), so that nothing the client waits for on its own keeps running after it.
  private readonly closed = new AbortController();

  constructor(options: CaretsafeOptions = {}) {
    this.binaryPath = options.binaryPath;
    this.lookup = options.lookup;
    this.env = options.env;
    const timeouts = { ...kDefaultTimeouts, ...options.timeouts };
    for (const key of Object.keys(kDefaultTimeouts) as (keyof Timeouts)[]) {
      timeouts[key] = delay(timeouts[key], kDefaultTimeouts[key]);
    }
    this.timeouts = timeouts;
    this.restartPolicy = { ...kDefaultRestart, ...options.restart };
    this.maxLineBytes = options.maxLineBytes ?? 65_536;
  }

  /** The pid of the running helper, if one is running. */
  get pid(): number | undefined {
    return this.current?.child.pid;
  }

  /** Whether the accessibility permission is granted (to the host application, on macOS). */
  status(options: CallOptions = {}): Promise<StatusResult> {
    return this.request('status', {}, options, this.timeouts.statusMs);
  }

  /** Drops the capture the helper holds, if any. */
  clear(options: CallOptions = {}): Promise<ClearResult> {
    return this.request('clear', {}, options, this.timeouts.clearMs);
  }

  /** Records the focused text field of the frontmost application; answers a one-shot token. */
  capture(options: CallOptions = {}): Promise<CaptureResult> {
    return this.request('capture', {}, options, this.timeouts.captureMs);
  }

  /**
   * Inserts `text` at the caret captured under `token`, if nothing changed since. Never
   * retried: a token from a helper that has since ended answers "no-target" at once. A text
   * the helper would refuse or alter (over 60,000 UTF-16 units, or holding a lone surrogate,
   * which it would read as U+FFFD) is sent without its text, so the helper answers
   * "invalid-text" and uses the capture up as for any other refused text; likewise a token
   * longer than any token is sent as none ("no-target").
   */
  insert(token: string, text: string, options: CallOptions = {}): Promise<InsertResult> {
    const sendable = typeof text === 'string' && text.length <= kMaxTextUnits && isWellFormed(text);
    const fields: Record<string, unknown> = {};
    // A longer string is no token the helper issued, and could carry the request line past the
    // helper's size limit, whose refusal comes without a requestId.
    if (typeof token === 'string' && token.length <= kTokenLength) fields.token = token;
    if (sendable) fields.text = text;
    const units = typeof text === 'string' ? Math.min(text.length, kMaxTypedUnits) : 0;
    const timeoutMs = this.timeouts.insertMs + units * this.timeouts.insertPerUnitMs;
    return this.request('insert', fields, options, timeoutMs);
  }

  /**
   * Resolves once "status" answers trusted, asking every `pollMs`. Between two polls the
   * helper is ended and the next poll starts a fresh one: a running process may keep the
   * answer it had. Rejects with `AbortError` when `signal` fires, and with `ClosedError` at
   * once when the client is closed.
   */
  async waitForTrust(options: WaitForTrustOptions = {}): Promise<void> {
    const pollMs = delay(options.pollMs, 1000, kMinPollMs);
    const { signal } = options;
    // The pause between two polls ends on the caller's signal or on close().
    const pause = new AbortController();
    const stop = () => pause.abort();
    signal?.addEventListener('abort', stop, { once: true });
    this.closed.signal.addEventListener('abort', stop, { once: true });
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
      signal?.removeEventListener('abort', stop);
      this.closed.signal.removeEventListener('abort', stop);
    }
  }

  /**
   * Ends the client: calls not yet sent reject with `ClosedError`, a request already sent
   * gets its answer, then the helper's standard input is ended and it exits on its own
   * (or is ended after `closeMs`). Resolves when no helper process is left, with how the
   * last one ended.
   */
  close(): Promise<HelperExit | undefined> {
    if (this.closing) return this.closing;
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
    this.closing = Promise.all([...this.live].map((helper) => helper.exited)).then(() => last?.exit);
    return this.closing;
  }

  private request<A extends Action>(
    action: A,
    fields: Record<string, unknown>,
    options: CallOptions,
    defaultTimeoutMs: number,
  ): Promise<ResultOf[A]> {
    if (this.closing) return Promise.reject(new ClosedError());
    if (this.failure) return Promise.reject(this.failure);
    const { signal } = options;
    if (signal?.aborted) return Promise.reject(new AbortError(signal.reason));
    return new Promise<ResultOf[A]>((resolve, reject) => {
      const id = this.nextId++;
      const call: Call = {
        id,
        action,
        line: `${JSON.stringify({ action, ...fields, requestId: id })}\n`,
        timeoutMs: delay(options.timeoutMs, delay(defaultTimeoutMs, kMaxDelayMs)),
        settled: false,
        resolve: resolve as (value: unknown) => void,
        reject,
      };
      if (typeof fields.token === 'string') call.token = fields.token;
      if (signal) {
        call.signal = signal;
        call.onAbort = () => this.abort(call);
        signal.addEventListener('abort', call.onAbort, { once: true });
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
      head.timer = setTimeout(() => this.timedOut(helper, head), head.timeoutMs);
      helper.child.stdin.write(head.line);
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

    let child: HelperChild;
    try {
      child = spawn(binary, [], {
        stdio: ['pipe', 'pipe', 'ignore'],
        env: this.env ?? process.env,
        windowsHide: true,
      });
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
    // A write to a helper that has just ended fails; its exit is what reports that.
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
    const result = resultOf(call.action, answer as Record<string, unknown>);
    if (typeof result === 'string') {
      this.settle(call, new ProtocolError(`caretsafe helper answered ${result}`));
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
    this.fault(
      helper,
      new TimeoutError(call.action, call.timeoutMs, true),
      () => new TimeoutError(call.action, call.timeoutMs, false),
    );
  }

  private protocolFault(helper: Helper, what: string): void {
    if (helper.retired) return;
    const error = () => new ProtocolError(`caretsafe helper wrote ${what}`);
    this.fault(helper, error(), error);
  }

  private ended(helper: Helper, exit: HelperExit): void {
    const expected = helper.retired || helper.ending;
    const wasCurrent = !helper.retired;
    helper.markExited(exit);
    if (!wasCurrent) return;
    if (expected) {
      // Closing: a request still unanswered when the helper went can only be rejected.
      this.retire(helper);
      this.rejectPending(() => new ExitedError(exit.code, exit.signal));
      return;
    }
    this.fault(helper, new ExitedError(exit.code, exit.signal), () => new ExitedError(exit.code, exit.signal));
  }

  /**
   * The current helper failed: every pending call rejects (the one in flight with `first`),
   * the helper is ended, and the failure counts against the restart policy.
   */
  private fault(helper: Helper, first: unknown, others: () => unknown): void {
    this.retire(helper);
    this.terminate(helper);
    const now = Date.now();
    const { maxRestarts, windowMs, backoffMs, maxBackoffMs } = this.restartPolicy;
    this.faults = this.faults.filter((at) => at > now - windowMs);
    this.faults.push(now);
    if (this.faults.length > maxRestarts) {
      this.failure = new UnavailableError(this.faults.length, windowMs, first);
    } else {
      this.restartAt = now + Math.min(maxBackoffMs, backoffMs * 2 ** (this.faults.length - 1));
    }
    const call = this.inFlight;
    this.inFlight = undefined;
    if (call) {
      clearTimeout(call.timer);
      this.settle(call, first);
    }
    this.rejectQueued(this.failure ? () => this.failure : others);
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
    this.settle(call, new AbortError(call.signal?.reason));
  }

  private rejectPending(error: () => unknown): void {
    const call = this.inFlight;
    this.inFlight = undefined;
    if (call) {
      clearTimeout(call.timer);
      this.settle(call, error());
    }
    this.rejectQueued(error);
  }

  private rejectQueued(error: () => unknown): void {
    for (const call of this.queue.splice(0)) this.settle(call, error());
  }

  private settle(call: Call, error: unknown, value?: unknown): void {
    if (call.settled) return;
    call.settled = true;
    if (call.onAbort) call.signal?.removeEventListener('abort', call.onAbort);
    if (error !== undefined) call.reject(error);
    else call.resolve(value);
  }
}

function excerpt(line: string): string {
  return line.length > 120 ? `${line.slice(0, 117)}...` : line;
}
