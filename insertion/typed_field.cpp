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

// Waits until the field shows the keys typed so far, but perhaps the last one: its caret
// stands right after the first `from` units of `text` (typed at `caret` into `before`, the
// value as validated), or right after the first `to` units (the last key sent shown too), with
// nothing selected; or, while the caret stays behind, between two characters of the text typed
// so far and where the last read found it (`lastCaret`), its value holds exactly `before` with
// either spliced in. Answers how many units are shown, or nothing when the wait failed.
//
// Firefox's fields sometimes never move their caret for a key they took (measured: the value
// held the character, the caret stayed one short for seconds); the value then proves the keys
// arrived where they belonged. The value is asked (and the texts it may hold made) only every
// `kStaleCaretReads` reads, so a field that answers its caret costs no value read. A caret
// anywhere else (before the text, inside a character, past it) is never taken for one behind.
//
// A field that answers it has no caret right now is read again: Gecko's fields answer so for
// a few milliseconds while their window's focus changes. Any other failure (a request the
// application did not answer within the messaging timeout, an element gone) ends the wait, so a
// hung application costs one timeout, not one per read.
std::optional<std::size_t> keysShown(Platform& platform, const Element& element,
                                     std::u16string_view before, std::int64_t caret,
                                     std::u16string_view text, std::size_t from, std::size_t to,
                                     std::int64_t& lastCaret) {
  const auto after = [caret](std::size_t units) {
    return caret + static_cast<std::int64_t>(units);
  };
  for (int read = 0; read < kKeySettleReads; ++read) {
    if (read > 0) platform.pause(kKeySettlePause);
    const AttributeRead answer = platform.copyAttributeValue(element, "AXSelectedTextRange");
    if (answer.error == kAxErrorNoValue) continue;
    const std::optional<Range> now = rangeOf(answer);
    if (!now) return std::nullopt;
    if (now->length != 0) continue;
    for (const std::size_t shown : {to, from}) {
      if (now->location == after(shown)) {
        lastCaret = now->location;
        return shown;
      }
    }
    const bool behind = now->location >= caret && now->location < after(from) &&
                        !text::isLowSurrogate(text[static_cast<std::size_t>(now->location - caret)]);
    if (!behind) continue;
    if (now->location != lastCaret) {
      // Still catching up: where it stays from now on is what counts as behind.
      lastCaret = now->location;
      continue;
    }
    if (read > 0 && read % kStaleCaretReads == 0) {
      // A value that cannot be read now is read again at the next turn; a hung application
      // fails the caret read before it.
      const std::optional<std::u16string> value = valueText(platform, element);
      if (!value) continue;
      for (const std::size_t shown : {to, from}) {
        if (text::canonicallyEqual(*value, spliced(before, caret, text.substr(0, shown)))) {
          return shown;
        }
      }
    }
  }
  return std::nullopt;
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

  // Keys go out while the field has yet to show the one before: an application shows a key to
  // its accessible caret only with its next frame (Chromium: 60 a second), so waiting for each
  // key before the next would type at most one key a frame. But before a key goes out, every
  // key except the one just before it must be shown, so the focus check before it answers from
  // after all but that one: a page that moves the focus on input gets at most that one key in
  // its new field, and the next check stops the text.
  std::int64_t lastCaret = caret;
  std::size_t shown = 0;      // units of the text the field has shown
  std::size_t lastStart = 0;  // where the last key sent begins
  for (std::size_t pos = 0; pos < text.size();) {
    if (shown < lastStart) {
      const std::optional<std::size_t> now =
          keysShown(platform, validatedElement, currentValue, caret, text, lastStart, pos,
                    lastCaret);
      if (!now) return Reason::kWriteUnconfirmed;
      shown = *now;
    }
    const std::size_t units = text::scalarAt(text, pos).units;
    if (!typeScalar(platform, validatedElement, validatedPid, text.substr(pos, units))) {
      return Reason::kWriteUnconfirmed;
    }
    lastStart = pos;
    pos += units;
  }
  if (shown < text.size() &&
      !keysShown(platform, validatedElement, currentValue, caret, text, text.size(), text.size(),
                 lastCaret)) {
    return Reason::kWriteUnconfirmed;
  }
  if (!valueBecomes(platform, validatedElement, expected)) return Reason::kWriteUnconfirmed;
  return Delivery::kTypedConfirmed;
}

}  // namespace caretsafe
