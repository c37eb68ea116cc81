// The CommonJS build, as Electron before 28 loads it with require().
const assert = require('node:assert/strict');
const { it } = require('node:test');

const caretsafe = require('caretsafe');
const testing = require('caretsafe/testing');

const simBinary = process.env.CARETSAFE_SIM || require('node:path').join(__dirname, '../../../build/caretsafe-sim');

it('require() gives the same API as import', async () => {
  const esm = await import('caretsafe');
  assert.deepEqual(Object.keys(caretsafe).sort(), Object.keys(esm).sort());
  const esmTesting = await import('caretsafe/testing');
  assert.deepEqual(Object.keys(testing).sort(), Object.keys(esmTesting).sort());
  assert.equal(
    caretsafe.kAccessibilitySettingsUrl,
    'x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility',
  );
});

it('the CommonJS build drives caretsafe-sim', async () => {
  const sim = await testing.startSim({ desktop: testing.fieldDesktop({ value: 'a' }), simPath: simBinary });
  try {
    assert.ok(sim.client instanceof caretsafe.Caretsafe);
    const captured = await sim.client.capture();
    assert.equal(captured.ok, true);
    assert.deepEqual(await sim.client.insert(captured.token, 'b'), { ok: true, delivery: 'verified' });
    await assert.rejects(new caretsafe.Caretsafe({ binaryPath: '/nonexistent' }).status(), caretsafe.HelperNotFoundError);
  } finally {
    await sim.close();
  }
});

it('one definition of every export, whether loaded with require() or import', async () => {
  for (const [cjs, esm] of [
    [caretsafe, await import('caretsafe')],
    [testing, await import('caretsafe/testing')],
  ]) {
    for (const name of Object.keys(cjs)) assert.equal(esm[name], cjs[name], name);
  }
});

it('the kit loaded with import, errors checked with require(): a timeout and an abort told apart', async () => {
  const esmTesting = await import('caretsafe/testing');
  const sim = await esmTesting.startSim({ desktop: esmTesting.fieldDesktop(), simPath: simBinary });
  try {
    await sim.client.status();
    // Stopped, the helper answers nothing, however loaded the machine is.
    process.kill(sim.client.pid, 'SIGSTOP');
    const controller = new AbortController();
    const timedOut = sim.client.status({ timeoutMs: 200 }).catch((error) => error);
    const aborted = sim.client.capture({ signal: controller.signal }).catch((error) => error);
    controller.abort();
    const [timeout, abort] = await Promise.all([timedOut, aborted]);
    assert.ok(timeout instanceof caretsafe.TimeoutError && timeout instanceof caretsafe.CaretsafeError);
    assert.ok(!(timeout instanceof caretsafe.AbortError));
    assert.deepEqual([timeout.code, timeout.sent], ['CARETSAFE_TIMEOUT', true]);
    assert.ok(abort instanceof caretsafe.AbortError && !(abort instanceof caretsafe.TimeoutError));
    assert.deepEqual([abort.code, abort.sent], ['ABORT_ERR', false]);
  } finally {
    await sim.close();
  }
});
