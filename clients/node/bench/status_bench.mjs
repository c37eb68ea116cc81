// What the client adds to a round trip: "status" requests through `Caretsafe.status()` beside
// a bare child_process loop that writes the same lines to its own caretsafe-sim and waits
// for each answer's line feed (no parsing, no timers, no checks). Both run on the same
// trusted desktop, in many short alternating rounds so that load on the machine falls on
// both alike. Two measures per round trip: the wall time (the median single trip), and the
// CPU time of this Node process (user + system; the median round), which is what the client
// itself costs and is less disturbed by other work on the machine.
//
//   node bench/status_bench.mjs [--rounds 100] [--per-round 200] [--sim PATH]
//
// caretsafe-sim: --sim, else CARETSAFE_SIM, else build/caretsafe-sim at the repository's top.
import { spawn } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { fieldDesktop, startSim } from '../dist/esm/testing.js';

const { values } = parseArgs({
  options: {
    rounds: { type: 'string', default: '100' },
    'per-round': { type: 'string', default: '200' },
    sim: { type: 'string' },
  },
});
const rounds = Number(values.rounds);
const perRound = Number(values['per-round']);
const simPath =
  values.sim ?? process.env.CARETSAFE_SIM ?? fileURLToPath(new URL('../../../build/caretsafe-sim', import.meta.url));

const sim = await startSim({ desktop: fieldDesktop({ value: 'x' }), simPath });
const { client } = sim;

// The baseline: the smallest correct loop a host could write by hand.
const bare = spawn(simPath, [], { stdio: ['pipe', 'pipe', 'ignore'], env: sim.env() });
let wake = () => {};
let pending = '';
bare.stdout.setEncoding('utf8');
bare.stdout.on('data', (chunk) => {
  pending += chunk;
  if (pending.includes('\n')) {
    pending = '';
    wake();
  }
});
let bareId = 0;
function bareStatus() {
  return new Promise((resolve) => {
    wake = resolve;
    bare.stdin.write(`${JSON.stringify({ action: 'status', requestId: ++bareId })}\n`);
  });
}

/**
 * One round of `perRound` calls of `call`: the wall time of each round trip (µs, into
 * `trips`), and the round's CPU time per round trip.
 */
async function round(call, trips) {
  const cpu = process.cpuUsage();
  for (let i = 0; i < perRound; i++) {
    const start = process.hrtime.bigint();
    await call();
    trips.push(Number(process.hrtime.bigint() - start) / 1000);
  }
  const used = process.cpuUsage(cpu);
  return (used.user + used.system) / perRound;
}

const clientStatus = () => client.status();

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

// Warm up both: process start, JIT.
for (let i = 0; i < 2000; i++) {
  await client.status();
  await bareStatus();
}

const cpu = { client: [], bare: [] };
const trips = { client: [], bare: [] };
for (let r = 0; r < rounds; r++) {
  // Alternate which goes first, so neither always follows the other.
  if (r % 2 === 0) {
    cpu.bare.push(await round(bareStatus, trips.bare));
    cpu.client.push(await round(clientStatus, trips.client));
  } else {
    cpu.client.push(await round(clientStatus, trips.client));
    cpu.bare.push(await round(bareStatus, trips.bare));
  }
}

// Wall time: the median single round trip, which a moment of preemption does not move; CPU:
// the median round.
const wall = { bare: median(trips.bare), client: median(trips.client) };
const cpuFigure = { bare: median(cpu.bare), client: median(cpu.client) };
const ratio = (f) => `${(f.client / f.bare).toFixed(3)}× (${f.client >= f.bare ? '+' : ''}${((f.client / f.bare - 1) * 100).toFixed(1)} %)`;
console.log(`node ${process.version}, ${rounds} rounds of ${perRound} "status" round trips each`);
console.log('                        wall µs/trip (median trip)   CPU µs/trip (median round, this process)');
console.log(`bare child_process      ${wall.bare.toFixed(2).padStart(26)}   ${cpuFigure.bare.toFixed(2).padStart(12)}`);
console.log(`Caretsafe.status()      ${wall.client.toFixed(2).padStart(26)}   ${cpuFigure.client.toFixed(2).padStart(12)}`);
console.log(`client / bare: wall ${ratio(wall)}, CPU ${ratio(cpuFigure)}`);

bare.stdin.end();
await new Promise((resolve) => bare.on('close', resolve));
await sim.close();
