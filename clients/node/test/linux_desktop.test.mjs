// The client with the real caretsafe on a real Linux desktop (tests/linux/desktop_service.py):
// when the accessibility bus goes away and a new one comes, the helper starts itself afresh
// and the host's client answers on, trusted again, without a restart of its own. Skipped where
// there is no caretsafe binary or no test desktop (not Linux, no Xvfb).
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { describe, it } from 'node:test';
import { createInterface } from 'node:readline';

import { Caretsafe } from 'caretsafe';

import { closedAfter, until } from './support.mjs';

const binary = process.env.CARETSAFE_BIN || fileURLToPath(new URL('../../../build/caretsafe', import.meta.url));
const service = fileURLToPath(new URL('../../../tests/linux/desktop_service.py', import.meta.url));
const python = '/usr/bin/python3';
const skip =
  process.platform !== 'linux' || !existsSync(binary) || !existsSync(python) || !existsSync('/usr/bin/Xvfb')
    ? 'needs Linux, build/caretsafe (or CARETSAFE_BIN) and the test desktop\'s packages'
    : false;

/** The desktop service: its lines, one at a time, and a way to send commands. */
function startDesktop(t) {
  const child = spawn(python, [service], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  t.after(async () => {
    child.stdin.end();
    await new Promise((resolve) => (child.exitCode !== null ? resolve() : child.once('exit', resolve)));
  });
  return {
    async next() {
      const { value, done } = await lines.next();
      assert.ok(!done, 'the desktop service ended');
      return JSON.parse(value);
    },
    send(obj) {
      child.stdin.write(JSON.stringify(obj) + '\n');
    },
  };
}

describe('the real helper on a Linux desktop', { skip }, () => {
  it('the accessibility bus goes away and comes back: the same client is trusted again, the helper never seen to exit', async (t) => {
    const desktop = startDesktop(t);
    const { env } = await desktop.next();
    const events = [];
    const client = closedAfter(t, new Caretsafe({ binaryPath: binary, env, onEvent: (e) => events.push(e) }));
    assert.deepEqual(await client.status(), { ok: true, trusted: true });

    desktop.send({ cmd: 'restart-bus' });
    assert.deepEqual(await desktop.next(), { gone: true });
    assert.deepEqual(await client.status(), { ok: true, trusted: false });
    await desktop.next(); // the new bus is up, its address on the root window

    await until(async () => (await client.status()).trusted, 20_000);
    desktop.send({ cmd: 'app', script: 'gtk3_app.py' });
    const { pid } = await desktop.next();
    desktop.send({ cmd: 'focus', pid, widget: 'entry' });
    await desktop.next();
    desktop.send({ cmd: 'set', pid, widget: 'entry', text: 'again', caret: 5 });
    await desktop.next();
    const captured = await client.capture();
    assert.equal(captured.ok, true, JSON.stringify(captured));
    assert.deepEqual(await client.insert(captured.token, '!'), { ok: true, delivery: 'verified' });
    desktop.send({ cmd: 'state', pid, widget: 'entry' });
    assert.equal((await desktop.next()).text, 'again!');
    assert.deepEqual(events.filter((e) => e.type === 'exit' || e.type === 'restart'), []);
  });
});
