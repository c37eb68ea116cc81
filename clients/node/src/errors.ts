// Transport faults. Every answer of the helper, refusals included, is a typed value; these
// errors are for what prevented an answer: no helper, a helper that did not start, did not
// answer in time, ended, or wrote something that is not the protocol.
//
// Every error has a `code` to branch on, and `sent`: whether the request of the call that
// rejected had been written to the helper. For an insert, `sent: true` means its text may have
// been delivered (the helper may have finished it after the client stopped waiting), so such
// an insert must never be retried; `sent: false` means it certainly never reached the helper.

export interface CaretsafeErrorOptions extends ErrorOptions {
  /** Whether the call's request had been written to the helper. Default false. */
  sent?: boolean;
}

/** The base of every error this client rejects with. */
export class CaretsafeError extends Error {
  override name = 'CaretsafeError';
  /** What went wrong, to branch on: "CARETSAFE_TIMEOUT", "ABORT_ERR", … (see each class). */
  readonly code: string;
  /**
   * Whether the request had been written to the helper before the call rejected. An insert
   * with `sent: true` may have been delivered: capture again and look before inserting again.
   */
  readonly sent: boolean;

  constructor(message: string, code: string, options: CaretsafeErrorOptions = {}) {
    const { sent, ...errorOptions } = options;
    super(message, errorOptions);
    this.code = code;
    this.sent = sent ?? false;
  }
}

const kShippingHint =
  'An executable cannot be started from inside app.asar: ship it outside the archive ' +
  '(electron-builder "extraFiles" beside the app\'s executable, "extraResources", or "asarUnpack"), ' +
  'and pass its path as binaryPath or set CARETSAFE_HELPER.';

/** No executable was found where it was looked for. Code "CARETSAFE_HELPER_NOT_FOUND". */
export class HelperNotFoundError extends CaretsafeError {
  override name = 'HelperNotFoundError';
  /** Every path that was tried, in order, each with why it did not do. */
  readonly tried: readonly string[];

  constructor(tried: readonly string[], what = 'caretsafe helper', hint = kShippingHint) {
    super(
      `${what} not found; tried: ${tried.length ? tried.join(', ') : 'nothing'}. ${hint}`,
      'CARETSAFE_HELPER_NOT_FOUND',
    );
    this.tried = tried;
  }
}

/**
 * The operating system refused to start the executable (permissions, resources). Its code is
 * the system's, for example "EACCES", as for any failed system call in Node; "CARETSAFE_SPAWN"
 * when the system gave none.
 */
export class SpawnError extends CaretsafeError {
  override name = 'SpawnError';
  readonly path: string;

  constructor(path: string, cause: NodeJS.ErrnoException) {
    super(`caretsafe helper ${path} could not be started: ${cause.message}`, cause.code ?? 'CARETSAFE_SPAWN', {
      cause,
    });
    this.path = path;
  }
}

/** The helper did not answer a request in time; it has been ended. Code "CARETSAFE_TIMEOUT". */
export class TimeoutError extends CaretsafeError {
  override name = 'TimeoutError';
  readonly action: string;
  readonly timeoutMs: number;

  /** `own`: this call's request is the one that got no answer (it had been sent). */
  constructor(action: string, timeoutMs: number, own: boolean) {
    super(
      own
        ? `caretsafe helper did not answer "${action}" within ${timeoutMs} ms; it has been ended`
        : `caretsafe helper was ended: an earlier request got no answer within ${timeoutMs} ms`,
      'CARETSAFE_TIMEOUT',
      { sent: own },
    );
    this.action = action;
    this.timeoutMs = timeoutMs;
  }
}

/** The helper process ended while requests were waiting for it. Code "CARETSAFE_EXITED". */
export class ExitedError extends CaretsafeError {
  override name = 'ExitedError';
  /** The exit status, or null when a signal ended it (or the process had not been seen to end). */
  readonly exitCode: number | null;
  /** The signal that ended it, for example "SIGKILL", or null. */
  readonly signal: NodeJS.Signals | null;

  constructor(exitCode: number | null, signal: NodeJS.Signals | null, sent = false) {
    super(
      `caretsafe helper exited ${signal ? `on ${signal}` : `with status ${exitCode}`} while a request was pending`,
      'CARETSAFE_EXITED',
      { sent },
    );
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

/**
 * The helper wrote something that is not an answer (a line that is not a JSON object, a line
 * longer than the bound, an answer whose "requestId" is not the awaited one, or one whose
 * members do not fit the action), or it stopped reading requests while it kept running.
 * Code "CARETSAFE_PROTOCOL".
 */
export class ProtocolError extends CaretsafeError {
  override name = 'ProtocolError';

  constructor(message: string, options: CaretsafeErrorOptions = {}) {
    super(message, 'CARETSAFE_PROTOCOL', options);
  }
}

/** The call's AbortSignal fired before the answer came. Code "ABORT_ERR", as Node's own. */
export class AbortError extends CaretsafeError {
  override name = 'AbortError';

  constructor(reason: unknown, sent = false) {
    super('caretsafe call aborted', 'ABORT_ERR', { cause: reason, sent });
  }
}

/** The client was closed. Code "CARETSAFE_CLOSED". */
export class ClosedError extends CaretsafeError {
  override name = 'ClosedError';

  constructor(sent = false) {
    super(
      sent
        ? 'caretsafe client was closed before the helper answered; the request had been sent'
        : 'caretsafe client is closed',
      'CARETSAFE_CLOSED',
      { sent },
    );
  }
}

/**
 * The helper failed too often in a short time; calls fail at once until `retryAt`, when one
 * call may start a helper again on trial (or until `reset()`). Code "CARETSAFE_UNAVAILABLE".
 */
export class UnavailableError extends CaretsafeError {
  override name = 'UnavailableError';
  /** Failures counted: within the window, or since the trial start that failed. */
  readonly failures: number;
  /** When (milliseconds since the epoch, as `Date.now()`) a call may try a helper again. */
  readonly retryAt: number;

  /** `what`: how it failed, for the message ("failed 4 times within 60000 ms"). */
  constructor(what: string, failures: number, retryAt: number, cause: unknown) {
    super(
      `caretsafe helper ${what}; not restarting it before ${new Date(retryAt).toISOString()}`,
      'CARETSAFE_UNAVAILABLE',
      { cause },
    );
    this.failures = failures;
    this.retryAt = retryAt;
  }
}
