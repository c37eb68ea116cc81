// A test kit for a host application's own CI: the real client against caretsafe-sim, the
// same helper program over a simulated desktop that a test describes as an object, changes
// between requests and observes through the journal of platform operations. So a host's
// capture and insert flows can be tested on Linux, without a Mac.

import { randomBytes } from 'node:crypto';
import { mkdtemp, readFile, rename, rm, truncate, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import * as path from 'node:path';

import { Caretsafe, kAsyncDispose, type CaretsafeOptions, type CloseOptions } from './client.js';
import { HelperNotFoundError } from './errors.js';
import { unusable } from './helper_path.js';

/** An attribute's value on the simulated desktop (see docs/simulated-desktop.md). */
export type AttributeValue =
  | string
  | boolean
  | number
  | null
  | { none: true }
  | { range: [number, number] }
  | { point: [number, number] }
  | { size: [number, number] }
  | { element: string }
  | { error: number };

export interface SimApp {
  bundleId?: string | null;
  /** Every request to the application or its elements waits for the messaging timeout, then fails. */
  hang?: boolean;
  attributes?: Record<string, AttributeValue>;
}

export type OnWrite =
  | 'insert'
  | 'decompose'
  | 'alter'
  | 'deferred'
  | 'ignore'
  | { limit: number }
  | { error: number };

export interface SimElement {
  app: number;
  attributes?: Record<string, AttributeValue>;
  settable?: Record<string, boolean | { error: number }>;
  onWrite?: OnWrite;
}

export type ScheduleEntry = ({ afterPosts: number } | { afterOps: number }) & { patch: object };

/** The desktop file of caretsafe-sim, as an object. */
export interface Desktop {
  trusted?: boolean;
  ownPid?: number;
  frontmost?: number | null;
  /** Seconds from 2001-01-01 00:00:00 UTC; stands still until the desktop is replaced. */
  clock?: number;
  /** The modifier flag word, for example 131072 for Shift. */
  modifiers?: number;
  eventCreations?: number;
  /** Keyed by pid in decimal. */
  apps?: Record<string, SimApp>;
  elements?: Record<string, SimElement>;
  schedule?: ScheduleEntry[];
}

/** One platform operation the helper performed, from the journal. */
export type JournalEntry =
  | { op: 'isProcessTrusted'; result: boolean }
  | { op: 'frontmostApplication'; result: number | null }
  | { op: 'runningApplication'; pid: number; result: string | null | false }
  | { op: 'createApplication'; pid: number; element: string }
  | { op: 'setMessagingTimeout'; element: string | null; seconds: number }
  | { op: 'copyAttributeValue'; element: string | null; attribute: string; error: number }
  | { op: 'isAttributeSettable'; element: string | null; attribute: string; error: number; settable: boolean }
  | {
      op: 'setAttributeValue';
      element: string | null;
      attribute: string;
      value: string;
      error: number;
      fieldValue: unknown;
    }
  | { op: 'flagsState'; result: number }
  | { op: 'createKeyboardEvent'; keyDown: boolean; virtualKey: number; created: boolean }
  | {
      op: 'postToPid';
      pid: number;
      keyDown: boolean | null;
      text: string | null;
      virtualKey: number | null;
      flags: number | null;
    };

export interface SimOptions extends Omit<CaretsafeOptions, 'binaryPath' | 'lookup' | 'env'> {
  /** The desktop at the start. Default: an empty desktop, not trusted. */
  desktop?: Desktop;
  /** caretsafe-sim. Default: CARETSAFE_SIM, then build/caretsafe-sim under the current folder. */
  simPath?: string;
  /**
   * Variables added to `process.env` for caretsafe-sim (the client's own `env` option, by
   * contrast, is the helper's whole environment).
   */
  extraEnv?: NodeJS.ProcessEnv;
  /** @deprecated The former name of `extraEnv`, with the same meaning. */
  env?: NodeJS.ProcessEnv;
}

/** What a host's own `Caretsafe` needs to run on a simulated desktop. */
export interface SimClientOptions {
  binaryPath: string;
  env: NodeJS.ProcessEnv;
}

/** The Shift bit of the modifier flag word. */
export const kShift = 131072;

export interface FieldOptions {
  value?: string;
  /** In UTF-16 units. Default: the end of the value. */
  caret?: number;
  pid?: number;
  bundleId?: string;
  role?: 'AXTextArea' | 'AXTextField';
  /** The field's AXSubrole, for example "AXSecureTextField" (a password field). Default none. */
  subrole?: string | null;
  onWrite?: OnWrite;
  trusted?: boolean;
  /**
   * The application never answers: every request to it waits for the messaging timeout the
   * helper set (0.6 s), then fails, so a capture answers "unsupported-field".
   */
  hang?: boolean;
}

/** A desktop with one application, frontmost, whose focused element is `id`. */
function oneAppDesktop(
  options: { trusted?: boolean; pid: number; bundleId: string; modifiers?: number; hang?: boolean },
  id: string,
  element: Omit<SimElement, 'app'>,
): Desktop {
  const app: SimApp = { bundleId: options.bundleId, attributes: { AXFocusedUIElement: { element: id } } };
  if (options.hang) app.hang = true;
  return {
    trusted: options.trusted ?? true,
    frontmost: options.pid,
    clock: 800_000_000,
    modifiers: options.modifiers ?? 0,
    apps: { [options.pid]: app },
    elements: { [id]: { app: options.pid, ...element } },
  };
}

/** A desktop whose frontmost application (pid 501) has focus in an ordinary text area, "field". */
export function fieldDesktop(options: FieldOptions = {}): Desktop {
  const value = options.value ?? '';
  const app = { ...options, pid: options.pid ?? 501, bundleId: options.bundleId ?? 'com.example.Notes' };
  return oneAppDesktop(app, 'field', {
    attributes: {
      AXRole: options.role ?? 'AXTextArea',
      AXSubrole: options.subrole ?? null,
      AXEnabled: true,
      AXValue: value,
      AXSelectedTextRange: { range: [options.caret ?? value.length, 0] },
    },
    settable: { AXSelectedText: true },
    onWrite: options.onWrite ?? 'insert',
  });
}

export interface TerminalOptions {
  value?: string;
  pid?: number;
  /** "com.apple.Terminal" (default) or "com.googlecode.iterm2". */
  bundleId?: string;
  modifiers?: number;
  trusted?: boolean;
}

/** A desktop whose frontmost application (pid 601) is a terminal with focus in its view, "shell". */
export function terminalDesktop(options: TerminalOptions = {}): Desktop {
  const value = options.value ?? '$ ';
  const app = { ...options, pid: options.pid ?? 601, bundleId: options.bundleId ?? 'com.apple.Terminal' };
  return oneAppDesktop(app, 'shell', {
    attributes: {
      AXRole: 'AXTextArea',
      AXEnabled: true,
      AXValue: value,
      AXSelectedTextRange: { range: [value.length, 0] },
    },
    // Terminals do not report their text as settable; text reaches them as key events.
    settable: { AXSelectedText: false },
  });
}

/** The text that reached a process as key events (key-down events), in order, from the journal. */
export function typedText(journal: readonly JournalEntry[], pid?: number): string {
  let text = '';
  for (const entry of journal) {
    if (entry.op === 'postToPid' && entry.keyDown && (pid === undefined || entry.pid === pid)) {
      text += entry.text ?? '';
    }
  }
  return text;
}

/**
 * caretsafe-sim on a desktop of the test's making, with a client started on it. The desktop
 * file and the journal live in a temporary folder that `close()` removes.
 */
export class SimDesktop {
  /** The client on this desktop, created by `startSim`. */
  readonly client: Caretsafe;
  readonly simPath: string;
  readonly dir: string;
  readonly desktopPath: string;
  readonly journalPath: string;
  private readonly extraEnv: NodeJS.ProcessEnv;
  private readonly clients: Caretsafe[] = [];
  private replacements = 0;

  /** Use `startSim`. */
  constructor(simPath: string, dir: string, extraEnv: NodeJS.ProcessEnv, options: SimOptions) {
    this.simPath = simPath;
    this.dir = dir;
    this.desktopPath = path.join(dir, 'desktop.json');
    this.journalPath = path.join(dir, 'journal.jsonl');
    this.extraEnv = extraEnv;
    const { desktop: _desktop, simPath: _simPath, env: _env, extraEnv: _extraEnv, ...clientOptions } = options;
    this.client = this.createClient(clientOptions);
  }

  /** The environment that starts caretsafe-sim on this desktop: `process.env`, `extraEnv`, the desktop and journal paths. */
  env(): NodeJS.ProcessEnv {
    return {
      ...process.env,
      ...this.extraEnv,
      CARETSAFE_DESKTOP: this.desktopPath,
      CARETSAFE_JOURNAL: this.journalPath,
    };
  }

  /**
   * The options that put a host's own client on this desktop:
   * `new Caretsafe({ ...sim.clientOptions(), timeouts })`. Such a client is the host's to
   * close; `close()` closes only the clients the kit made.
   */
  clientOptions(): SimClientOptions {
    return { binaryPath: this.simPath, env: this.env() };
  }

  /** Another client on the same desktop; closed by `close()`. */
  createClient(options: Omit<CaretsafeOptions, 'binaryPath' | 'lookup' | 'env'> = {}): Caretsafe {
    const client = new Caretsafe({ ...options, ...this.clientOptions() });
    this.clients.push(client);
    return client;
  }

  /**
   * Replaces the desktop atomically (a new file renamed over the old one), so the helper sees
   * either the old desktop or the new one, and sees the change at its next operation. Call it
   * between two requests; what the helper did to the old desktop (inserted text, a moved caret)
   * is dropped.
   */
  async setDesktop(desktop: Desktop): Promise<void> {
    const temporary = path.join(this.dir, `.desktop-${++this.replacements}.tmp`);
    await writeFile(temporary, JSON.stringify(desktop));
    await rename(temporary, this.desktopPath);
  }

  /** Every platform operation journaled so far, in order. */
  async journal(): Promise<JournalEntry[]> {
    let text: string;
    try {
      text = await readFile(this.journalPath, 'utf8');
    } catch (error) {
      if ((error as NodeJS.ErrnoException).code === 'ENOENT') return [];
      throw error;
    }
    const complete = text.slice(0, text.lastIndexOf('\n') + 1);
    return complete
      .split('\n')
      .filter((line) => line.length > 0)
      .map((line) => JSON.parse(line) as JournalEntry);
  }

  /** Empties the journal. */
  async clearJournal(): Promise<void> {
    try {
      await truncate(this.journalPath, 0);
    } catch (error) {
      if ((error as NodeJS.ErrnoException).code !== 'ENOENT') throw error;
    }
  }

  /**
   * Closes every client the kit made on this desktop (their helpers exit; `timeoutMs` as in
   * `Caretsafe.close`) and removes the folder.
   */
  async close(options: CloseOptions = {}): Promise<void> {
    try {
      await Promise.all(this.clients.map((client) => client.close(options)));
    } finally {
      await rm(this.dir, { recursive: true, force: true });
    }
  }

  /** `close()` (`await using sim = await startSim(…)`). */
  async [kAsyncDispose](): Promise<void> {
    await this.close();
  }
}

/** The caretsafe-sim executable: `explicit`, CARETSAFE_SIM, or build/caretsafe-sim under the current folder. */
export function simPath(explicit?: string): string {
  const candidates = explicit
    ? [explicit]
    : [process.env.CARETSAFE_SIM, path.join(process.cwd(), 'build', 'caretsafe-sim')].filter(
        (p): p is string => Boolean(p),
      );
  const tried: string[] = [];
  for (const candidate of candidates) {
    const problem = unusable(candidate);
    if (problem === undefined) return path.resolve(candidate);
    tried.push(`${candidate} (${problem})`);
  }
  throw new HelperNotFoundError(
    tried,
    'caretsafe-sim',
    'Build it with CMake (target caretsafe-sim) and pass its path as simPath or set CARETSAFE_SIM.',
  );
}

/** Writes the desktop to a fresh temporary folder and makes a client on it; no process starts until the first call. */
export async function startSim(options: SimOptions = {}): Promise<SimDesktop> {
  const sim = simPath(options.simPath);
  const dir = await mkdtemp(path.join(tmpdir(), `caretsafe-sim-${randomBytes(3).toString('hex')}-`));
  const desktop = new SimDesktop(sim, dir, { ...options.env, ...options.extraEnv }, options);
  await desktop.setDesktop(options.desktop ?? { trusted: false });
  return desktop;
}
