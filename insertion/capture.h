// The "capture" action.
#pragma once

#include "insertion/outcome.h"
#include "insertion/target.h"
#include "platform/platform.h"

namespace caretsafe {

// Records the focused field of the frontmost application in the slot and answers its new
// token, or `Reason::kUnsupportedField` for any failure. The slot is cleared first, so a failed
// capture also discards the one before it.
CaptureResult capture(Platform& platform, TargetSlot& target);

}  // namespace caretsafe
