#include "insertion/typed_field.h"

#include <optional>
#include <string>

#include "insertion/ax_write.h"
#include "insertion/keystrokes.h"
#include "probe/inspection.h"
#include "text/canonical.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

bool typeable(char32_t scalar) {
  return !(scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || scalar == 0x2028 ||
           scalar == 0x2029);
}

// Reads the caret until it stands at `location` with nothing selected. A field that answers it
// has no caret right now is read again: Gecko's fields (Thunderbird's, measured) answer so for
// a few milliseconds while their window's focus is briefly handed over, as the X11 keyboard
// check before each key does. Any other failure (a request the application did not answer within
// the messaging timeout, an element gone) ends the wait, so a hung application costs one timeout,
// not one per read.
bool caretReaches(Platform& platform, const Element& element, std::int64_t location) {
  for (int read = 0; read < kKeySettleReads; ++read) {
    if (read > 0) platform.pause(kKeySettlePause);
    const AttributeRead answer = platform.copyAttributeValue(element, "AXSelectedTextRange");
    if (answer.error == kAxErrorNoValue) continue;
    const std::optional<Range> now = rangeOf(answer);
    if (!now) return false;
    if (now->location == location && now->length == 0) return true;
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
  // The expectation is fixed before any key is typed.
  const std::u16string expected = spliced(currentValue, caret, text);
  if ((platform.modifierFlags() & kModifierMask) != 0) return Reason::kModifierHeld;

  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t units = text::scalarAt(text, pos).units;
    const std::u16string_view scalar = text.substr(pos, units);
    pos += units;
    if (!typeScalar(platform, validatedElement, validatedPid, scalar)) {
      return Reason::kWriteUnconfirmed;
    }
    // Until the field shows this key, a focus check for the next one could answer from before
    // it: a page that moves the focus on input would get the next key in its new field.
    if (!caretReaches(platform, validatedElement, caret + static_cast<std::int64_t>(pos))) {
      return Reason::kWriteUnconfirmed;
    }
  }
  if (!valueBecomes(platform, validatedElement, expected)) return Reason::kWriteUnconfirmed;
  return Delivery::kTypedConfirmed;
}

}  // namespace caretsafe
