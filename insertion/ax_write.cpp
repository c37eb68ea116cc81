#include "insertion/ax_write.h"

#include <string>
#include <utility>

#include "probe/inspection.h"
#include "text/canonical.h"

namespace caretsafe {

std::u16string spliced(std::u16string_view value, std::int64_t caret, std::u16string_view text) {
  const auto at = static_cast<std::size_t>(caret);
  std::u16string out;
  out.reserve(value.size() + text.size());
  out.append(value.substr(0, at)).append(text).append(value.substr(at));
  return out;
}

std::optional<std::u16string> valueText(Platform& platform, const Element& element) {
  std::optional<AttributeValue> value = attr(platform, element, "AXValue");
  auto* text = value ? std::get_if<std::u16string>(&*value) : nullptr;
  if (text == nullptr) return std::nullopt;
  return std::move(*text);
}

bool valueIs(Platform& platform, const Element& element, std::u16string_view expected) {
  const std::optional<std::u16string> text = valueText(platform, element);
  return text && text::canonicallyEqual(*text, expected);
}

bool valueBecomes(Platform& platform, const Element& element, std::u16string_view expected) {
  for (int read = 0; read < kConfirmReads; ++read) {
    if (read > 0) platform.pause(kConfirmPause);
    const std::optional<AttributeValue> value = attr(platform, element, "AXValue");
    if (!value) return false;
    const auto* text = std::get_if<std::u16string>(&*value);
    if (text != nullptr && text::canonicallyEqual(*text, expected)) return true;
  }
  return false;
}

InsertResult writeText(Platform& platform, const Element& element, std::u16string_view currentValue,
                       std::int64_t caret, std::u16string_view text, ReadBack readBack) {
  // The expectation is fixed before anything is written.
  const std::u16string expected = spliced(currentValue, caret, text);
  if (platform.setAttributeValue(element, "AXSelectedText", text) != kAxSuccess) {
    return Reason::kWriteUnconfirmed;
  }
  if (readBack == ReadBack::kUntilHeld) {
    return valueBecomes(platform, element, expected) ? InsertResult(Delivery::kConfirmed)
                                                     : InsertResult(Reason::kWriteUnconfirmed);
  }
  return valueIs(platform, element, expected) ? InsertResult(Delivery::kConfirmed)
                                              : InsertResult(Reason::kWriteUnconfirmed);
}

}  // namespace caretsafe
