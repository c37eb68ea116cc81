// Shared by the tests: where caretsafe-sim and the stand-in are, and waiting for a process
// to be gone.
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import * as path from 'node:path';
import { after } from 'node:test';
import { fileURLToPath } from 'node:url';
import { setTimeout as sleep } from 'node:timers/promises';

import { Caretsafe } from 'caretsafe';

const here = fileURLToPath(new URL('.', import.meta.url));

/** caretsafe-sim: CARETSAFE_SIM, or the CMake build at the top of the repository. */
export const simBinary = process.env.CARETSAFE_SIM || fileURLToPath(new URL('../../../build/caretsafe-sim', import.meta.url));

export const standInPath = `${here}stand_in.mjs`;

/**
 * Whether process `pid` exists (a zombie counts: it has not been waited for). Signal 0 checks
 * without sending anything, on every system; EPERM means it exists but is not ours.
 */
export function running(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

/**
 * Waits until process `pid` no longer exists, up to `limitMs`; answers whether it is gone.
 * Not a timing assertion: the limit only keeps a failing test from hanging.
 */
export async function gone(pid, limitMs = 10_000) {
  const until = Date.now() + limitMs;
  while (running(pid)) {
    if (Date.now() > until) return false;
    await sleep(10);
  }
  return true;
}

/** Waits until `check()` is true, up to `limitMs`. */
export async function until(check, limitMs = 10_000) {
  const end = Date.now() + limitMs;
  while (!(await check())) {
    if (Date.now() > end) throw new Error('condition not reached');
    await sleep(10);
  }
}

/** The lines a stand-in wrote to its log: [[what, pid], ...]. */
export function standInLog(file) {
  if (!existsSync(file)) return [];
  return readFileSync(file, 'utf8')
    .split('\n')
    .filter(Boolean)
    .map((line) => {
      const [what, pid] = line.split(' ');
      return [what, Number(pid)];
    });
}

/**
 * Closes `client` when test `t` ends, passed or failed, within a bound: a fault in the client
 * then fails that test instead of keeping its helper, and the whole run, waiting.
 */
export function closedAfter(t, client) {
  t.after(() => client.close({ timeoutMs: 2000 }));
  return client;
}

// Created at load, so that the hook removing it belongs to the file's run, not to one test.
const scratch = mkdtempSync(path.join(tmpdir(), 'caretsafe-stand-in-'));
after(() => rmSync(scratch, { recursive: true, force: true }));
let logs = 0;

/**
 * A client on the stand-in in `mode`, closed when test `t` ends. `log`: the file its starts
 * are noted in; `requests`: the file every request line it receives is appended to.
 * `faultyStarts`, `goodAnswers`, `delayMs`: see stand_in.mjs; the rest are client options.
 */
export function standIn(t, mode, { faultyStarts, goodAnswers, delayMs, ...options } = {}) {
  const log = path.join(scratch, `log-${++logs}`);
  const requests = path.join(scratch, `requests-${logs}`);
  const env = { ...process.env, STAND_IN_MODE: mode, STAND_IN_LOG: log, STAND_IN_REQUESTS: requests };
  if (faultyStarts !== undefined) env.STAND_IN_FAULTY_STARTS = String(faultyStarts);
  if (goodAnswers !== undefined) env.STAND_IN_GOOD_ANSWERS = String(goodAnswers);
  if (delayMs !== undefined) env.STAND_IN_DELAY_MS = String(delayMs);
  const client = closedAfter(t, new Caretsafe({ binaryPath: standInPath, env, restart: { backoffMs: 1 }, ...options }));
  return { client, log, requests };
}

/** The stand-in starts noted in `log`: [["start", pid], ...]. */
export const starts = (log) => standInLog(log).filter(([what]) => what === 'start');

/** The request lines a stand-in received, parsed. */
export function requestsReceived(file) {
  if (!existsSync(file)) return [];
  return readFileSync(file, 'utf8')
    .split('\n')
    .filter(Boolean)
    .map((line) => JSON.parse(line));
}
