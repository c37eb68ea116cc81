// The helper's line protocol as typed values: what each action answers, and the check that
// turns one decoded response line into one of those values or says why it cannot.

/** Every reason code the helper writes. */
export const reasonCodes = Object.freeze([
  'invalid-command',
  'permission-required',
  'unsupported-field',
  'no-target',
  'expired',
  'invalid-text',
  'target-changed',
  'modifier-held',
  'write-unconfirmed',
] as const);

export type ReasonCode = (typeof reasonCodes)[number];

const kCaptureReasons = ['permission-required', 'unsupported-field'] as const satisfies readonly ReasonCode[];

const kInsertReasons = [
  'permission-required',
  'no-target',
  'expired',
  'invalid-text',
  'target-changed',
  'modifier-held',
  'write-unconfirmed',
] as const satisfies readonly ReasonCode[];

/** The refusals a capture can answer. */
export type CaptureReason = (typeof kCaptureReasons)[number];

/** The refusals an insert can answer. */
export type InsertReason = (typeof kInsertReasons)[number];

const kAllowedReasons: Partial<Record<Action, ReadonlySet<string>>> = {
  capture: new Set(kCaptureReasons),
  insert: new Set(kInsertReasons),
};

/** A refusal: nothing was captured or written. */
export interface Refusal<R extends ReasonCode = ReasonCode> {
  ok: false;
  reason: R;
}

/** "status": whether the accessibility permission is granted to the host application. */
export interface StatusResult {
  ok: true;
  trusted: boolean;
}

/** "clear": the held capture, if any, is dropped. */
export interface ClearResult {
  ok: true;
}

/** A successful capture: the one-shot token for the next insert. */
export interface Captured {
  ok: true;
  token: string;
}

/**
 * How an insert reached the field. "verified": written through the accessibility interface
 * and confirmed by reading the field back. "sent-unverified": typed into a terminal as key
 * events; nothing can be read back there.
 */
export type Delivery = 'verified' | 'sent-unverified';

/** A successful insert. */
export interface Inserted {
  ok: true;
  delivery: Delivery;
}

export type CaptureResult = Captured | Refusal<CaptureReason>;
export type InsertResult = Inserted | Refusal<InsertReason>;

export type Action = 'status' | 'clear' | 'capture' | 'insert';

/** The typed value of each action's answer. */
export interface ResultOf {
  status: StatusResult;
  clear: ClearResult;
  capture: CaptureResult;
  insert: InsertResult;
}

const kTokenPattern = /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/;

/**
 * The typed value of a decoded answer to `action`, or a string saying which part of it does
 * not belong to the protocol. The "requestId" has been checked by the caller.
 */
export function resultOf<A extends Action>(
  action: A,
  answer: Record<string, unknown>,
): ResultOf[A] | string {
  const { ok } = answer;
  if (ok === false) {
    const { reason } = answer;
    if (typeof reason === 'string' && kAllowedReasons[action]?.has(reason)) {
      return { ok: false, reason } as ResultOf[A];
    }
    return `a "${action}" answer refused with ${describe(reason)}`;
  }
  if (ok !== true) return `"ok" is ${describe(ok)}`;
  switch (action) {
    case 'status':
      if (typeof answer.trusted !== 'boolean') return `"trusted" is ${describe(answer.trusted)}`;
      return { ok: true, trusted: answer.trusted } as ResultOf[A];
    case 'clear':
      return { ok: true } as ResultOf[A];
    case 'capture':
      if (typeof answer.token !== 'string' || !kTokenPattern.test(answer.token)) {
        return `"token" is ${describe(answer.token)}`;
      }
      return { ok: true, token: answer.token } as ResultOf[A];
    case 'insert':
      if (answer.delivery === undefined) return { ok: true, delivery: 'verified' } as ResultOf[A];
      if (answer.delivery === 'sent-unverified') {
        return { ok: true, delivery: 'sent-unverified' } as ResultOf[A];
      }
      return `"delivery" is ${describe(answer.delivery)}`;
  }
  return `an answer to the unknown action ${describe(action)}`;
}

/** A short, printable account of a JSON value for error messages. */
export function describe(value: unknown): string {
  if (value === undefined) return 'missing';
  const text = JSON.stringify(value);
  return text.length > 80 ? `${text.slice(0, 77)}...` : text;
}

/**
 * Whether `text` is well-formed UTF-16: no lone surrogate. The helper reads a lone surrogate
 * as U+FFFD, so such a text would be inserted with a character replaced.
 */
export function isWellFormed(text: string): boolean {
  return !/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.test(text);
}
