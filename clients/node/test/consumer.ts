// Compiled, never run: what a host's TypeScript sees through the published types. The build
// fails if an answer stops narrowing, a reason code goes missing from its union, or an
// option changes shape.
import {
  Caretsafe,
  CaretsafeError,
  ExitedError,
  TimeoutError,
  helperPath,
  kAccessibilitySettingsUrl,
  type CaptureReason,
  type CaretsafeEvent,
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

function describeEvent(event: CaretsafeEvent): string {
  switch (event.type) {
    case 'start':
      return `${event.pid}`;
    case 'exit':
      return `${event.pid} ${event.code ?? event.signal} ${event.expected}`;
    case 'restart':
      return `${event.cause.code} ${event.failures} ${event.delayMs}`;
    case 'unavailable':
      return `${event.cause.code} ${new Date(event.retryAt).toISOString()}`;
    default:
      return unreachable(event);
  }
}

export async function flow(): Promise<string> {
  const client = new Caretsafe({
    binaryPath: helperPath({ paths: ['/opt/host/native/caretsafe'], execPath: '/opt/host/host' }),
    timeouts: { captureMs: 5000, insertPerUnitMs: 10, statusMs: 0 },
    restart: { maxRestarts: 5 },
    stderr: (line: string, pid: number) => console.error(pid, line),
    onEvent: (event) => console.log(describeEvent(event)),
  });
  const controller = new AbortController();
  const status = await client.status({ signal: controller.signal, timeoutMs: 1000 });
  const trusted: boolean = status.trusted;
  if (!trusted) await client.waitForTrust({ pollMs: 500, signal: AbortSignal.timeout(60_000) });
  const captured = await client.capture({ allowTyping: true, timeoutMs: 0 });
  if (!captured.ok) return explainCapture(captured.reason);
  const token: string = captured.token;
  let result: InsertResult;
  try {
    result = await client.insert(token, 'text');
  } catch (error) {
    if (error instanceof ExitedError) return `${error.exitCode ?? error.signal} ${error.sent}`;
    if (error instanceof TimeoutError) return `${error.action} ${error.timeoutMs}`;
    if (error instanceof CaretsafeError && error.sent) return `${error.code}: may have been delivered`;
    throw error;
  }
  client.reset();
  const exit = await client.close({ timeoutMs: 3000 });
  if (exit) void (exit.code ?? exit.signal);
  return result.ok ? result.delivery : explainInsert(result.reason);
}

export async function kit(): Promise<string> {
  const sim = await startSim({
    desktop: fieldDesktop({ value: 'a', subrole: 'AXSecureTextField', hang: false }),
    timeouts: { statusMs: 100 },
    extraEnv: { LANG: 'C' },
  });
  const own = new Caretsafe({ ...sim.clientOptions(), timeouts: { captureMs: 2000 } });
  await own[Symbol.asyncDispose]();
  await sim.setDesktop({ trusted: false, apps: { '5': { bundleId: null, hang: true } } });
  const journal: JournalEntry[] = await sim.journal();
  const writes = journal.filter((e) => e.op === 'setAttributeValue').map((e) => (e.op === 'setAttributeValue' ? e.value : ''));
  await sim.close({ timeoutMs: 1000 });
  return `${kAccessibilitySettingsUrl}${writes.join('')}${typedText(journal)}`;
}
