// The client of the caretsafe helper for Node and Electron's main process.

export {
  Caretsafe,
  type CallOptions,
  type CaptureOptions,
  type CaretsafeEvent,
  type CaretsafeOptions,
  type CloseOptions,
  type HelperExit,
  type RestartPolicy,
  type StderrOption,
  type Timeouts,
  type WaitForTrustOptions,
} from './client.js';
export {
  AbortError,
  CaretsafeError,
  type CaretsafeErrorOptions,
  ClosedError,
  ExitedError,
  HelperNotFoundError,
  ProtocolError,
  SpawnError,
  TimeoutError,
  UnavailableError,
} from './errors.js';
export { helperCandidates, helperPath, unpackedPath, type HelperPathOptions } from './helper_path.js';
export {
  reasonCodes,
  type CaptureReason,
  type CaptureResult,
  type Captured,
  type ClearResult,
  type Delivery,
  type InsertReason,
  type InsertResult,
  type Inserted,
  type ReasonCode,
  type Refusal,
  type StatusResult,
} from './protocol.js';

/**
 * Opens the Accessibility pane of System Settings (Privacy & Security) on macOS, for
 * Electron's `shell.openExternal`: the user switches the host application on there.
 */
export const kAccessibilitySettingsUrl =
  'x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility';
