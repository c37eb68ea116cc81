// Delivery into an ordinary field through the accessibility interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "insertion/outcome.h"
#include "platform/platform.h"

namespace caretsafe {

// The current value with the text spliced in at a UTF-16 offset (0 <= caret <= length).
std::u16string spliced(std::u16string_view value, std::int64_t caret, std::u16string_view text);

// Sets the element's selected text (a bare caret, checked by validation) to the text in one
// write, reads the value back at once and answers `Delivery::kConfirmed` only when it is
// canonically equal to the value expected; anything else is `Reason::kWriteUnconfirmed`.
// Nothing is retried or undone.
InsertResult writeText(Platform& platform, const Element& element, std::u16string_view currentValue,
                       std::int64_t caret, std::u16string_view text);

}  // namespace caretsafe
