// The client against the real caretsafe-sim, driven through the test kit.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { describe, it } from 'node:test';

import { AbortError, Caretsafe, ClosedError, ExitedError, TimeoutError } from 'caretsafe';
import { fieldDesktop, kShift, startSim, terminalDesktop, typedText } from 'caretsafe/testing';

import { closedAfter, gone, running, simBinary, standInPath, until } from './support.mjs';

const fast = { restart: { backoffMs: 1 } };

async function withSim(desktop, body, options = {}) {
  const sim = await startSim({ desktop, simPath: simBinary, ...fast, ...options });
  try {
    await body(sim, sim.client);
  } finally {
    // Bounded, so that a fault in the client fails this test instead of holding the run.
    await sim.close({ timeoutMs: 5000 });
  }
}

/** A field desktop whose application never answers: a capture waits out the 0.6 s messaging timeout. */
const hungDesktop = () => fieldDesktop({ value: 'x', hang: true });

const ops = (journal, op) => journal.filter((entry) => entry.op === op);

describe('capture and insert', () => {
  it('inserts into an ordinary field, confirmed by read-back, once per capture', async () => {
    await withSim(fieldDesktop({ value: 'Dear Sam, ' }), async (sim, client) => {
      assert.deepEqual(await client.status(), { ok: true, trusted: true });
      const captured = await client.capture();
      assert.equal(captured.ok, true);
      assert.match(captured.token, /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/);
      assert.deepEqual(await client.insert(captured.token, 'thanks — ☃ 😀'), { ok: true, delivery: 'verified' });
      assert.deepEqual(await client.insert(captured.token, 'again'), { ok: false, reason: 'no-target' });
      const writes = ops(await sim.journal(), 'setAttributeValue');
      assert.equal(writes.length, 1);
      assert.equal(writes[0].value, 'thanks — ☃ 😀');
      assert.equal(writes[0].fieldValue, 'Dear Sam, thanks — ☃ 😀');
    });
  });

  it('types into a terminal as key events: "sent-unverified", no line break reaches it', async () => {
    await withSim(terminalDesktop(), async (sim, client) => {
      const captured = await client.capture();
      assert.equal(captured.ok, true);
      assert.deepEqual(await client.insert(captured.token, '  echo hi\necho bye\r\n'), {
        ok: true,
        delivery: 'sent-unverified',
      });
      const journal = await sim.journal();
      assert.equal(typedText(journal, 601), 'echo hi echo bye');
      assert.equal(ops(journal, 'setAttributeValue').length, 0);
    });
  });
});

describe('refusals are typed values', () => {
  const field = () => fieldDesktop({ value: 'Hello' });
  const rows = [
    { name: 'no permission: capture', desktop: fieldDesktop({ trusted: false }), expect: 'permission-required', at: 'capture' },
    {
      name: 'no frontmost application',
      desktop: { ...field(), frontmost: null },
      expect: 'unsupported-field',
      at: 'capture',
    },
    { name: 'a secure field', desktop: fieldDesktop({ subrole: 'AXSecureTextField' }), expect: 'unsupported-field', at: 'capture' },
    { name: 'an application that never answers', desktop: hungDesktop(), expect: 'unsupported-field', at: 'capture' },
    { name: 'a token never issued', desktop: field(), token: 'C0FFEE00-0000-4000-8000-000000000000', expect: 'no-target' },
    {
      name: 'a token whose request line would pass the 1,000,000-byte limit',
      desktop: field(),
      token: 'A'.repeat(1_000_001),
      expect: 'no-target',
    },
    {
      name: 'the capture is 600 s old',
      desktop: field(),
      between: () => ({ ...field(), clock: 800_000_600 }),
      expect: 'expired',
    },
    { name: 'an empty text', desktop: field(), text: '', expect: 'invalid-text' },
    { name: 'a text over 60,000 units', desktop: field(), text: 'a'.repeat(60_001), expect: 'invalid-text' },
    {
      name: 'a text whose request line would pass the 1,000,000-byte limit',
      desktop: field(),
      text: '\u0001'.repeat(200_000),
      expect: 'invalid-text',
    },
    { name: 'a text with a lone surrogate', desktop: field(), text: 'ab\uD800cd', expect: 'invalid-text' },
    { name: 'a text with a lone low surrogate', desktop: field(), text: '\uDC00', expect: 'invalid-text' },
    {
      name: 'the value changed since the capture',
      desktop: field(),
      between: () => fieldDesktop({ value: 'Hello!', caret: 5 }),
      expect: 'target-changed',
    },
    { name: 'Shift held over a terminal', desktop: terminalDesktop({ modifiers: kShift }), expect: 'modifier-held' },
    { name: 'a write that does nothing', desktop: fieldDesktop({ value: 'Hello', onWrite: 'ignore' }), expect: 'write-unconfirmed' },
  ];
  for (const row of rows) {
    it(row.name, async () => {
      await withSim(row.desktop, async (sim, client) => {
        const captured = await client.capture();
        if (row.at === 'capture') {
          assert.deepEqual(captured, { ok: false, reason: row.expect });
          return;
        }
        assert.equal(captured.ok, true);
        if (row.between) await sim.setDesktop(row.between());
        const answer = await client.insert(row.token ?? captured.token, row.text ?? 'inserted');
        assert.deepEqual(answer, { ok: false, reason: row.expect });
        // Whatever the refusal, the capture is used up.
        assert.deepEqual(await client.insert(captured.token, 'x'), { ok: false, reason: 'no-target' });
        if (row.expect !== 'write-unconfirmed') {
          assert.equal(ops(await sim.journal(), 'setAttributeValue').length, 0);
        }
      });
    });
  }

  it('status without permission answers trusted false', async () => {
    await withSim(fieldDesktop({ trusted: false }), async (_sim, client) => {
      assert.deepEqual(await client.status(), { ok: true, trusted: false });
    });
  });
});

describe('supervision', () => {
  it('answers ten calls issued at once in order, each with its own answer', async () => {
    await withSim(fieldDesktop({ value: 'Hi' }), async (_sim, client) => {
      const bogus = 'C0FFEE00-0000-4000-8000-000000000000';
      const calls = [
        ['status', () => client.status(), (a) => assert.deepEqual(a, { ok: true, trusted: true })],
        ['capture', () => client.capture(), (a) => assert.equal(a.ok && a.token.length, 36)],
        ['insert', () => client.insert(bogus, 'x'), (a) => assert.deepEqual(a, { ok: false, reason: 'no-target' })],
        ['capture', () => client.capture(), (a) => assert.equal(a.ok && a.token.length, 36)],
        ['clear', () => client.clear(), (a) => assert.deepEqual(a, { ok: true })],
        ['insert', () => client.insert(bogus, 'x'), (a) => assert.deepEqual(a, { ok: false, reason: 'no-target' })],
        ['status', () => client.status(), (a) => assert.deepEqual(a, { ok: true, trusted: true })],
        ['capture', () => client.capture(), (a) => assert.equal(a.ok && a.token.length, 36)],
        ['status', () => client.status(), (a) => assert.deepEqual(a, { ok: true, trusted: true })],
        ['clear', () => client.clear(), (a) => assert.deepEqual(a, { ok: true })],
      ];
      const order = [];
      const answers = await Promise.all(
        calls.map(([, call], i) =>
          call().then((answer) => {
            order.push(i);
            return answer;
          }),
        ),
      );
      assert.deepEqual(order, [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]);
      calls.forEach(([, , check], i) => check(answers[i]));
      const tokens = [answers[1].token, answers[3].token, answers[7].token];
      assert.equal(new Set(tokens).size, 3);
    });
  });

  it('a helper killed mid-request: pending calls reject with the exit, the next call gets a fresh helper', async () => {
    await withSim(fieldDesktop(), async (_sim, client) => {
      await client.status();
      const first = client.pid;
      // Stopped, the helper holds the capture unanswered however loaded the machine is.
      process.kill(first, 'SIGSTOP');
      const capture = client.capture();
      const queued = client.status();
      process.kill(first, 'SIGKILL');
      const killed = (error) => {
        assert.ok(error instanceof ExitedError);
        assert.equal(error.signal, 'SIGKILL');
        assert.equal(error.exitCode, null);
        return true;
      };
      await Promise.all([capture, queued].map((pending) => assert.rejects(pending, killed)));
      assert.ok(await gone(first));
      assert.deepEqual(await client.status(), { ok: true, trusted: true });
      assert.notEqual(client.pid, first);
    });
  });

  it('a stopped helper times out, is ended, and the next call gets a fresh one', async () => {
    await withSim(fieldDesktop(), async (_sim, client) => {
      await client.status();
      const first = client.pid;
      process.kill(first, 'SIGSTOP');
      await assert.rejects(client.status({ timeoutMs: 300 }), (error) => {
        assert.ok(error instanceof TimeoutError);
        assert.equal(error.action, 'status');
        return true;
      });
      assert.ok(await gone(first), 'the stopped helper was ended');
      assert.deepEqual(await client.status(), { ok: true, trusted: true });
      assert.notEqual(client.pid, first);
    });
  });

  it('a token from before a restart answers "no-target" without starting a helper', async () => {
    await withSim(fieldDesktop({ value: 'v' }), async (sim, client) => {
      const captured = await client.capture();
      const first = client.pid;
      process.kill(first, 'SIGKILL');
      assert.ok(await gone(first));
      await until(() => client.pid === undefined);
      await sim.clearJournal();
      assert.deepEqual(await client.insert(captured.token, 'late'), { ok: false, reason: 'no-target' });
      assert.equal(client.pid, undefined);
      assert.deepEqual(await sim.journal(), []);
    });
  });
});

describe('aborting a call', () => {
  it('an already aborted signal rejects without starting the helper', async () => {
    await withSim(fieldDesktop(), async (_sim, client) => {
      const controller = new AbortController();
      controller.abort();
      await assert.rejects(client.status({ signal: controller.signal }), AbortError);
      assert.equal(client.pid, undefined);
    });
  });

  it('an insert aborted while queued is never sent', async () => {
    await withSim(hungDesktop(), async (sim, client) => {
      const controller = new AbortController();
      const capture = client.capture();
      const insert = client.insert('C0FFEE00-0000-4000-8000-000000000000', 'never', { signal: controller.signal });
      controller.abort();
      await assert.rejects(insert, AbortError);
      assert.deepEqual(await capture, { ok: false, reason: 'unsupported-field' });
      await client.status();
      // One permission check for the capture, one for status: the insert never reached the helper.
      assert.equal(ops(await sim.journal(), 'isProcessTrusted').length, 2);
    });
  });

  it('a call aborted in flight rejects at once; its late answer is not taken for the next call', async () => {
    await withSim(fieldDesktop(), async (sim, client) => {
      await client.status();
      const pid = client.pid;
      process.kill(pid, 'SIGSTOP');
      const controller = new AbortController();
      const capture = client.capture({ signal: controller.signal });
      const status = client.status();
      controller.abort(new Error('user cancelled'));
      await assert.rejects(capture, (error) => error instanceof AbortError && error.cause.message === 'user cancelled');
      process.kill(pid, 'SIGCONT');
      // The capture was sent, so the helper still makes it; its answer is read and dropped.
      assert.deepEqual(await status, { ok: true, trusted: true });
      assert.equal(client.pid, pid);
      assert.equal(ops(await sim.journal(), 'copyAttributeValue').length > 0, true);
    });
  });
});

describe('close and permission', () => {
  it('close() ends standard input: the helper exits with 0 and no process is left', async () => {
    const sim = await startSim({ desktop: fieldDesktop(), simPath: simBinary });
    const { client } = sim;
    await client.status();
    const pid = client.pid;
    const inFlight = client.status();
    const exit = await client.close();
    assert.deepEqual(await inFlight, { ok: true, trusted: true });
    assert.deepEqual(exit, { code: 0, signal: null });
    assert.equal(client.pid, undefined);
    assert.ok(!running(pid), 'no process (nor zombie) left once close() resolves');
    await assert.rejects(client.status(), ClosedError);
    assert.equal(await client.close(), exit);
    await sim.close();
  });

  it('waitForTrust resolves once the desktop turns trusted, with a fresh helper for each poll', async () => {
    await withSim(fieldDesktop({ trusted: false }), async (sim, client) => {
      assert.deepEqual(await client.status(), { ok: true, trusted: false });
      const first = client.pid;
      const waiting = client.waitForTrust({ pollMs: 20 });
      await until(async () => ops(await sim.journal(), 'isProcessTrusted').length >= 3);
      await sim.setDesktop(fieldDesktop({ trusted: true }));
      await waiting;
      assert.notEqual(client.pid, first);
      assert.ok(await gone(first));
      assert.equal((await client.capture()).ok, true);
    });
  });

  it('close() ends a waitForTrust between two polls at once: no timer keeps Node running', async () => {
    await withSim(fieldDesktop({ trusted: false }), async (sim, client) => {
      let outcome;
      const waiting = client.waitForTrust({ pollMs: 600_000 });
      waiting.catch((error) => {
        outcome = error;
      });
      await until(async () => ops(await sim.journal(), 'isProcessTrusted').length >= 1);
      await client.close();
      await new Promise((resolve) => setImmediate(resolve));
      assert.ok(outcome instanceof ClosedError, 'waitForTrust has rejected by the time close() resolves');
    });
  });

  it('waitForTrust rejects when its signal fires', async () => {
    await withSim(fieldDesktop({ trusted: false }), async (_sim, client) => {
      const controller = new AbortController();
      const waiting = client.waitForTrust({ pollMs: 20, signal: controller.signal });
      setTimeout(() => controller.abort(), 100);
      await assert.rejects(waiting, AbortError);
    });
  });
});

describe('the test kit for a host\'s own client', () => {
  it('sim.clientOptions() puts a client the host made on the kit\'s desktop', async (t) => {
    await withSim(fieldDesktop({ value: 'Dear Sam, ' }), async (sim) => {
      const client = closedAfter(t, new Caretsafe({ ...sim.clientOptions(), timeouts: { captureMs: 5000 } }));
      const captured = await client.capture();
      assert.equal(captured.ok, true);
      assert.deepEqual(await client.insert(captured.token, 'thanks'), { ok: true, delivery: 'verified' });
      assert.equal(ops(await sim.journal(), 'setAttributeValue')[0].fieldValue, 'Dear Sam, thanks');
    });
  });

  it('extraEnv (and its former name env) is added to the environment the helper gets', async () => {
    for (const option of ['extraEnv', 'env']) {
      // The stand-in in place of caretsafe-sim: the variable makes it crash.
      const sim = await startSim({ simPath: standInPath, [option]: { STAND_IN_MODE: 'crash' } });
      try {
        assert.equal(sim.clientOptions().env.STAND_IN_MODE, 'crash');
        assert.equal(sim.clientOptions().env.PATH, process.env.PATH);
        await assert.rejects(sim.client.status(), ExitedError, option);
      } finally {
        await sim.close();
      }
    }
  });

  it('Symbol.asyncDispose closes the kit\'s clients and removes its folder', async () => {
    const sim = await startSim({ desktop: fieldDesktop(), simPath: simBinary });
    await sim.client.status();
    const pid = sim.client.pid;
    await sim[Symbol.asyncDispose]();
    assert.ok(!running(pid));
    assert.equal(existsSync(sim.dir), false);
    await assert.rejects(sim.client.status(), ClosedError);
  });
});
