// Compiled, never run: what a host's TypeScript sees through the published types. The build
// fails if an answer stops narrowing, a reason code goes missing from its union, or an
// option changes shape.
import {
  Caretsafe,
  ExitedError,
  TimeoutError,
  helperPath,
  kAccessibilitySettingsUrl,
  type CaptureReason,
  type InsertReason,
  type InsertResult,
  type ReasonCode,
} from 'caretsafe';
import { fieldDesktop, startSim, typedText, type JournalEntry } from 'caretsafe/testing';

function unreachable(value: never): never {
  throw new Error(`unexpected ${String(value)}`);
}

function explainInsert(reason: InsertReason): string {
  switch (reason) {
    case 'permission-required':
    case 'no-target':
    case 'expired':
    case 'invalid-text':
    case 'target-changed':
    case 'modifier-held':
    case 'write-unconfirmed':
      return reason;
    default:
      return unreachable(reason);
  }
}

function explainCapture(reason: CaptureReason): ReasonCode {
  switch (reason) {
    case 'permission-required':
    case 'unsupported-field':
      return reason;
    default:
      return unreachable(reason);
  }
}

export async function flow(): Promise<string> {
  const client = new Caretsafe({
    binaryPath: helperPath({ paths: ['/opt/host/native/caretsafe'] }),
    timeouts: { captureMs: 5000, insertPerUnitMs: 10 },
    restart: { maxRestarts: 5 },
  });
  const controller = new AbortController();
  const status = await client.status({ signal: controller.signal, timeoutMs: 1000 });
  const trusted: boolean = status.trusted;
  if (!trusted) await client.waitForTrust({ pollMs: 500, signal: AbortSignal.timeout(60_000) });
  const captured = await client.capture();
  if (!captured.ok) return explainCapture(captured.reason);
  const token: string = captured.token;
  let result: InsertResult;
  try {
    result = await client.insert(token, 'text');
  } catch (error) {
    if (error instanceof ExitedError) return `${error.exitCode ?? error.signal}`;
    if (error instanceof TimeoutError) return `${error.action} ${error.timeoutMs}`;
    throw error;
  }
  const exit = await client.close();
  if (exit) void (exit.code ?? exit.signal);
  return result.ok ? result.delivery : explainInsert(result.reason);
}

export async function kit(): Promise<string> {
  const sim = await startSim({ desktop: fieldDesktop({ value: 'a' }), timeouts: { statusMs: 100 } });
  await sim.setDesktop({ trusted: false, apps: { '5': { bundleId: null, hang: true } } });
  const journal: JournalEntry[] = await sim.journal();
  const writes = journal.filter((e) => e.op === 'setAttributeValue').map((e) => (e.op === 'setAttributeValue' ? e.value : ''));
  await sim.close();
  return `${kAccessibilitySettingsUrl}${writes.join('')}${typedText(journal)}`;
}
