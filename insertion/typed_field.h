// Delivery into a field that takes text only as typed keys (a browser's or an Electron
// application's web field, whose accessibility write is missing or changes nothing), confirmed
// by reading the field back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "insertion/outcome.h"
#include "platform/platform.h"

namespace caretsafe {

// Before a key, when the field has yet to show a key before the last one sent, how often the
// caret is read until it has, and the pause between two reads: the application takes keys in
// its own time, and the next character's focus check means something only once it has.
// Chromium and Firefox showed a key after about 8 to 20 ms here (with their next frame), but a
// browser just started and a loaded machine took over a second for the first one: at least
// 2 s are allowed for each wait.
inline constexpr int kKeySettleReads = 400;
inline constexpr double kKeySettlePause = 0.005;
// Every so many caret reads that find the caret where it stood before the key, the value is
// read to see whether the key arrived all the same.
inline constexpr int kStaleCaretReads = 20;
// After the last key, the value is read until it holds the text (`valueBecomes`).

// Whether the text may be typed into a field: it holds no line break, tab or other control
// character (U+0000 to U+001F, U+007F to U+009F) and no line or paragraph separator. Return
// submits a form or sends a chat message, Tab moves the focus: typed, they would act instead of
// being inserted.
bool typeableInField(std::u16string_view text);

// Types the text into the validated field, one key-down/key-up pair per Unicode scalar with the
// focus looked up again before each (pid first, then the element). A key goes out only once
// the field shows every key sent but the last one: its caret has moved past them (or, where the
// caret stayed behind, its value holds them). At most one key is on its way while the focus is
// checked, so a focus moved by a key (a page that moves it on input) takes at most the one key
// after it, a focus moved by anything else at most the two keys then unconfirmed, and the next
// check stops the text. After the last key, waits until the field shows
// it. A read that fails (the application did not answer within the messaging timeout) ends
// either wait at once, so a hung application costs one timeout, not one per read. Then reads
// the value back until it is canonically equal to the current value with the text inserted at
// the caret.
//
// Answers, before any key: `Reason::kInvalidText` for a text longer than the typed limit,
// `Reason::kWriteUnconfirmed` for a text that may not be typed into a field or that holds a
// character above U+FFFF the field's keys would change (`Platform::typesAstral`),
// `Reason::kModifierHeld`. After keys: `Reason::kWriteUnconfirmed` when the focus moved, an event
// could not be made or was not delivered, the caret did not follow or the value never came to
// hold the text (nothing is typed after that, nothing typed is undone: the key on its way then
// may have reached the field or wherever the focus went); otherwise
// `Delivery::kTypedConfirmed`.
InsertResult typeIntoField(Platform& platform, const Element& validatedElement, Pid validatedPid,
                           std::u16string_view currentValue, std::int64_t caret,
                           std::u16string_view text);

}  // namespace caretsafe
