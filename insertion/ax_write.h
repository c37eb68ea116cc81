// Delivery into an ordinary field through the accessibility interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "insertion/outcome.h"
#include "platform/platform.h"

namespace caretsafe {

// The current value with the text spliced in at a UTF-16 offset (0 <= caret <= length).
std::u16string spliced(std::u16string_view value, std::int64_t caret, std::u16string_view text);

// How often the value is read until it holds the text, and the pause between two reads (at
// least 2 s in all): after typed keys, and after a write that the application applies only
// after the call has returned.
inline constexpr int kConfirmReads = 200;
inline constexpr double kConfirmPause = 0.01;

// How a write's result is read back.
enum class ReadBack {
  kAtOnce,     // once, right after the write
  kUntilHeld,  // until the value holds the text, at most `kConfirmReads` times
};

// The element's value read once, or nothing when it cannot be read as text.
std::optional<std::u16string> valueText(Platform& platform, const Element& element);

// Whether the element's value is canonically equal to `expected`, read once; false when the
// read fails.
bool valueIs(Platform& platform, const Element& element, std::u16string_view expected);

// Reads the value until it is canonically equal to `expected`, at most `kConfirmReads` times
// with `kConfirmPause` between two reads. A read that fails (the application did not answer
// within the messaging timeout) ends the wait.
bool valueBecomes(Platform& platform, const Element& element, std::u16string_view expected);

// Sets the element's selected text (a bare caret, checked by validation) to the text in one
// write, reads the value back as `readBack` says and answers `Delivery::kConfirmed` only when it
// is canonically equal to the value expected; anything else is `Reason::kWriteUnconfirmed`.
// Nothing is retried or undone.
InsertResult writeText(Platform& platform, const Element& element, std::u16string_view currentValue,
                       std::int64_t caret, std::u16string_view text,
                       ReadBack readBack = ReadBack::kAtOnce);

}  // namespace caretsafe
