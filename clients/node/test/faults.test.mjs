// Transport faults, with a stand-in helper that breaks the protocol on purpose.
import assert from 'node:assert/strict';
import { chmodSync, copyFileSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import * as path from 'node:path';
import { after, describe, it } from 'node:test';

import {
  Caretsafe,
  ExitedError,
  HelperNotFoundError,
  ProtocolError,
  SpawnError,
  TimeoutError,
  UnavailableError,
} from 'caretsafe';

import { closedAfter, gone, standIn, standInLog, standInPath, starts } from './support.mjs';

const scratch = mkdtempSync(path.join(tmpdir(), 'caretsafe-faults-'));
after(() => rmSync(scratch, { recursive: true, force: true }));

describe('protocol faults end the helper; the next call gets a fresh one', () => {
  const rows = [
    { mode: 'malformed', message: /not JSON/ },
    { mode: 'not-object', message: /not a JSON object/ },
    { mode: 'wrong-id', message: /requestId 2 while 1 was awaited/ },
    { mode: 'no-id', message: /requestId missing while 1 was awaited/ },
    { mode: 'huge-line', message: /a line of more than 65536 bytes/ },
  ];
  for (const { mode, message } of rows) {
    it(mode, async (t) => {
      const { client, log } = standIn(t, mode, { faultyStarts: 1 });
      // A long limit: only the fault itself can end the first call in time.
      const first = client.status({ timeoutMs: 60_000 });
      const queued = client.capture();
      await Promise.all(
        [first, queued].map((pending) =>
          assert.rejects(pending, (error) => error instanceof ProtocolError && message.test(error.message)),
        ),
      );
      const [[, firstPid]] = starts(log);
      assert.ok(await gone(firstPid));
      assert.deepEqual(await client.status(), { ok: true, trusted: true });
      assert.equal(starts(log).length, 2);
      await client.close();
    });
  }
});

describe('answers split across writes are put together', () => {
  for (const mode of ['split', 'split-utf8']) {
    it(mode, async (t) => {
      const { client, log } = standIn(t, mode);
      assert.deepEqual(await client.status(), { ok: true, trusted: true });
      // A limit too long for a timer is the longest one, not an immediate timeout.
      assert.deepEqual(await client.status({ timeoutMs: Infinity }), { ok: true, trusted: true });
      assert.equal(starts(log).length, 1);
      await client.close();
    });
  }
});

it('an answer that does not fit its action rejects that call only', async (t) => {
  const { client, log } = standIn(t, 'bad-reason', { faultyStarts: 1 });
  await assert.rejects(client.capture(), (error) => error instanceof ProtocolError && /out-of-cheese/.test(error.message));
  await assert.rejects(client.insert('0F0F0F0F-1111-4222-8333-444455556666', 'x'), ProtocolError);
  assert.equal(starts(log).length, 1);
  await client.close();
});

describe('exits and restarts', () => {
  it('an exit while a call waits rejects it with the exit status', async (t) => {
    const { client } = standIn(t, 'crash', { faultyStarts: 1 });
    await assert.rejects(client.status(), (error) => {
      assert.ok(error instanceof ExitedError);
      assert.equal(error.exitCode, 3);
      assert.equal(error.signal, null);
      return true;
    });
    assert.deepEqual(await client.status(), { ok: true, trusted: true });
    await client.close();
  });

  it('after too many restarts in the window, calls fail fast', async (t) => {
    const { client, log } = standIn(t, 'crash', { restart: { maxRestarts: 2, windowMs: 60_000, backoffMs: 1 } });
    for (let i = 0; i < 3; i++) await assert.rejects(client.status(), ExitedError);
    await assert.rejects(client.status(), (error) => error instanceof UnavailableError && error.cause instanceof ExitedError);
    await assert.rejects(client.capture(), UnavailableError);
    assert.equal(starts(log).length, 3);
    assert.equal(await client.close(), undefined);
  });

  it('a helper that ignores SIGTERM is killed after the grace period', async (t) => {
    const { client, log } = standIn(t, 'ignore-term', { goodAnswers: 1, timeouts: { terminateGraceMs: 500 } });
    // Answered: the stand-in's handler is in place before the next request gets no answer.
    await client.status();
    await assert.rejects(client.status({ timeoutMs: 300 }), TimeoutError);
    const [[, pid]] = starts(log);
    assert.ok(await gone(pid));
    assert.deepEqual(
      standInLog(log).map(([what]) => what),
      ['start', 'SIGTERM'],
    );
  });

  it('close() ends a helper that does not exit when its input ends', async (t) => {
    const { client, log } = standIn(t, 'stubborn', { timeouts: { closeMs: 50, terminateGraceMs: 500 } });
    assert.deepEqual(await client.status(), { ok: true, trusted: true });
    assert.deepEqual(await client.close(), { code: null, signal: 'SIGKILL' });
    const [[, pid]] = starts(log);
    assert.ok(await gone(pid, 0), 'gone once close() resolves');
    assert.deepEqual(
      standInLog(log).map(([what]) => what),
      ['start', 'SIGTERM'],
    );
  });

  it('close() with a request in flight on a hung helper: the request times out, no process is left', async (t) => {
    const { client, log } = standIn(t, 'ignore-term', { goodAnswers: 1, timeouts: { terminateGraceMs: 50 } });
    await client.status();
    const status = assert.rejects(client.status({ timeoutMs: 300 }), TimeoutError);
    const exit = await client.close();
    await status;
    assert.deepEqual(exit, { code: null, signal: 'SIGKILL' });
    const [[, pid]] = starts(log);
    assert.ok(await gone(pid, 0));
  });
});

describe('the executable cannot be started', () => {
  it('a missing binary rejects with HelperNotFoundError saying how to ship it', async (t) => {
    const missing = path.join(scratch, 'no-such-helper');
    const client = closedAfter(t, new Caretsafe({ binaryPath: missing }));
    await assert.rejects(client.status(), (error) => {
      assert.ok(error instanceof HelperNotFoundError);
      assert.deepEqual(error.tried, [`${missing} (missing)`]);
      assert.match(error.message, /app\.asar/);
      assert.match(error.message, /extraFiles|asarUnpack/);
      return true;
    });
    assert.equal(client.pid, undefined);
    await client.close();
  });

  it('without binaryPath, the helper is looked up: a path given inside app.asar is started from app.asar.unpacked', async (t) => {
    const unpacked = path.join(scratch, 'Resources', 'app.asar.unpacked', 'native');
    mkdirSync(unpacked, { recursive: true });
    copyFileSync(standInPath, path.join(unpacked, 'caretsafe'));
    chmodSync(path.join(unpacked, 'caretsafe'), 0o755);
    const inArchive = path.join(scratch, 'Resources', 'app.asar', 'native', 'caretsafe');
    const client = closedAfter(t, new Caretsafe({ lookup: { paths: [inArchive], env: {} } }));
    assert.deepEqual(await client.status(), { ok: true, trusted: true });
    await client.close();

    const nowhere = closedAfter(t, new Caretsafe({ lookup: { paths: [path.join(scratch, 'app.asar', 'nothing')], env: {}, cwd: scratch } }));
    await assert.rejects(nowhere.status(), (error) => {
      assert.ok(error instanceof HelperNotFoundError);
      assert.equal(error.tried[0], `${path.join(scratch, 'app.asar.unpacked', 'nothing')} (missing)`);
      return true;
    });
    await nowhere.close();
  });

  it('a binaryPath inside app.asar (beside __dirname in a packaged app) is started from app.asar.unpacked', async (t) => {
    const root = path.join(scratch, 'Packaged', 'Resources');
    mkdirSync(path.join(root, 'app.asar.unpacked', 'native'), { recursive: true });
    // The archive is one file to the operating system.
    writeFileSync(path.join(root, 'app.asar'), 'archive');
    copyFileSync(standInPath, path.join(root, 'app.asar.unpacked', 'native', 'caretsafe'));
    chmodSync(path.join(root, 'app.asar.unpacked', 'native', 'caretsafe'), 0o755);
    const client = closedAfter(t, new Caretsafe({ binaryPath: path.join(root, 'app.asar', 'native', 'caretsafe') }));
    assert.deepEqual(await client.status(), { ok: true, trusted: true });
    await client.close();
  });

  it('a file that is not executable rejects with SpawnError', async (t) => {
    const file = path.join(scratch, 'not-executable');
    writeFileSync(file, '#!/bin/sh\n');
    chmodSync(file, 0o644);
    const client = closedAfter(t, new Caretsafe({ binaryPath: file }));
    await assert.rejects(client.status(), (error) => error instanceof SpawnError && error.code === 'EACCES');
    await assert.rejects(client.capture(), SpawnError);
    await client.close();
  });
});
