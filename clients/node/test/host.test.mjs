// What a host relies on beyond the answers, with the stand-in helper: time limits, being
// available again after a spell of failures, the health events and standard error, errors to
// branch on (and whether an insert may have been sent), a bounded close(), a shared
// AbortSignal, a helper that stops reading, and the capture's allowTyping member.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { getEventListeners } from 'node:events';
import { fileURLToPath } from 'node:url';
import { describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  AbortError,
  Caretsafe,
  ClosedError,
  ExitedError,
  ProtocolError,
  TimeoutError,
  UnavailableError,
} from 'caretsafe';

import { gone, requestsReceived, running, standIn, standInPath, starts, until } from './support.mjs';

const kToken = '0F0F0F0F-1111-4222-8333-444455556666';
const ok = { ok: true, trusted: true };

/** Waits until `Date.now()` has reached `at` (a time an error or event names). */
const reach = (at) => sleep(Math.max(0, at - Date.now()) + 5);

/** The error a call rejects with. */
async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail('the call resolved');
}

describe('time limits: 0 is no limit, a value below 0 is refused', () => {
  it('0 as a call\'s timeoutMs and as a default: slow answers come, five such calls leave the client well', async (t) => {
    const { client, log } = standIn(t, 'slow', { delayMs: 50, timeouts: { statusMs: 0, insertMs: 0 } });
    for (let i = 0; i < 5; i++) assert.deepEqual(await client.capture({ timeoutMs: 0 }), { ok: true, token: kToken });
    assert.deepEqual(await client.status(), ok);
    assert.deepEqual(await client.insert(kToken, 'text'), { ok: true, delivery: 'verified' });
    assert.equal(starts(log).length, 1);
  });

  it('a negative, NaN or non-numeric limit throws or rejects as Node does; nothing is sent', async (t) => {
    const { client, log, requests } = standIn(t, 'answer');
    const refused = [
      ['call timeoutMs -1', () => client.status({ timeoutMs: -1 }), RangeError, 'ERR_OUT_OF_RANGE'],
      ['call timeoutMs NaN', () => client.capture({ timeoutMs: NaN }), RangeError, 'ERR_OUT_OF_RANGE'],
      ['call timeoutMs "100"', () => client.insert(kToken, 'x', { timeoutMs: '100' }), TypeError, 'ERR_INVALID_ARG_TYPE'],
      ['waitForTrust pollMs -5', () => client.waitForTrust({ pollMs: -5 }), RangeError, 'ERR_OUT_OF_RANGE'],
      ['close timeoutMs -1', () => client.close({ timeoutMs: -1 }), RangeError, 'ERR_OUT_OF_RANGE'],
    ];
    for (const [what, call, type, code] of refused) {
      const error = await rejection(call());
      assert.ok(error instanceof type, what);
      assert.equal(error.code, code, what);
    }
    const thrown = [
      ['timeouts.captureMs -5', { timeouts: { captureMs: -5 } }, RangeError],
      ['timeouts.terminateGraceMs NaN', { timeouts: { terminateGraceMs: NaN } }, RangeError],
      ['timeouts.insertPerUnitMs null', { timeouts: { insertPerUnitMs: null } }, TypeError],
    ];
    for (const [what, options, type] of thrown) assert.throws(() => new Caretsafe(options), type, what);
    assert.deepEqual(starts(log), []);
    assert.deepEqual(requestsReceived(requests), []);
  });
});

describe('unavailable, then available again', () => {
  const policy = { maxRestarts: 0, windowMs: 200, backoffMs: 1 };

  it('once the window has passed, one call starts a helper on trial; an answer ends the spell', async (t) => {
    const { client, log } = standIn(t, 'crash', { faultyStarts: 1, restart: policy });
    await assert.rejects(client.status(), ExitedError);
    const error = await rejection(client.capture());
    assert.ok(error instanceof UnavailableError);
    assert.equal(error.code, 'CARETSAFE_UNAVAILABLE');
    assert.ok(error.cause instanceof ExitedError);
    assert.equal(starts(log).length, 1, 'no start while unavailable');
    await reach(error.retryAt);
    assert.deepEqual(await client.status(), ok);
    assert.deepEqual(await client.status(), ok);
    assert.equal(starts(log).length, 2);
  });

  it('a trial start that fails makes the client unavailable again at once', async (t) => {
    const { client, log } = standIn(t, 'crash', { faultyStarts: 2, restart: policy });
    await assert.rejects(client.status(), ExitedError);
    await reach((await rejection(client.status())).retryAt);
    await assert.rejects(client.status(), ExitedError);
    const again = await rejection(client.status());
    assert.ok(again instanceof UnavailableError);
    assert.match(again.message, /trial/);
    assert.equal(starts(log).length, 2);
  });

  it('reset() makes it available at once', async (t) => {
    const { client, log } = standIn(t, 'crash', { faultyStarts: 1, restart: { ...policy, windowMs: 600_000 } });
    await assert.rejects(client.status(), ExitedError);
    await assert.rejects(client.status(), UnavailableError);
    client.reset();
    assert.deepEqual(await client.status(), ok);
    assert.equal(starts(log).length, 2);
  });
});

describe('health the host can see', () => {
  const pick = (event) => {
    const { cause, ...rest } = event;
    if (cause !== undefined) rest.cause = cause.code;
    if (rest.retryAt !== undefined) rest.retryAt = typeof rest.retryAt;
    return rest;
  };

  it('onEvent: start, a crash while a call waits, the restart, the fresh helper, its expected exit', async (t) => {
    const events = [];
    const { client, log } = standIn(t, 'crash', { faultyStarts: 1, onEvent: (event) => events.push(event) });
    await assert.rejects(client.status(), ExitedError);
    assert.deepEqual(await client.status(), ok);
    await client.close();
    await until(() => events.length >= 5);
    const [[, first], [, second]] = starts(log);
    assert.deepEqual(events.map(pick), [
      { type: 'start', pid: first },
      { type: 'exit', pid: first, code: 3, signal: null, expected: false },
      { type: 'restart', cause: 'CARETSAFE_EXITED', failures: 1, delayMs: 1 },
      { type: 'start', pid: second },
      { type: 'exit', pid: second, code: 0, signal: null, expected: true },
    ]);
  });

  it('onEvent: a crash while idle is told, and so is the unavailability it brings', async (t) => {
    const events = [];
    const { client } = standIn(t, 'answer', {
      restart: { maxRestarts: 0, windowMs: 600_000 },
      onEvent: (event) => events.push(event),
    });
    await client.status();
    const pid = client.pid;
    process.kill(pid, 'SIGKILL');
    await until(() => events.length >= 3);
    assert.deepEqual(events.map(pick), [
      { type: 'start', pid },
      { type: 'exit', pid, code: null, signal: 'SIGKILL', expected: false },
      { type: 'unavailable', cause: 'CARETSAFE_EXITED', failures: 1, retryAt: 'number' },
    ]);
    const error = await rejection(client.status());
    assert.ok(error instanceof UnavailableError);
    assert.equal(error.retryAt, events[2].retryAt);
  });

  it('stderr as a callback: every line, the last one without a line break too', async (t) => {
    const lines = [];
    const { client, log } = standIn(t, 'crash', { stderr: (line, pid) => lines.push([line, pid]) });
    await assert.rejects(client.status(), ExitedError);
    await until(() => lines.length >= 2);
    const [[, pid]] = starts(log);
    assert.deepEqual(lines, [
      ['stand-in: giving up', pid],
      ['last words \u00e9', pid],
    ]);
  });

  it('stderr "inherit" shows the helper\'s standard error as the host\'s own; by default it is dropped', async () => {
    const host = `
      import { Caretsafe } from 'caretsafe';
      const options = JSON.parse(process.env.HOST_OPTIONS);
      const client = new Caretsafe({ binaryPath: process.env.STAND_IN, ...options });
      await client.status().catch(() => {});
      await client.close();
    `;
    for (const [options, shown] of [
      [{ stderr: 'inherit' }, true],
      [{}, false],
    ]) {
      const child = spawn(process.execPath, ['--input-type=module', '-e', host], {
        cwd: fileURLToPath(new URL('..', import.meta.url)),
        env: { ...process.env, STAND_IN: standInPath, STAND_IN_MODE: 'crash', HOST_OPTIONS: JSON.stringify(options) },
        stdio: ['ignore', 'ignore', 'pipe'],
      });
      let text = '';
      child.stderr.on('data', (chunk) => (text += chunk));
      const code = await new Promise((resolve) => child.on('close', resolve));
      assert.equal(code, 0, text);
      assert.equal(text.includes('stand-in: giving up'), shown, JSON.stringify(options));
    }
  });
});

describe('errors: a code to branch on, and whether the request was sent', () => {
  // For each fault: the call in flight (its request was written) and one queued behind it.
  const rows = [
    { name: 'timeout', mode: 'silent', type: TimeoutError, code: 'CARETSAFE_TIMEOUT', options: { timeoutMs: 300 } },
    { name: 'exit', mode: 'crash', type: ExitedError, code: 'CARETSAFE_EXITED' },
    { name: 'protocol fault', mode: 'malformed', type: ProtocolError, code: 'CARETSAFE_PROTOCOL' },
    { name: 'abort', mode: 'silent', type: AbortError, code: 'ABORT_ERR', abort: true },
    // A helper that stays after its input ends, so that only the limit can end the wait.
    { name: 'close with a limit', mode: 'ignore-term', type: ClosedError, code: 'CARETSAFE_CLOSED', close: true },
  ];
  for (const row of rows) {
    it(row.name, async (t) => {
      const { client } = standIn(t, row.mode);
      const controller = new AbortController();
      const options = { ...row.options, signal: controller.signal };
      const inFlight = rejection(client.insert(kToken, 'sent', options));
      const queued = rejection(client.insert(kToken, 'never sent', options));
      if (row.abort) controller.abort();
      if (row.close) await client.close({ timeoutMs: 100 });
      for (const [error, sent] of [
        [await inFlight, true],
        [await queued, false],
      ]) {
        assert.ok(error instanceof row.type, `${error}`);
        assert.equal(error.code, row.code);
        assert.equal(error.sent, sent);
      }
    });
  }
});

describe('close', () => {
  it('close({ timeoutMs }) does not wait out an insert in flight: the insert rejects (sent), the helper is ended', async (t) => {
    const { client, log } = standIn(t, 'ignore-term', { goodAnswers: 1, timeouts: { terminateGraceMs: 50 } });
    await client.status();
    const insert = rejection(client.insert(kToken, 'text', { timeoutMs: 600_000 }));
    const exit = await client.close({ timeoutMs: 100 });
    const error = await insert;
    assert.ok(error instanceof ClosedError);
    assert.equal(error.sent, true);
    assert.deepEqual(exit, { code: null, signal: 'SIGKILL' });
    const [[, pid]] = starts(log);
    assert.ok(!running(pid), 'no process left once close() resolves');
  });

  it('Symbol.asyncDispose closes the client', async (t) => {
    const { client, log } = standIn(t, 'answer');
    await client.status();
    await client[Symbol.asyncDispose]();
    const [[, pid]] = starts(log);
    assert.ok(!running(pid));
    await assert.rejects(client.status(), ClosedError);
  });
});

describe('small faults', () => {
  it('one AbortSignal shared by many calls: one listener, gone with the last call, no warning', async (t) => {
    const warnings = [];
    const onWarning = (warning) => warnings.push(warning.name);
    process.on('warning', onWarning);
    t.after(() => process.off('warning', onWarning));
    const { client } = standIn(t, 'answer');
    const controller = new AbortController();
    const calls = Array.from({ length: 20 }, () => client.status({ signal: controller.signal }));
    assert.equal(getEventListeners(controller.signal, 'abort').length, 1);
    await Promise.all(calls);
    assert.equal(getEventListeners(controller.signal, 'abort').length, 0);

    // Aborting still reaches every call that shares the signal.
    const { client: hung } = standIn(t, 'silent');
    const stop = new AbortController();
    const waiting = Array.from({ length: 20 }, () => rejection(hung.status({ signal: stop.signal })));
    stop.abort();
    for (const error of await Promise.all(waiting)) assert.ok(error instanceof AbortError);
    assert.equal(getEventListeners(stop.signal, 'abort').length, 0);
    await new Promise((resolve) => setImmediate(resolve));
    assert.deepEqual(warnings, []);
  });

  it('a helper that stops reading its input but stays alive: the next call fails at once, unsent', async (t) => {
    const { client, log } = standIn(t, 'close-stdin', { faultyStarts: 1 });
    assert.deepEqual(await client.status(), ok);
    // Far longer than the test may run: only the failed write can end the call.
    const error = await rejection(client.insert(kToken, 'x', { timeoutMs: 600_000 }));
    assert.ok(error instanceof ProtocolError, `${error}`);
    assert.equal(error.sent, false);
    assert.match(error.message, /stopped reading/);
    const [[, pid]] = starts(log);
    assert.ok(await gone(pid));
    assert.deepEqual(await client.status(), ok);
  });
});

it('capture sends "allowTyping": true when asked for it, and nothing more otherwise', async (t) => {
  const { client, requests } = standIn(t, 'answer');
  for (const options of [undefined, {}, { allowTyping: false }, { allowTyping: true }, { allowTyping: 'yes' }]) {
    assert.deepEqual(await client.capture(options), { ok: true, token: kToken });
  }
  assert.deepEqual(requestsReceived(requests), [
    { action: 'capture', requestId: 1 },
    { action: 'capture', requestId: 2 },
    { action: 'capture', requestId: 3 },
    { action: 'capture', allowTyping: true, requestId: 4 },
    { action: 'capture', requestId: 5 },
  ]);
});
