#include "insertion/typed_field.h"

#include <optional>
#include <string>

#include "insertion/ax_write.h"
#include "insertion/keystrokes.h"
#include "probe/inspection.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

bool holdsAstral(std::u16string_view text) {
  for (const char16_t unit : text) {
    if (text::isHighSurrogate(unit)) return true;
  }
  return false;
}

bool typeable(char32_t scalar) {
  return !(scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || scalar == 0x2028 ||
           scalar == 0x2029);
}

// Waits until the field shows the key just typed: its caret stands right after `typed` (the
// text typed so far at `caret` into `before`, the value as validated) with nothing selected,
// or, while the caret still stands where it stood before the key (`lastCaret`), its value holds
// exactly `before` with `typed` spliced in. Firefox's fields sometimes never move their caret
// for a key they took (measured: the value held the character, the caret stayed one short for
// seconds); the value then proves the key arrived where it belonged. The value is asked (and
// the text it must hold made) only every `kStaleCaretReads` reads, so a field that answers its
// caret costs no value read. `lastCaret` becomes the caret seen when the key is shown by it.
//
// A field that answers it has no caret right now is read again: Gecko's fields answer so for
// a few milliseconds while their window's focus changes. Any other failure (a request the
// application did not answer within the messaging timeout, an element gone) ends the wait, so a
// hung application costs one timeout, not one per read.
bool keyShown(Platform& platform, const Element& element, std::u16string_view before,
              std::int64_t caret, std::u16string_view typed, std::int64_t& lastCaret) {
  const std::int64_t location = caret + static_cast<std::int64_t>(typed.size());
  for (int read = 0; read < kKeySettleReads; ++read) {
    if (read > 0) platform.pause(kKeySettlePause);
    const AttributeRead answer = platform.copyAttributeValue(element, "AXSelectedTextRange");
    if (answer.error == kAxErrorNoValue) continue;
    const std::optional<Range> now = rangeOf(answer);
    if (!now) return false;
    if (now->length != 0) continue;
    if (now->location == location) {
      lastCaret = location;
      return true;
    }
    if (now->location == lastCaret && read > 0 && read % kStaleCaretReads == 0 &&
        valueIs(platform, element, spliced(before, caret, typed))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool typeableInField(std::u16string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const text::ScalarAt at = text::scalarAt(text, pos);
    if (!typeable(at.scalar)) return false;
    pos += at.units;
  }
  return true;
}

InsertResult typeIntoField(Platform& platform, const Element& validatedElement, Pid validatedPid,
                           std::u16string_view currentValue, std::int64_t caret,
                           std::u16string_view text) {
  if (text.size() > kMaxTypedUnits) return Reason::kInvalidText;
  if (!typeableInField(text)) return Reason::kWriteUnconfirmed;
  // A character that a key would turn into another one is never typed: the whole text is
  // refused before its first key.
  if (holdsAstral(text) && !platform.typesAstral(validatedElement)) {
    return Reason::kWriteUnconfirmed;
  }
  // The expectation is fixed before any key is typed.
  const std::u16string expected = spliced(currentValue, caret, text);
  if ((platform.modifierFlags() & kModifierMask) != 0) return Reason::kModifierHeld;

  std::int64_t lastCaret = caret;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t units = text::scalarAt(text, pos).units;
    const std::u16string_view scalar = text.substr(pos, units);
    pos += units;
    if (!typeScalar(platform, validatedElement, validatedPid, scalar)) {
      return Reason::kWriteUnconfirmed;
    }
    // Until the field shows this key, a focus check for the next one could answer from before
    // it: a page that moves the focus on input would get the next key in its new field.
    if (!keyShown(platform, validatedElement, currentValue, caret, text.substr(0, pos),
                  lastCaret)) {
      return Reason::kWriteUnconfirmed;
    }
  }
  if (!valueBecomes(platform, validatedElement, expected)) return Reason::kWriteUnconfirmed;
  return Delivery::kTypedConfirmed;
}

}  // namespace caretsafe
