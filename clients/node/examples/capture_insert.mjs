// A host's flow on the simulated desktop, runnable anywhere caretsafe-sim is built:
//
//   (cd clients/node && npm ci && npm run build)
//   node clients/node/examples/capture_insert.mjs        # from the repository's top
//
// caretsafe-sim is taken from CARETSAFE_SIM, else build/caretsafe-sim under the current folder.
// The same calls drive the real helper on a Mac; only startSim() is for tests.
import { fieldDesktop, startSim, terminalDesktop, typedText } from 'caretsafe/testing';

const sim = await startSim({ desktop: fieldDesktop({ value: 'Dear Sam, ' }) });
const { client } = sim;
const show = (what, value) => console.log(`${what.padEnd(40)} ${JSON.stringify(value)}`);

try {
  show('status', await client.status());

  // The user is in a notes field; the host captures it, then writes its text there.
  let captured = await client.capture();
  show('capture', captured);
  show('insert "thanks for the notes."', await client.insert(captured.token, 'thanks for the notes.'));
  const write = (await sim.journal()).find((entry) => entry.op === 'setAttributeValue');
  show('  the field now holds', write.fieldValue);

  // The user types something between capture and insert: nothing is written.
  captured = await client.capture();
  await sim.setDesktop(fieldDesktop({ value: 'Dear Sam, thanks for the notes. P.S.' }));
  show('insert after the field changed', await client.insert(captured.token, 'late text'));

  // A terminal gets the text typed as key events, with its line breaks made spaces.
  await sim.setDesktop(terminalDesktop());
  await sim.clearJournal();
  captured = await client.capture();
  show('insert into a terminal', await client.insert(captured.token, 'echo one\necho two'));
  show('  typed', typedText(await sim.journal()));

  // Without the permission every capture is refused; the host asks the user to grant it.
  await sim.setDesktop(fieldDesktop({ trusted: false }));
  show('capture without permission', await client.capture());
  setTimeout(() => sim.setDesktop(fieldDesktop({ value: '' })), 300);
  await client.waitForTrust({ pollMs: 100 });
  show('waitForTrust resolved; status', await client.status());
} finally {
  await sim.close();
}
