// Where the helper executable is, in a packaged Electron application and in development.
// A process cannot be started from a file inside app.asar (the archive is a file to the
// operating system; only Electron's own fs calls see into it), so every candidate inside the
// archive is looked for in app.asar.unpacked instead, where asarUnpack puts its files.

import { accessSync, constants, statSync } from 'node:fs';
import * as path from 'node:path';

import { HelperNotFoundError } from './errors.js';

export interface HelperPathOptions {
  /** File name of the executable. Default "caretsafe". */
  name?: string;
  /**
   * Paths to try first (after CARETSAFE_HELPER), for example
   * `path.join(__dirname, 'native', 'caretsafe')`. A path inside app.asar is tried in
   * app.asar.unpacked.
   */
  paths?: readonly string[];
  /** The packaged app's resources folder. Default: Electron's `process.resourcesPath`. */
  resourcesPath?: string;
  /**
   * The app's own executable, whose folder is searched in a packaged app (where
   * `resourcesPath` is known). Default `process.execPath`.
   */
  execPath?: string;
  /** Where CARETSAFE_HELPER is read. Default `process.env`. */
  env?: NodeJS.ProcessEnv;
  /** The development folder's base. Default `process.cwd()`. */
  cwd?: string;
}

/** `file` with its app.asar folder replaced by app.asar.unpacked. */
export function unpackedPath(file: string): string {
  return file.replace(/([\\/])app\.asar(?=[\\/]|$)/g, '$1app.asar.unpacked');
}

/**
 * The places `helperPath` looks, in order:
 * 1. the environment variable CARETSAFE_HELPER, when set;
 * 2. `options.paths`;
 * 3. inside a packaged app (when `resourcesPath` is known; Contents/Resources on macOS,
 *    <app>/resources on Linux and Windows): NAME beside the app's executable (electron-builder
 *    "extraFiles": Contents/MacOS on macOS, the app's folder elsewhere), Contents/MacOS/NAME
 *    and Contents/Helpers/NAME, Resources/NAME (extraResources) and
 *    Resources/app.asar.unpacked/native/NAME (asarUnpack of the app's native/NAME);
 * 4. in development: native/NAME under the current folder.
 * A path that comes twice is tried once.
 */
export function helperCandidates(options: HelperPathOptions = {}): string[] {
  const name = options.name ?? 'caretsafe';
  const env = options.env ?? process.env;
  const resourcesPath =
    options.resourcesPath ?? (process as NodeJS.Process & { resourcesPath?: string }).resourcesPath;
  const candidates: string[] = [];
  if (env.CARETSAFE_HELPER) candidates.push(env.CARETSAFE_HELPER);
  for (const p of options.paths ?? []) candidates.push(unpackedPath(p));
  if (resourcesPath) {
    const contents = path.dirname(path.resolve(resourcesPath));
    candidates.push(
      path.join(path.dirname(path.resolve(options.execPath ?? process.execPath)), name),
      path.join(contents, 'MacOS', name),
      path.join(contents, 'Helpers', name),
      path.join(resourcesPath, name),
      path.join(resourcesPath, 'app.asar.unpacked', 'native', name),
    );
  }
  candidates.push(path.join(options.cwd ?? process.cwd(), 'native', name));
  return [...new Set(candidates.map((p) => path.resolve(p)))];
}

/**
 * The absolute path of the first candidate (see `helperCandidates`) that is an executable
 * file. Throws `HelperNotFoundError` naming every path tried and why it did not do.
 */
export function helperPath(options: HelperPathOptions = {}): string {
  const tried: string[] = [];
  for (const candidate of helperCandidates(options)) {
    const problem = unusable(candidate);
    if (problem === undefined) return candidate;
    tried.push(`${candidate} (${problem})`);
  }
  throw new HelperNotFoundError(tried);
}

/** Why `file` cannot be started, or undefined when it can. */
export function unusable(file: string): string | undefined {
  try {
    if (!statSync(file).isFile()) return 'not a file';
  } catch {
    return 'missing';
  }
  try {
    accessSync(file, constants.X_OK);
  } catch {
    return 'not executable';
  }
  return undefined;
}
