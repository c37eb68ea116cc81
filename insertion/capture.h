// The "capture" action.
#pragma once

#include "insertion/outcome.h"
#include "insertion/target.h"
#include "platform/platform.h"
#include "probe/inspection.h"

namespace caretsafe {

// What the host asks of a capture beyond the default.
struct CaptureOptions {
  // A field whose accessibility write the platform knows not to work (a browser's or an
  // Electron application's web field) may be captured; its insert then types the text and
  // confirms it by reading the value back. Off, a capture is exactly what it always was.
  bool allowTyping = false;
};

// The typing check for a field of the application with this pid: nothing to check unless typing
// is allowed; then whether the application's web fields take keys only (one request, two for an
// application that may be built on Electron).
TypingCheck typingCheck(Platform& platform, Pid pid, bool allowTyping);

// Records the focused field of the frontmost application in the slot and answers its new
// token, or `Reason::kUnsupportedField` for any failure, a terminal or a field that takes keys
// only while secure event input is on included. The slot is cleared first, so a failed
// capture also discards the one before it.
CaptureResult capture(Platform& platform, TargetSlot& target, const CaptureOptions& options = {});

}  // namespace caretsafe
