// A request to stop, as the system sends it (SIGTERM from a host that closes its helper, SIGINT,
// SIGHUP): the process ends its request loop and lets the platform undo what it changed on the
// desktop, instead of dying with it changed. Process-wide; POSIX only.
#pragma once

namespace caretsafe {

// Installs the handlers once (idempotent). They only note the request: nothing is interrupted
// mid-step, and blocking calls see it through `stopDescriptor`.
void installStopHandlers();

// Whether a stop was requested. Safe to ask from any code at any time.
bool stopRequested() noexcept;

// A descriptor that becomes readable once a stop (or a restart) is requested, for a wait on
// input to watch beside its own; -1 before the handlers are installed.
int stopDescriptor() noexcept;

// Asks for the process to start afresh, as the same process, once the request in hand is
// answered and no input it has read is left unanswered: for a platform whose state cannot be
// rebuilt inside the process (a library session that cannot be started twice).
void requestRestart() noexcept;
bool restartRequested() noexcept;

// The exit status when a restart was asked for and the program could not be started again
// (its file replaced or gone): the host should start the helper again.
inline constexpr int kExitRestartFailed = 75;

}  // namespace caretsafe
