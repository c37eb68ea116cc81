// Compiled, never run: the CommonJS declarations, as a host on require() sees them.
import caretsafe = require('caretsafe');
import testing = require('caretsafe/testing');

export async function flow(): Promise<caretsafe.Delivery | caretsafe.ReasonCode> {
  const sim = await testing.startSim({ desktop: testing.terminalDesktop() });
  const captured = await sim.client.capture();
  if (!captured.ok) return captured.reason;
  const inserted = await sim.client.insert(captured.token, 'ls');
  await sim.close();
  return inserted.ok ? inserted.delivery : inserted.reason;
}
