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
