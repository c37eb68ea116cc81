#!/usr/bin/env node
// A stand-in for the helper that breaks the protocol in one chosen way, for the client's
// fault tests. STAND_IN_MODE picks the fault; STAND_IN_LOG, when set, names a file to which
// every start appends "start PID" (and "SIGTERM PID" when that signal arrives), so a test can
// count the processes the client started. STAND_IN_FAULTY_STARTS (default: all) limits the
// fault to the first N starts; later starts answer correctly. STAND_IN_GOOD_ANSWERS (default 0)
// answers that many requests of every start correctly before the fault, so that a test knows
// the stand-in is up (its signal handlers in place) before it misbehaves. STAND_IN_REQUESTS,
// when set, names a file to which every request line is appended as received.
// STAND_IN_DELAY_MS: how long mode "slow" waits before each answer (default 300).
import { appendFileSync, closeSync, readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

const mode = process.env.STAND_IN_MODE ?? 'answer';
const log = process.env.STAND_IN_LOG;

function note(what) {
  if (log) appendFileSync(log, `${what} ${process.pid}\n`);
}

if (mode === 'ignore-term' || mode === 'stubborn') {
  // Deaf to SIGTERM and to the end of its input: only SIGKILL ends it.
  process.on('SIGTERM', () => note('SIGTERM'));
  setInterval(() => {}, 1000);
} else {
  process.on('SIGTERM', () => {
    note('SIGTERM');
    process.exit(143);
  });
}

// A test process killed at its time limit cannot end the stand-ins it started, and some
// modes outlive the end of their input: each one goes when its parent has gone.
const parent = process.ppid;
setInterval(() => {
  if (process.ppid !== parent) process.exit(0);
}, 500).unref();

// Noted once the signal handlers are in place.
note('start');
const starts = log ? readFileSync(log, 'utf8').split('\n').filter((l) => l.startsWith('start ')).length : 1;
const faulty = starts <= Number(process.env.STAND_IN_FAULTY_STARTS ?? Infinity);

function answerTo(request) {
  const base = { requestId: request.requestId };
  switch (request.action) {
    case 'status':
      return { ok: true, trusted: true, ...base };
    case 'capture':
      return { ok: true, token: '0F0F0F0F-1111-4222-8333-444455556666', ...base };
    case 'insert':
      return { ok: true, ...base };
    default:
      return { ok: true, ...base };
  }
}

const out = (text) => process.stdout.write(text);
let goodAnswers = Number(process.env.STAND_IN_GOOD_ANSWERS ?? 0);

createInterface({ input: process.stdin }).on('line', (line) => {
  if (process.env.STAND_IN_REQUESTS) appendFileSync(process.env.STAND_IN_REQUESTS, `${line}\n`);
  const request = JSON.parse(line);
  const good = JSON.stringify(answerTo(request));
  if (!faulty || goodAnswers-- > 0) return out(`${good}\n`);
  switch (mode) {
    case 'answer':
    case 'stubborn':
      return out(`${good}\n`);
    case 'slow':
      setTimeout(() => out(`${good}\n`), Number(process.env.STAND_IN_DELAY_MS ?? 300));
      return;
    case 'close-stdin':
      // Stops reading requests but keeps running; the answer comes once its input is closed.
      // Node leaves descriptor 0 open when the stream ends, so it is closed by hand.
      setInterval(() => {}, 1000);
      process.stdin.once('close', () => {
        closeSync(0);
        out(`${good}\n`);
      });
      process.stdin.destroy();
      return;
    case 'malformed':
      return out('{"ok":true,"trusted":\n');
    case 'not-object':
      return out('[1,2,3]\n');
    case 'wrong-id':
      return out(`${JSON.stringify({ ...answerTo(request), requestId: request.requestId + 1 })}\n`);
    case 'no-id':
      return out('{"ok":false,"reason":"invalid-command"}\n');
    case 'split': {
      const half = Math.floor(good.length / 2);
      out(good.slice(0, half));
      setTimeout(() => out(`${good.slice(half)}\n`), 50);
      return;
    }
    case 'split-utf8': {
      // An answer whose requestId echo holds a multi-byte character, cut inside it.
      const bytes = Buffer.from(`${good.slice(0, -1)},"note":"\u00e9\u20ac\u{1F600}"}\n`);
      const cut = bytes.indexOf(0xe2) + 1;
      out(bytes.subarray(0, cut));
      setTimeout(() => out(bytes.subarray(cut)), 50);
      return;
    }
    case 'huge-line':
      // 10 MB on one line; then the stand-in keeps running, so only the bound on a line's
      // length can end the wait.
      out(`${'x'.repeat(10 * 1024 * 1024)}\n`);
      setInterval(() => {}, 1000);
      return;
    case 'bad-reason':
      return out(`${JSON.stringify({ ok: false, reason: 'out-of-cheese', requestId: request.requestId })}\n`);
    case 'crash':
      // What a crashing helper says on its standard error, the last line without a line break.
      process.stderr.write('stand-in: giving up\nlast words \u00e9', () => process.exit(3));
      return;
    case 'silent':
    case 'ignore-term':
      return;
    default:
      throw new Error(`unknown STAND_IN_MODE ${mode}`);
  }
});
