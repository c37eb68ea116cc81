// Delivery into an ordinary field through the accessibility interface.
#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace caretsafe {

// The current value with the text spliced in at a UTF-16 offset (0 <= caret <= length).
std::u16string spliced(std::u16string_view value, std::int64_t caret, std::u16string_view text);

// Sets the element's selected text (a bare caret, checked by validation) to the text in one
// write, reads the value back at once and answers {"ok": true} only when it is canonically
// equal to the value expected; anything else is "write-unconfirmed". Nothing is retried or
// undone.
nlohmann::json writeText(Platform& platform, const Element& element,
                         std::u16string_view currentValue, std::int64_t caret,
                         std::u16string_view text);

}  // namespace caretsafe
