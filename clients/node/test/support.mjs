// Shared by the tests: where caretsafe-sim and the stand-in are, and waiting for a process
// to be gone.
import { existsSync, readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { setTimeout as sleep } from 'node:timers/promises';

const here = fileURLToPath(new URL('.', import.meta.url));

/** caretsafe-sim: CARETSAFE_SIM, or the CMake build at the top of the repository. */
export const simBinary = process.env.CARETSAFE_SIM || fileURLToPath(new URL('../../../build/caretsafe-sim', import.meta.url));

export const standInPath = `${here}stand_in.mjs`;

/** Whether process `pid` exists (a zombie counts: it has not been waited for). */
export function running(pid) {
  return existsSync(`/proc/${pid}`);
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
