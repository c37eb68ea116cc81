#include "insertion/keystrokes.h"

#include <string>

#include "insertion/terminal_text.h"
#include "probe/focus.h"
#include "text/utf.h"

namespace caretsafe {

bool typeScalar(Platform& platform, const Element& validatedElement, Pid validatedPid,
                std::u16string_view scalar) {
  const std::optional<Focus> focus = focused(platform);
  if (!focus || focus->pid != validatedPid) return false;
  if (!platform.elementsEqual(focus->element, validatedElement)) return false;
  // Under secure event input the system withholds the key from the application: posting it
  // would report a character typed that never arrived, and the ones after it would land in
  // the wrong place if it were lifted midway.
  if (platform.secureEventInput()) return false;
  // Both events exist before either is posted, so a failure never leaves a key down.
  KeyEvent down = platform.createKeyboardEvent(kVirtualKey, true);
  if (!down) return false;
  KeyEvent up = platform.createKeyboardEvent(kVirtualKey, false);
  if (!up) return false;
  platform.setUnicodeString(down, scalar);
  platform.setUnicodeString(up, scalar);
  platform.setFlags(down, 0);
  platform.setFlags(up, 0);
  // A platform that knows a key did not arrive says so: the text is then incomplete, and
  // typing on would put the following characters where this one is missing.
  return platform.postToPid(validatedPid, down) && platform.postToPid(validatedPid, up);
}

InsertResult typeText(Platform& platform, const Element& validatedElement, Pid validatedPid,
                      std::u16string_view text) {
  const std::u16string safe = terminalText(text);
  if (safe.empty() || safe.size() > kMaxTypedUnits) return Reason::kInvalidText;
  if ((platform.modifierFlags() & kModifierMask) != 0) return Reason::kModifierHeld;

  for (std::size_t pos = 0; pos < safe.size();) {
    // `safe` holds no unpaired surrogate, so a scalar is one unit or a whole pair.
    const std::size_t units = text::scalarAt(safe, pos).units;
    const std::u16string_view scalar = std::u16string_view(safe).substr(pos, units);
    pos += units;
    if (!typeScalar(platform, validatedElement, validatedPid, scalar)) {
      return Reason::kWriteUnconfirmed;
    }
  }
  return Delivery::kSentUnverified;
}

}  // namespace caretsafe
