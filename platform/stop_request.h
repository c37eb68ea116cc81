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

// A descriptor that becomes readable once a stop is requested, for a wait on input to watch
// beside its own; -1 before the handlers are installed.
int stopDescriptor() noexcept;

}  // namespace caretsafe
