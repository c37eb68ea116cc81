// Transport faults. Every answer of the helper, refusals included, is a typed value; these
// errors are for what prevented an answer: no helper, a helper that did not start, did not
// answer in time, ended, or wrote something that is not the protocol.

/** The base of every error this client rejects with. */
export class CaretsafeError extends Error {
  override name = 'CaretsafeError';
}

const kShippingHint =
  'An executable cannot be started from inside app.asar: ship it outside the archive ' +
  '(electron-builder "extraFiles" to Contents/MacOS, "extraResources", or "asarUnpack"), ' +
  'and pass its path as binaryPath or set CARETSAFE_HELPER.';

/** No executable was found where it was looked for. */
export class HelperNotFoundError extends CaretsafeError {
  override name = 'HelperNotFoundError';
  /** Every path that was tried, in order, each with why it did not do. */
  readonly tried: readonly string[];

  constructor(tried: readonly string[], what = 'caretsafe helper', hint = kShippingHint) {
    super(`${what} not found; tried: ${tried.length ? tried.join(', ') : 'nothing'}. ${hint}`);
    this.tried = tried;
  }
}

/** The operating system refused to start the executable (permissions, resources). */
export class SpawnError extends CaretsafeError {
  override name = 'SpawnError';
  readonly path: string;
  /** The system error code, for example "EACCES". */
  readonly code: string | undefined;

  constructor(path: string, cause: NodeJS.ErrnoException) {
    super(`caretsafe helper ${path} could not be started: ${cause.message}`, { cause });
    this.path = path;
    this.code = cause.code;
  }
}

/** The helper did not answer a request in time; it has been ended. */
export class TimeoutError extends CaretsafeError {
  override name = 'TimeoutError';
  readonly action: string;
  readonly timeoutMs: number;

  constructor(action: string, timeoutMs: number, own: boolean) {
    super(
      own
        ? `caretsafe helper did not answer "${action}" within ${timeoutMs} ms; it has been ended`
        : `caretsafe helper was ended: an earlier request got no answer within ${timeoutMs} ms`,
    );
    this.action = action;
    this.timeoutMs = timeoutMs;
  }
}

/** The helper process ended while requests were waiting for it. */
export class ExitedError extends CaretsafeError {
  override name = 'ExitedError';
  /** The exit status, or null when a signal ended it. */
  readonly exitCode: number | null;
  /** The signal that ended it, for example "SIGKILL", or null. */
  readonly signal: NodeJS.Signals | null;

  constructor(exitCode: number | null, signal: NodeJS.Signals | null) {
    super(
      `caretsafe helper exited ${signal ? `on ${signal}` : `with status ${exitCode}`} while a request was pending`,
    );
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

/**
 * The helper wrote something that is not an answer: a line that is not a JSON object, a line
 * longer than the bound, an answer whose "requestId" is not the awaited one, or one whose
 * members do not fit the action.
 */
export class ProtocolError extends CaretsafeError {
  override name = 'ProtocolError';
}

/** The call's AbortSignal fired before the answer came. */
export class AbortError extends CaretsafeError {
  override name = 'AbortError';

  constructor(reason: unknown) {
    super('caretsafe call aborted', { cause: reason });
  }
}

/** The client was closed. */
export class ClosedError extends CaretsafeError {
  override name = 'ClosedError';

  constructor() {
    super('caretsafe client is closed');
  }
}

/** The helper failed too often in a short time; calls fail at once until close(). */
export class UnavailableError extends CaretsafeError {
  override name = 'UnavailableError';

  constructor(restarts: number, windowMs: number, cause: unknown) {
    super(`caretsafe helper failed ${restarts} times within ${windowMs} ms; not restarting it again`, {
      cause,
    });
  }
}
