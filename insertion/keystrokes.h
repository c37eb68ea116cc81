// Delivery into a terminal as synthetic keystrokes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "insertion/outcome.h"
#include "platform/platform.h"

namespace caretsafe {

// The longest terminal-safe text that is typed, in UTF-16 code units.
inline constexpr std::size_t kMaxTypedUnits = 4'000;
// Shift, Control, Option and Command: held, any of them refuses delivery. Caps Lock and Fn
// do not, since every event is sent with no flags.
inline constexpr std::uint64_t kModifierMask = 0x1e0000;
// The key every event names. What an event types is the text it carries, which takes the place
// of the key's own character, so the key only has to mean nothing else: 0 is the position of A
// on the ANSI layout, a plain letter key and never Return, Tab, Escape, Delete or an arrow, so
// an application that reads the key code instead of the text still sees an ordinary character
// key.
inline constexpr std::uint16_t kVirtualKey = 0;

// Types one Unicode scalar (its one or two UTF-16 code units) into the validated process as a
// key-down/key-up pair, after looking the focus up again: false, with nothing posted, when the
// focus is no longer on the validated element of the validated process, secure event input is
// on, or an event cannot be made; false also when the platform knows a key did not arrive.
bool typeScalar(Platform& platform, const Element& validatedElement, Pid validatedPid,
                std::u16string_view scalar);

// Types the terminal-safe form of the text into the validated process, one key-down/key-up
// pair per Unicode scalar, looking the focus up again before every scalar (pid first, then
// the element). Answers `Reason::kInvalidText` (nothing left to type, or too long),
// `Reason::kModifierHeld`, `Reason::kWriteUnconfirmed` (focus lost, secure event input on, or
// an event could not be made; what was posted stays posted), or `Delivery::kSentUnverified`:
// nothing is read back.
InsertResult typeText(Platform& platform, const Element& validatedElement, Pid validatedPid,
                      std::u16string_view text);

}  // namespace caretsafe
